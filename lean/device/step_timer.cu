// step_timer_lean NODES_X NODES_Y STEPS [FORM]: device time
// of vdwflow's step (the fused step, its image refresh and, in its forms,
// the ghost cells and the Laplacian pass), measured with events over STEPS
// steps without snapshots or host waits, beside a device-to-device copy as
// large as the state, measured the same way. Prints one line:
//
//   step_timer variant=lean nodes=4096x4096 steps=200 ms_per_step=... MLUPS=...
//     bytes_per_node=176 GBps=... copy_GBps=... roofline=0.xx
//
// (on one line), where GBps counts the bytes a step must move per node
// (traffic.h; the form's own count) and roofline is GBps over copy_GBps, the
// copy's bytes counted twice (read and write). FORM "walls": walls around
// the box with wetting and gravity; "lax_wendroff": that scheme's step;
// "3d", "3d_walls", "3d_lax_wendroff": the same on a three-dimensional
// lattice of NODES_X x NODES_Y x NODES_Y nodes ("3d_walls": walls along y
// and z, gravity along y, a sphere of solid nodes in the middle). A failed
// runtime call ends it with a message on standard error and status 1; bad
// arguments with status 2.
#include <cuda_runtime.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "reporters.h"
#include "run.h"
#include "traffic.h"

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
                 "step_timer: %s\nusage: step_timer_lean NODES_X NODES_Y STEPS [walls | "
                 "lax_wendroff | 3d | 3d_walls | 3d_lax_wendroff]  (positive integers)\n",
                 why);
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

int main(int argc, char **argv)
{
    const std::string form = argc == 5 ? argv[4] : "";
    const char *const forms[] = {"", "walls", "lax_wendroff", "3d", "3d_walls", "3d_lax_wendroff"};
    if ((argc != 4 && argc != 5) || std::find(std::begin(forms), std::end(forms), form) == std::end(forms))
        usage("three arguments expected, and perhaps a form: walls, lax_wendroff, 3d, 3d_walls "
              "or 3d_lax_wendroff");
    const int nodes_x = positive_argument(argv[1]);
    const int nodes_y = positive_argument(argv[2]);
    const int steps = positive_argument(argv[3]);
    const bool three = form.compare(0, 2, "3d") == 0;
    const bool walls = form == "walls" || form == "3d_walls";
    const bool lax_wendroff = form == "lax_wendroff" || form == "3d_lax_wendroff";
    const int nodes_z = three ? nodes_y : 1;

    // The run of examples/nw2cuda.input on a lattice of the given size.
    std::string keys = walls ? "-hwall_wetting 4e-4 -hgravity_y -0.05" : "";
    if (lax_wendroff) keys = "-hscheme lax_wendroff";
    if (!three && walls) keys += " -hwalls xy";
    if (three) keys += " -hnodes_z " + std::to_string(nodes_z);
    if (three && walls) keys += " -hwalls yz";
    lean::run_start start = lean::main_job(nodes_x, nodes_y, keys);
    // (3d_walls: a sphere of solid nodes a quarter of the box across)
    std::vector<unsigned char> sphere;
    if (three && walls) {
        const std::vector<std::size_t> shape = {std::size_t(nodes_z), std::size_t(nodes_y),
                                                std::size_t(nodes_x)};
        sphere.resize(shape[0] * shape[1] * shape[2]);
        const double r = nodes_y / 8.0;
        std::size_t p = 0;
        for (int z = 0; z < nodes_z; z++)
            for (int y = 0; y < nodes_y; y++)
                for (int x = 0; x < nodes_x; x++, p++) {
                    const double dx = x - nodes_x / 2.0, dy = y - nodes_y / 2.0, dz = z - nodes_z / 2.0;
                    sphere[p] = dx * dx + dy * dy + dz * dz < r * r;
                }
        start.solid = {sphere.data(), shape};
    }
    try {
        lean::run r(start);
        const double nodes = static_cast<double>(nodes_x) * nodes_y * nodes_z;
        const int bytes_per_node =
            three ? (lax_wendroff ? lean::kLaxWendroff3BytesPerNode : lean::kUpwind3BytesPerNode)
                  : (lax_wendroff ? lean::kLaxWendroffBytesPerNode : lean::kUpwindBytesPerNode);

        cudaEvent_t begin, end;
        check(cudaEventCreate(&begin), "cudaEventCreate");
        check(cudaEventCreate(&end), "cudaEventCreate");
        r.steps(std::min(steps, 10));  // warm-up
        check(cudaDeviceSynchronize(), "cudaDeviceSynchronize (warm-up)");
        const float step_ms = timed(begin, end, [&] { r.steps(steps); });

        // A copy as large as the run's state, from 64 MiB to 1 GiB.
        const std::size_t copy_bytes =
            std::clamp<std::size_t>(r.device_bytes(), std::size_t{64} << 20, std::size_t{1} << 30);
        void *from = nullptr, *to = nullptr;
        check(cudaMalloc(&from, copy_bytes), "cudaMalloc (copy source)");
        check(cudaMalloc(&to, copy_bytes), "cudaMalloc (copy target)");
        check(cudaMemset(from, 0, copy_bytes), "cudaMemset");
        constexpr int kCopies = 5;
        check(cudaMemcpy(to, from, copy_bytes, cudaMemcpyDeviceToDevice), "cudaMemcpy (copy)");
        const float copy_ms = timed(begin, end, [&] {
            for (int i = 0; i < kCopies; ++i)
                check(cudaMemcpy(to, from, copy_bytes, cudaMemcpyDeviceToDevice),
                      "cudaMemcpy (copy)");
        });

        const double ms_per_step = static_cast<double>(step_ms) / steps;
        const double mlups = nodes / (ms_per_step * 1e3);
        const double gbps = mlups * 1e6 * bytes_per_node / 1e9;
        const double copy_gbps =
            2.0 * static_cast<double>(copy_bytes) * kCopies / (copy_ms * 1e-3) / 1e9;
        const std::string lattice = std::to_string(nodes_x) + "x" + std::to_string(nodes_y) +
                                    (three ? "x" + std::to_string(nodes_z) : "");
        std::printf("step_timer variant=lean%s%s nodes=%s steps=%d ms_per_step=%.4f MLUPS=%.1f "
                    "bytes_per_node=%d GBps=%.1f copy_GBps=%.1f roofline=%.2f\n",
                    form.empty() ? "" : "+", form.c_str(), lattice.c_str(), steps, ms_per_step,
                    mlups, bytes_per_node, gbps, copy_gbps, gbps / copy_gbps);
        check(cudaEventDestroy(begin), "cudaEventDestroy");
        check(cudaEventDestroy(end), "cudaEventDestroy");
        for (void *p : {from, to}) check(cudaFree(p), "cudaFree");
        r.release();
    } catch (const run_error &e) {
        std::fprintf(stderr, "step_timer: %s%s", e.err.c_str(), e.out.c_str());
        return 1;
    }
    return 0;
}
