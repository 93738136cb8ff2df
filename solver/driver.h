// The solver's driver, shared by the three programs, and what each program
// defines beside its kernels for it.
#pragma once

#include <cuda_runtime.h>

extern int hicycle;  // current cycle, 0 .. hncycles - 1
extern int hiter;    // current time step within the cycle

// Runs one simulation from start-up to the last snapshot; returns 0.
int run_solver();

// Defined by each program:
// whether the start time is printed with its fields padded to two places;
extern const int hpad_start_time;
// whether the whole run is timed as well (nonzero) or only each step;
extern const int htime_whole_run;
// the two kernels of a time step, launched on the default stream without
// dynamic shared memory (a refused or failed launch goes to the reporter).
void launch_periodic_boundary(dim3 grid, dim3 block);
void launch_lb_time_step(dim3 grid, dim3 block);
