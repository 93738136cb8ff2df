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

int hicycle;
int hiter;

// Elapsed time between two recorded events; 0 when the runtime gives none.
static float elapsed_ms(cudaEvent_t start, cudaEvent_t stop)
{
    float ms = 0.0f;
    cudaEventElapsedTime(&ms, start, stop);
    return ms;
}

static void snapshot(const char *tag)
{
    profile(tag, hgf, hnodes, hnodes_x, hnodes_y, hkn, hniter, 1.0, 0.0, 2.0, hdelta_space);
    check_snapshot_total(hntot, hniter);
}

int run_solver()
{
    const time_t now = time(nullptr);
    struct tm start = {};
    if (const struct tm *local = localtime(&now))
        start = *local;
    int device = 0;
    const int pid = static_cast<int>(getpid());
    cudaDeviceProp prop;

    CHECK_STATUS(cudaGetDevice(&device));
    CHECK_STATUS(cudaGetDeviceProperties(&prop, device));
    std::printf("\nGPU Device %d: \"%s\" with compute capability %d.%d\n\n", device, prop.name,
                prop.major, prop.minor);
    std::printf(hpad_start_time ? "Start date = %d/%d/%d  Start time = %2d:%2d:%2d\n\n"
                                : "Start date = %d/%d/%d  Start time = %d:%d:%d\n\n",
                start.tm_mday, start.tm_mon + 1, start.tm_year + 1900, start.tm_hour,
                start.tm_min, start.tm_sec);
    std::printf("Process %d \n\n\n", pid);

    readInputParameters("nw2cuda.input");
    lb_input_globals();
    check_run_configuration();

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

    init_base_vectors(hbweight, hcweight, hbspeed, hcspeed_x, hcspeed_y, &hcfl, hbbspeed, 0.0,
                      hdelta_time, hdelta_space);
    init_arrays(hgf, hfeq, hcspeed_x, hcspeed_y, hcweight, hnodes, hnodes_x, hnodes_y,
                hnvelocities, hkn, 0.0, 1.0, hrho_zero, hchic2, htwochic2, htwochi2c4);

    hniter = hlast_iter;

    const int tag_length = run_tag_length(hnodes_x, hnodes_y, hdelta_space, hdelta_time, htau,
                                          hrho_zero, hRTzero, htfluid, hkappa);
    char *tag = static_cast<char *>(std::calloc(static_cast<size_t>(tag_length) + 1, 1));
    CHK_NULL_RETURN(tag);
    build_names(tag, hnodes_x, hnodes_y, hdelta_space, hdelta_time, htau, hrho_zero, hRTzero,
                htfluid, hkappa);
    snapshot(tag);

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
        snapshot(tag);
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
