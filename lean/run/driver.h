// The driver of the lean solver vdwflow: its command line, its run and its
// cycle loop.
#pragma once

namespace lean {

// Runs vdwflow with its command line; returns the exit status.
int run_program(int argc, char **argv);

}  // namespace lean
