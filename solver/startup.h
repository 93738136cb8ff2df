// The start-up that the drivers of all solver programs share, step by step.
#pragma once

#include <cuda_runtime.h>

// The device line (after querying the device), the start line (its time
// fields padded to two places where pad_start_time is set) and the process
// line.
void print_run_header(int pad_start_time);
// Loads the parameter file, derives the run configuration and checks it.
void read_run_configuration(const char *path);
// The velocity set (and the Courant number), in the host arrays.
void init_velocity_set();
// The velocity set and the initial node field array, in the host arrays.
void init_lattice();
// The run tag, built into a buffer of its size (freed by the caller).
char *make_run_tag();
// A snapshot of the host node field array labelled hniter, and the check
// that its total density is finite.
void write_snapshot(const char *tag);
// Elapsed time between two recorded events; 0 when the runtime gives none.
float elapsed_ms(cudaEvent_t start, cudaEvent_t stop);
