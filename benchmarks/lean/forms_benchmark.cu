// The forms of vdwflow's step side by side (cpu backend): the periodic step,
// with gravity, with walls around the box, with walls and gravity, with an
// obstacle mask, and the Lax-Wendroff scheme periodic and with walls, each at
// 512^2 and 2048^2 with all workers, started from the same noisy lattice. The summary gives MLUPS and each form's cost
// relative to the periodic step of the same size, measured in the same run.
//
//   build/cpu/bin/lean_forms_benchmark [--benchmark_repetitions=5]
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "run.h"

namespace {

constexpr int kSides[] = {512, 2048};

// Each form's keys on top of the main job's; obstacles are a mask.
struct form {
    const char *name;
    const char *keys;
    bool obstacles;
};
const form kForms[] = {
    {"periodic", "", false},
    {"gravity", "-hgravity_y -0.05", false},
    {"walls xy", "-hwalls xy -hwall_wetting 4e-4", false},
    {"walls xy, gravity", "-hwalls xy -hwall_wetting 4e-4 -hgravity_y -0.05", false},
    {"obstacles (mask)", "", true},
    {"lax_wendroff", "-hscheme lax_wendroff", false},
    {"lax_wendroff, walls xy", "-hscheme lax_wendroff -hwalls xy -hwall_wetting 4e-4", false},
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
    lean::run_start start = lean::main_job(side, side, f.keys);
    const std::vector<unsigned char> solid = obstacles(side);
    if (f.obstacles) start.solid = {solid.data(), {static_cast<std::size_t>(side), static_cast<std::size_t>(side)}};
    lean::run r(start);
    r.steps(1);  // first touch outside the timing
    cudaDeviceSynchronize();
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) r.steps(1);
    cudaDeviceSynchronize();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.counters["MLUPS"] =
        static_cast<double>(r.config().node_count()) * static_cast<double>(state.iterations()) / seconds / 1e6;
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
