// The driver of the lean solver vdwflow: its command line, its run and its
// cycle loop.
#pragma once

namespace lean {

class team;

// Runs vdwflow with its command line, in the processes `processes` (null:
// this one alone); returns the exit status.
int run_program(int argc, char **argv, team *processes = nullptr);

}  // namespace lean
