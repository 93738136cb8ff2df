// step_timer_X NODES_X NODES_Y STEPS: device time of the solver's time step
// (periodic_boundary + lb_time_step of one variant), measured with events
// over STEPS steps without snapshots or host waits, beside a device-to-device
// copy measured the same way. Prints one line:
//
//   step_timer variant=b nodes=4096x4096 steps=200 ms_per_step=... MLUPS=...
//     bytes_per_node=544 GBps=... copy_GBps=... roofline=0.xx
//
// (on one line), where GBps counts the bytes a step must move per node and
// roofline is GBps over copy_GBps, the copy's bytes counted twice (read and
// write). Built once per variant: KERNEL_HEADER names the kernel header,
// VARIANT_LETTER the variant (vdwflow's step has a timer of its own,
// lean/device/step_timer.cu). Any failed runtime call ends it with a message
// on standard error and status 1; bad arguments with status 2.
#include "device_constants.cuh"
#include KERNEL_HEADER

#include <cuda_runtime.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kernels/step_traffic.h"
#include "launch.h"
#include "lattice_init.h"
#include "run_checks.h"
#include "run_config.h"

namespace {

void check(cudaError_t status, const char *what)
{
    if (status == cudaSuccess) return;
    std::fprintf(stderr, "step_timer: %s failed: %s (%d)\n", what, cudaGetErrorString(status),
                 static_cast<int>(status));
    std::exit(1);
}

[[noreturn]] void usage(const char *why)
{
    std::fprintf(stderr,
                 "step_timer: %s\nusage: step_timer_%s NODES_X NODES_Y STEPS  (positive "
                 "integers)\n",
                 why, VARIANT_LETTER);
    std::exit(2);
}

int positive_argument(const char *text)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value < 1 || value > 1 << 30)
        usage("arguments must be positive integers");
    return static_cast<int>(value);
}

double *device_doubles(std::size_t count, const char *what)
{
    double *p = nullptr;
    check(cudaMalloc(&p, count * sizeof(double)), what);
    return p;
}

// Milliseconds between two events recorded around `work`.
template <class Work>
float timed(cudaEvent_t start, cudaEvent_t stop, Work &&work)
{
    check(cudaEventRecord(start, 0), "cudaEventRecord");
    work();
    check(cudaEventRecord(stop, 0), "cudaEventRecord");
    check(cudaEventSynchronize(stop), "cudaEventSynchronize");
    float ms = 0.0f;
    check(cudaEventElapsedTime(&ms, start, stop), "cudaEventElapsedTime");
    return ms;
}

}  // namespace

constexpr int kBytesPerNode = kStepBytesPerNode;

