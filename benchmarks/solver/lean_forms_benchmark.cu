// The forms of vdwflow's step side by side (cpu backend): the periodic step,
// with gravity, with walls around the box, with walls and gravity, with an
// obstacle mask, and the Lax-Wendroff scheme periodic and with walls, each at
// 512^2 and 2048^2 with all workers, started from the same noisy lattice. The summary gives MLUPS and each form's cost
// relative to the periodic step of the same size, measured in the same run.
//
//   build/cpu/bin/lean_forms_benchmark [--benchmark_repetitions=5]
#include "device_constants.cuh"
#include "kernels/vdwflow_lean.cuh"
#include "device_mirror.h"
#include "lean_state.cuh"
#include "setup.h"
#include "startup.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "lean_forms_benchmark", line);
}

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "run_config.h"

namespace {

// The main job's parameters on a square lattice.
void configure(int side)
{
    hnodes_x = hnodes_y = side;
    hRTzero = 1.0;
    htemperature = 0.9;
    hdelta_time = 1e-4;
    htau = 1e-3;
    hkappa = 1e-4;
    hrho_zero = 1.0;
    derive_run_configuration();
}

constexpr int kSides[] = {512, 2048};

struct form {
    const char *name;
    walls_kind walls;
    bool gravity;
    bool obstacles;
    scheme_kind scheme = scheme_kind::upwind;
};
const form kForms[] = {
    {"periodic", walls_kind::none, false, false},
    {"gravity", walls_kind::none, true, false},
    {"walls xy", walls_kind::xy, false, false},
    {"walls xy, gravity", walls_kind::xy, true, false},
    {"obstacles (mask)", walls_kind::none, false, true},
    {"lax_wendroff", walls_kind::none, false, false, scheme_kind::lax_wendroff},
    {"lax_wendroff, walls xy", walls_kind::xy, false, false, scheme_kind::lax_wendroff},
};

// An array of discs, a porous medium of about a fifth solid.
std::vector<unsigned char> obstacles(int side)
{
    std::vector<unsigned char> solid(static_cast<size_t>(side) * side, 0);
    const int pitch = 32, radius = 8;
    for (int y = 0; y < side; y++)
        for (int x = 0; x < side; x++) {
            const int dx = x % pitch - pitch / 2, dy = y % pitch - pitch / 2;
            solid[static_cast<size_t>(y) * side + x] = dx * dx + dy * dy < radius * radius;
        }
    return solid;
}

void lean_form_step(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    const form &f = kForms[state.range(1)];
    configure(side);
    hsetup = lean_setup{};
    hsetup.walls = f.walls;
    hsetup.wall_wetting = f.walls != walls_kind::none ? 4e-4 : 0.0;
    if (f.gravity) hsetup.gravity_y = -0.05;
    hsetup.scheme = f.scheme;
    hsolid_nodes.clear();
    if (f.obstacles) {
        hsolid_nodes = obstacles(side);
        hsetup.solid_file = "obstacles";
    }
    host_allocation();
    lean_allocation();
    init_lattice();
    lean_upload();
    lean_steps(1);  // first touch outside the timing
    cudaDeviceSynchronize();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) lean_steps(1);
    cudaDeviceSynchronize();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    lean_free();
    host_free();
    state.counters["MLUPS"] =
        static_cast<double>(hnodes) * static_cast<double>(state.iterations()) / seconds / 1e6;
    state.counters["side"] = side;
    state.counters["form"] = static_cast<double>(state.range(1));
}

// The console table, then the best run of each form and size against the
// periodic step of that size.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            double &best = best_[static_cast<int>(run.counters.at("form").value)]
                                [static_cast<int>(run.counters.at("side").value)];
            best = std::max(best, run.counters.at("MLUPS").value);
        }
    }
    void print_summary() const
    {
        std::printf("\nvdwflow's step by form (best run of each, all workers):\n");
        std::printf("%-20s %6s %8s %12s\n", "form", "side", "MLUPS", "cost x periodic");
        for (const auto &[index, by_side] : best_)
            for (const auto &[side, mlups] : by_side) {
                const auto periodic = best_.find(0);
                const double base = periodic == best_.end() ? 0.0 : periodic->second.at(side);
                std::printf("%-20s %6d %8.2f %12.2f\n", kForms[index].name, side, mlups,
                            base / mlups);
            }
    }

private:
    std::map<int, std::map<int, double>> best_;
};

}  // namespace

BENCHMARK(lean_form_step)->Name("vdwflow/form")->ArgNames({"side", "form"})
    ->ArgsProduct({{kSides[0], kSides[1]}, {0, 1, 2, 3, 4, 5, 6}})
    ->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    reporter.print_summary();
    return 0;
}
