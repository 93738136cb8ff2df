// The start-up that the drivers of all solver programs share.
#include "startup.h"

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

float elapsed_ms(cudaEvent_t start, cudaEvent_t stop)
{
    float ms = 0.0f;
    cudaEventElapsedTime(&ms, start, stop);
    return ms;
}

void write_snapshot(const char *tag)
{
    profile(tag, hgf, hnodes, hnodes_x, hnodes_y, hkn, hniter, 1.0, 0.0, 2.0, hdelta_space);
    check_snapshot_total(hntot, hniter);
}

void print_run_header(int pad_start_time)
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
    std::printf(pad_start_time ? "Start date = %d/%d/%d  Start time = %2d:%2d:%2d\n\n"
                               : "Start date = %d/%d/%d  Start time = %d:%d:%d\n\n",
                start.tm_mday, start.tm_mon + 1, start.tm_year + 1900, start.tm_hour,
                start.tm_min, start.tm_sec);
    std::printf("Process %d \n\n\n", pid);
}

void read_run_configuration(const char *path)
{
    readInputParameters(path);
    derive_run_configuration();
    check_run_configuration(path);
}

void init_velocity_set()
{
    init_base_vectors(hbweight, hcweight, hbspeed, hcspeed_x, hcspeed_y, &hcfl, hbbspeed, 0.0,
                      hdelta_time, hdelta_space);
}

void init_lattice()
{
    init_velocity_set();
    init_arrays(hgf, hfeq, hcspeed_x, hcspeed_y, hcweight, hnodes, hnodes_x, hnodes_y,
                hnvelocities, hkn, 0.0, 1.0, hrho_zero, hchic2, htwochic2, htwochi2c4);
}

char *make_run_tag()
{
    const int tag_length = run_tag_length(hnodes_x, hnodes_y, hdelta_space, hdelta_time, htau,
                                          hrho_zero, hRTzero, htfluid, hkappa);
    char *tag = static_cast<char *>(std::calloc(static_cast<size_t>(tag_length) + 1, 1));
    CHK_NULL_RETURN(tag);
    build_names(tag, hnodes_x, hnodes_y, hdelta_space, hdelta_time, htau, hrho_zero, hRTzero,
                htfluid, hkappa);
    return tag;
}

