// The driver of the lean solver vdwflow: its command line, the start-up it
// shares with the other solver programs, and its cycle loop.
#pragma once

// Runs vdwflow with its command line; returns the exit status.
int run_lean(int argc, char **argv);
