// The solver's driver: start-up, the cycle loop and shutdown.
#include "driver.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

#include "device_mirror.h"
#include "lattice_init.h"
#include "param_reader.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"
#include "snapshot.h"
#include "startup.h"

int hicycle;
int hiter;

int run_solver()
{
    print_run_header(hpad_start_time);
    read_run_configuration("nw2cuda.input");

    // One thread per node, in blocks of 512.
    const dim3 grid((hnodes + 511) / 512, 1, 1);
    const dim3 block(512, 1, 1);

    cudaEvent_t run_start = nullptr, run_stop = nullptr;
    if (htime_whole_run) {
        cudaEventCreate(&run_start);
        cudaEventCreate(&run_stop);
    }

    host_allocation();
    device_allocation();
    init_lattice();

    hniter = hlast_iter;
    char *tag = make_run_tag();
    write_snapshot(tag);

    copy_constants_to_device();
    copy_to_device();

    if (htime_whole_run)
        cudaEventRecord(run_start, 0);

    // One pair of events, reused by every step, times periodic_boundary.
    cudaEvent_t step_start = nullptr, step_stop = nullptr;
    cudaEventCreate(&step_start);
    cudaEventCreate(&step_stop);

    for (hicycle = 0; hicycle < hncycles; hicycle++) {
        for (hiter = 0; hiter < hniter_cycle; hiter++) {
            cudaEventRecord(step_start, 0);
            launch_periodic_boundary(grid, block);
            cudaEventRecord(step_stop, 0);
            cudaEventSynchronize(step_stop);
            std::printf("\nTotal Time = %f ms\n", elapsed_ms(step_start, step_stop));

            // Not waited for: the next step's periodic_boundary follows it
            // on the same stream.
            launch_lb_time_step(grid, block);
            hniter++;
        }
        copy_to_host();  // blocking: waits for the cycle's last step
        write_snapshot(tag);
    }

    if (htime_whole_run) {
        cudaEventRecord(run_stop, 0);
        cudaEventSynchronize(run_stop);
        std::printf("\nTotal Time = %f ms\n", elapsed_ms(run_start, run_stop));
        cudaEventDestroy(run_start);
        cudaEventDestroy(run_stop);
    }
    cudaEventDestroy(step_start);
    cudaEventDestroy(step_stop);

    device_free();
    host_free();
    std::free(tag);
    return 0;
}