int main(int argc, char **argv)
{
    if (argc != 4) usage("three arguments expected");
    const int steps = positive_argument(argv[3]);

    // The run of examples/nw2cuda.input on a lattice of the given size.
    hnodes_x = positive_argument(argv[1]);
    hnodes_y = positive_argument(argv[2]);
    hRTzero = 1.0;
    htemperature = 0.9;
    hdelta_time = 1e-4;
    hkappa = 1e-4;
    hrho_zero = 1.0;
    htau = 1e-3;
    derive_run_configuration();
    check_run_configuration();

    const std::size_t field = static_cast<std::size_t>(hkfeq) * hnodes;
    const std::size_t halo = static_cast<std::size_t>(hnvar) * hlnodes;
    std::vector<double> gf(field, 0.0), feq(hnvelocities), bweight(hnbasevelocities),
        bspeed(hnbasevelocities), weight(hnvelocities), speed_x(hnvelocities),
        speed_y(hnvelocities);
    init_base_vectors(bweight.data(), weight.data(), bspeed.data(), speed_x.data(),
                      speed_y.data(), &hcfl, hbbspeed, 0.0, hdelta_time, hdelta_space);
    init_arrays(gf.data(), feq.data(), speed_x.data(), speed_y.data(), weight.data(), hnodes,
                hnodes_x, hnodes_y, hnvelocities, hkn, 0.0, 1.0, hrho_zero, hchic2, htwochic2,
                htwochi2c4);

    double *one = device_doubles(field, "cudaMalloc (node field array)");
    double *two = device_doubles(halo, "cudaMalloc (halo lattice)");
    double *cx = device_doubles(hnvelocities, "cudaMalloc (velocity set)");
    double *cy = device_doubles(hnvelocities, "cudaMalloc (velocity set)");
    double *cw = device_doubles(hnvelocities, "cudaMalloc (velocity set)");
    const std::size_t table = hnvelocities * sizeof(double);
    check(cudaMemcpy(one, gf.data(), field * sizeof(double), cudaMemcpyHostToDevice),
          "cudaMemcpy (node field array)");
    check(cudaMemcpy(cx, speed_x.data(), table, cudaMemcpyHostToDevice), "cudaMemcpy");
    check(cudaMemcpy(cy, speed_y.data(), table, cudaMemcpyHostToDevice), "cudaMemcpy");
    check(cudaMemcpy(cw, weight.data(), table, cudaMemcpyHostToDevice), "cudaMemcpy");
    copy_constants_to_device();
    check(cudaGetLastError(), "cudaMemcpyToSymbol");

    // The solver's geometry: 512-thread blocks covering every node.
    const dim3 grid((hnodes + 511) / 512), block(512);
    auto run_steps = [&](int count) {
        for (int i = 0; i < count; ++i) {
            launch<periodic_boundary>(grid, block, 0, 0, one, two, cx, cy);
            launch<lb_time_step>(grid, block, 0, 0, one, two, cx, cy, cw);
        }
    };
    const std::size_t lattice_bytes = (field + halo) * sizeof(double);

    cudaEvent_t start, stop;
    check(cudaEventCreate(&start), "cudaEventCreate");
    check(cudaEventCreate(&stop), "cudaEventCreate");

    run_steps(std::min(steps, 10));  // warm-up
    check(cudaGetLastError(), "kernel launch (warm-up)");
    check(cudaDeviceSynchronize(), "cudaDeviceSynchronize (warm-up)");
    const float step_ms = timed(start, stop, [&] { run_steps(steps); });
    check(cudaGetLastError(), "kernel launch");

    // A copy as large as the lattice's buffers, from 64 MiB to 1 GiB.
    const std::size_t copy_bytes =
        std::clamp<std::size_t>(lattice_bytes, std::size_t{64} << 20, std::size_t{1} << 30);
    check(cudaFree(two), "cudaFree");  // room for the copy's buffers
    void *from = nullptr, *to = nullptr;
    check(cudaMalloc(&from, copy_bytes), "cudaMalloc (copy source)");
    check(cudaMalloc(&to, copy_bytes), "cudaMalloc (copy target)");
    check(cudaMemset(from, 0, copy_bytes), "cudaMemset");
    constexpr int kCopies = 5;
    check(cudaMemcpy(to, from, copy_bytes, cudaMemcpyDeviceToDevice), "cudaMemcpy (copy)");
    const float copy_ms = timed(start, stop, [&] {
        for (int i = 0; i < kCopies; ++i)
            check(cudaMemcpy(to, from, copy_bytes, cudaMemcpyDeviceToDevice), "cudaMemcpy (copy)");
    });

    const double ms_per_step = static_cast<double>(step_ms) / steps;
    const double mlups = hnodes / (ms_per_step * 1e3);
    const double gbps = mlups * 1e6 * kBytesPerNode / 1e9;
    const double copy_gbps = 2.0 * static_cast<double>(copy_bytes) * kCopies / (copy_ms * 1e-3) / 1e9;
    std::printf("step_timer variant=%s nodes=%dx%d steps=%d ms_per_step=%.4f MLUPS=%.1f "
                "bytes_per_node=%d GBps=%.1f copy_GBps=%.1f roofline=%.2f\n",
                VARIANT_LETTER, hnodes_x, hnodes_y, steps, ms_per_step, mlups, kBytesPerNode, gbps,
                copy_gbps, gbps / copy_gbps);

    check(cudaEventDestroy(start), "cudaEventDestroy");
    check(cudaEventDestroy(stop), "cudaEventDestroy");
    for (void *p : {static_cast<void *>(one), static_cast<void *>(cx), static_cast<void *>(cy),
                    static_cast<void *>(cw), from, to})
        check(cudaFree(p), "cudaFree");
    return 0;
}
