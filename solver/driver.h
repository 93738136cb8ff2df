// The solver's driver, shared by the three programs, and what each program
// defines beside its kernels for it.
#pragma once

#include <cuda_runtime.h>

#include <ctime>

extern int hicycle;  // current cycle, 0 .. hncycles - 1
extern int hiter;    // current time step within the cycle

// Runs one simulation from start-up to the last snapshot; returns 0.
int run_solver();

// Defined by each program:
// the start line with the local start time;
void print_start_line(const struct tm *start);
// whether the whole run is timed as well (nonzero) or only each step;
extern const int htime_whole_run;
// the two kernels of a time step, launched on the default stream without
// dynamic shared memory (a refused configuration skips the kernel).
void launch_periodic_boundary(dim3 grid, dim3 block);
void launch_lb_time_step(dim3 grid, dim3 block);
