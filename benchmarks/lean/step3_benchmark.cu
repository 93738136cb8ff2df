// vdwflow's three-dimensional step on the cpu backend: the periodic upwind
// step at 64^3 and 128^3 with 1 and 2 workers and the Lax-Wendroff step
// with 2, beside the same step as a plain serial loop (serial_step3.h) and a
// copy of memory with 2 threads, all in one run. The summary: MLUPS, the
// step against the serial loop, the Lax-Wendroff step's cost against the
// upwind one, and the share of the copy's bandwidth each reaches at the
// bytes a node moves (traffic.h).
//
//   build/cpu/bin/lean_step3_benchmark [--benchmark_repetitions=3]
#include <benchmark/benchmark.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "initial_state.h"
#include "run.h"
#include "serial_step3.h"
#include "traffic.h"

namespace {

constexpr int kSides[] = {64, 128};
enum kind { upwind_1, upwind_2, lax_wendroff_2, serial_1 };
const char *const kNames[] = {"upwind, 1 worker", "upwind, 2 workers", "lax_wendroff, 2 workers",
                              "serial loop, 1 core"};

std::string keys(int side, bool lax_wendroff)
{
    return "-hnodes_z " + std::to_string(side) + (lax_wendroff ? " -hscheme lax_wendroff" : "");
}

void step3(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    const int k = static_cast<int>(state.range(1));
    cudacpu::set_worker_count(k == upwind_1 ? 1 : 2);
    lean::run r(lean::main_job(side, side, keys(side, k == lax_wendroff_2)));
    r.steps(1);  // first touch outside the timing
    cudaDeviceSynchronize();
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) r.steps(1);
    cudaDeviceSynchronize();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    state.counters["MLUPS"] = static_cast<double>(r.config().node_count()) * state.iterations() / seconds / 1e6;
    state.counters["side"] = side;
    state.counters["kind"] = k;
}

void serial(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    lean::run r(lean::main_job(side, side, keys(side, false)));
    const lean::configuration &c = r.config();
    serial3::params p{side, side, side, 2, side + 4, (side + 4) * (side + 4), 0, c.bbspeed,
                      c.tfluid, c.tcritical, c.keys.kappa, c.keys.delta_time, c.keys.tau, c.cfl,
                      c.dtimetemp, c.chic2, c.twochic2, c.twochi2c4, c.two_delta_space,
                      c.delta_space_three_three};
    p.plane = static_cast<std::int64_t>(p.slab) * (side + 4);
    r.release();
    std::vector<double> a(21 * p.plane, 0.0), b(a.size(), 0.0);
    serial3::first_level(p, lean::initial_state(c), a.data());
    serial3::step(p, a.data(), b.data());  // first touch
    const auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        serial3::step(p, a.data(), b.data());
        std::swap(a, b);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    benchmark::DoNotOptimize(a.data());
    state.counters["MLUPS"] = static_cast<double>(c.node_count()) * state.iterations() / seconds / 1e6;
    state.counters["side"] = side;
    state.counters["kind"] = serial_1;
}

// A copy of 2 x 256 MiB by two threads, each half of it: bytes per second,
// read and written.
double copy_bandwidth;
void copy(benchmark::State &state)
{
    const std::size_t bytes = std::size_t{256} << 20;
    std::vector<char> from(2 * bytes, 1), to(2 * bytes, 0);
    double best = 0.0;
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        std::thread other([&] { std::memcpy(to.data() + bytes, from.data() + bytes, bytes); });
        std::memcpy(to.data(), from.data(), bytes);
        other.join();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        best = std::max(best, 2.0 * 2.0 * bytes / seconds);
    }
    copy_bandwidth = std::max(copy_bandwidth, best);
    state.counters["GBps"] = best / 1e9;
}

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration || !run.counters.count("MLUPS")) continue;
            double &best = best_[static_cast<int>(run.counters.at("kind").value)]
                                [static_cast<int>(run.counters.at("side").value)];
            best = std::max(best, run.counters.at("MLUPS").value);
        }
    }
    void print_summary() const
    {
        std::printf("\nvdwflow's 3-D step (best run of each); copy %.1f GB/s (2 threads, read + "
                    "written); bytes a node: upwind %d, lax_wendroff %d\n",
                    copy_bandwidth / 1e9, lean::kUpwind3BytesPerNode, lean::kLaxWendroff3BytesPerNode);
        std::printf("%-26s %5s %8s %10s %10s %12s\n", "", "side", "MLUPS", "x serial",
                    "roofline", "cost x upwind");
        for (const auto &[k, by_side] : best_)
            for (const auto &[side, mlups] : by_side) {
                const int bytes = k == lax_wendroff_2 ? lean::kLaxWendroff3BytesPerNode
                                                      : lean::kUpwind3BytesPerNode;
                std::printf("%-26s %5d %8.2f %10.2f %10.2f %12.2f\n", kNames[k], side, mlups,
                            mlups / lookup(serial_1, side), mlups * 1e6 * bytes / copy_bandwidth,
                            lookup(upwind_2, side) / mlups);
            }
    }

private:
    double lookup(int k, int side) const
    {
        const auto a = best_.find(k);
        if (a == best_.end()) return 0.0;
        const auto b = a->second.find(side);
        return b == a->second.end() ? 0.0 : b->second;
    }
    std::map<int, std::map<int, double>> best_;
};

}  // namespace

BENCHMARK(copy)->Name("copy/2x256MiB")->Iterations(5)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(step3)->Name("vdwflow/3d")->ArgNames({"side", "kind"})
    ->ArgsProduct({{kSides[0], kSides[1]}, {upwind_1, upwind_2, lax_wendroff_2}})
    ->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(serial)->Name("serial/3d")->ArgName("side")->Arg(kSides[0])->Arg(kSides[1])
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
