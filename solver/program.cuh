// What every solver program defines beside its kernels for the shared driver:
// the two launches of a time step and the entry. Include once, in the
// program's translation unit, after its kernel header.
#pragma once

#include "device_mirror.h"
#include "driver.h"
#include "launch.h"
#include "reporters.h"

// The kernels run on the default stream without dynamic shared memory. A
// refused or failed launch goes to the program's reporter.
void launch_periodic_boundary(dim3 grid, dim3 block)
{
    LAUNCH_CHECKED(periodic_boundary, grid, block, 0, 0, dgf_one, dgf_two, cspeed_x, cspeed_y);
}

void launch_lb_time_step(dim3 grid, dim3 block)
{
    LAUNCH_CHECKED(lb_time_step, grid, block, 0, 0, dgf_one, dgf_two, cspeed_x, cspeed_y, cweight);
}

int main()
{
    return run_solver();
}
