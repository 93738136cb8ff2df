// vdwflow_a: the van der Waals lattice Boltzmann solver with the kernels of
// variant a (moment sums in global memory); reports through CUDAHandleError.
//
// This translation unit holds what must live beside the kernels: the device
// constants and their upload, the launches, and the program's own reporter.
#include <cstdio>

#include "device_mirror.h"
#include "driver.h"
#include "kernels/vdwflow_a.cuh"
#include "launch.h"
#include "reporters.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "vdwflow_a.cu", line);
}

void print_start_line(const struct tm *start)
{
    printf("Start date = %d/%d/%d  Start time = %d:%d:%d\n\n", start->tm_mday,
           start->tm_mon + 1, start->tm_year + 1900, start->tm_hour, start->tm_min,
           start->tm_sec);
}

const int htime_whole_run = 0;

void launch_periodic_boundary(dim3 grid, dim3 block)
{
    launch(periodic_boundary, grid, block, 0, 0, dgf_one, dgf_two, cspeed_x, cspeed_y);
}

void launch_lb_time_step(dim3 grid, dim3 block)
{
    launch(lb_time_step, grid, block, 0, 0, dgf_one, dgf_two, cspeed_x, cspeed_y, cweight);
}

int main()
{
    return run_solver();
}
