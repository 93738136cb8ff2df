// Throughput of a full solver time step (periodic_boundary + lb_time_step) on
// the cpu backend, in million lattice-node updates per second (MLUPS), beside
// two references measured in the same run:
//
// - the same step written by hand as serial C++ (serial_step.h), on one core;
// - a large memory copy, the bandwidth roofline: with the bytes a step must
//   move per node (step_traffic.h), MLUPS * 544 B over the copy's speed is
//   the fraction of the memory system's speed that the step reaches.
//
// The kernels run with 1 and 2 workers. After the Google Benchmark table the
// program prints a summary per lattice size: MLUPS, the ratio to the serial
// step, 2 workers over 1, and the fraction of the roofline. Built once per
// kernel variant: KERNEL_HEADER names the variant's kernel header. Built with
// LEAN_STEP, the program also times the lean solver's fused step (vdwflow)
// and compares it with the variant's step as well (its roofline with the
// lean step's own byte count).
//
//   build/cpu/bin/time_step_benchmark_b [--benchmark_repetitions=3]
//   build/cpu/bin/lean_step_benchmark [--benchmark_repetitions=3]
#include "device_constants.cuh"
#include KERNEL_HEADER
#ifdef LEAN_STEP
#include "run.h"
#include "traffic.h"
constexpr int kLeanBytesPerNode = lean::kUpwindBytesPerNode;
#else
constexpr int kLeanBytesPerNode = 0;  // (no lean step here)
#endif

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>
#include <vector>

#include "kernel_fixture.h"
#include "kernels/step_traffic.h"
#include "serial_step.h"

namespace {

constexpr int kSides[] = {64, 512, 2048};
constexpr int kWorkers[] = {1, 2};
constexpr std::size_t kCopyBytes = std::size_t{512} << 20;

// What a run measured, as counters the summary reads back from the reported
// runs: kind 0 the serial step, 1 and 2 the kernels with that many workers,
// 3 and 4 the lean step with 1 and 2 workers, -1 the copy.
constexpr int kLeanKind = 2;  // added to the worker count
void record_mlups(benchmark::State &state, int kind, int side, int nodes, double seconds)
{
    state.counters["MLUPS"] =
        static_cast<double>(nodes) * static_cast<double>(state.iterations()) / seconds / 1e6;
    state.counters["kind"] = kind;
    state.counters["side"] = side;
}

// Seconds of wall time spent in the timing loop (kept by hand, as the state
// does not expose its timer).
template <class Step>
double time_steps(benchmark::State &state, Step &&step)
{
    step();  // first touch of every array outside the timing
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) step();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void kernel_step(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    const int workers = static_cast<int>(state.range(1));
    cudacpu::set_worker_count(workers);
    kt::Lattice lat({side, side});
    lat.one.upload(lat.initial_field());
    const double seconds = time_steps(state, [&] { lat.step(); });
    cudaDeviceSynchronize();
    record_mlups(state, workers, side, lat.nodes, seconds);
}

#ifdef LEAN_STEP
// The lean solver's step on its own state, started from the solver's initial
// lattice as vdwflow starts.
void lean_step(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    const int workers = static_cast<int>(state.range(1));
    cudacpu::set_worker_count(workers);
    lean::run r(lean::main_job(side, side));
    const double seconds = time_steps(state, [&] { r.steps(1); });
    cudaDeviceSynchronize();
    record_mlups(state, kLeanKind + workers, side, static_cast<int>(r.config().node_count()), seconds);
}
#endif

// The serial step on host arrays, configured and initialised like the
// kernels' lattice (without its device buffers, which would double the
// memory of the largest lattice).
void serial_step(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    kt::configure({side, side});
    std::vector<double> bw(hnbasevelocities), bs(hnbasevelocities), cw(hnvelocities),
        cx(hnvelocities), cy(hnvelocities), feq(hnvelocities);
    init_base_vectors(bw.data(), cw.data(), bs.data(), cx.data(), cy.data(), &hcfl, hbbspeed,
                      0.0, hdelta_time, hdelta_space);
    std::vector<double> gf(static_cast<std::size_t>(hkfeq) * hnodes, 0.0);
    init_arrays(gf.data(), feq.data(), cx.data(), cy.data(), cw.data(), hnodes, hnodes_x,
                hnodes_y, hnvelocities, hkn, 0.0, 1.0, hrho_zero, hchic2, htwochic2, htwochi2c4);
    std::vector<double> halo(static_cast<std::size_t>(hnvar) * hlnodes, 0.0);
    const double seconds = time_steps(state, [&] {
        serial::step(gf.data(), halo.data(), cx.data(), cy.data(), cw.data());
        benchmark::ClobberMemory();
    });
    record_mlups(state, 0, side, hnodes, seconds);
}

// A large copy by 1 or 2 threads, each copying its half.
void copy_probe(benchmark::State &state)
{
    const int threads = static_cast<int>(state.range(0));
    std::vector<char> from(kCopyBytes, 1), to(kCopyBytes, 0);
    const std::size_t part = kCopyBytes / threads;
    auto copy = [&] {
        std::vector<std::thread> helpers;
        for (int t = 1; t < threads; ++t)
            helpers.emplace_back(
                [&, t] { std::memcpy(to.data() + t * part, from.data() + t * part, part); });
        std::memcpy(to.data(), from.data(), part);
        for (auto &h : helpers) h.join();
        benchmark::ClobberMemory();
    };
    const double seconds = time_steps(state, copy);
    // A copy reads and writes each byte.
    const double bytes_per_s = 2.0 * kCopyBytes * static_cast<double>(state.iterations()) / seconds;
    state.counters["GBps"] = bytes_per_s / 1e9;
    state.counters["kind"] = -1;
}

// The console table, and the best figure of each reported run kept for the
// summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            const auto counter = [&](const char *name) { return run.counters.at(name).value; };
            const int kind = static_cast<int>(counter("kind"));
            if (kind < 0) {
                best_copy_ = std::max(best_copy_, counter("GBps") * 1e9);
            } else {
                double &best = best_[kind][static_cast<int>(counter("side"))];
                best = std::max(best, counter("MLUPS"));
            }
        }
    }

    void print_summary() const
    {
        const double roof_mlups = best_copy_ / kStepBytesPerNode / 1e6;
        std::printf("\n%s, one time step (best run of each): roofline %.1f GB/s (best copy), "
                    "%d bytes per node -> %.1f MLUPS at the roofline\n",
                    VARIANT_NAME, best_copy_ / 1e9, kStepBytesPerNode, roof_mlups);
#ifdef LEAN_STEP
        std::printf("lean step: %d bytes per node -> %.1f MLUPS at the roofline; "
                    "x %s: against its step with 2 workers\n",
                    kLeanBytesPerNode, best_copy_ / kLeanBytesPerNode / 1e6,
                    VARIANT_NAME);
#endif
        std::printf("%-20s %6s %8s %9s %11s %9s", "", "side", "MLUPS", "x serial", "x 1 worker",
                    "roofline");
#ifdef LEAN_STEP
        std::printf(" %12s", "x " VARIANT_NAME);
#endif
        std::printf("\n");
        static const char *const names[] = {"serial, 1 core", "kernels, 1 worker",
                                            "kernels, 2 workers", "lean, 1 worker",
                                            "lean, 2 workers"};
        for (const auto &[kind, by_side] : best_)
            for (const auto &[side, mlups] : by_side) {
                const bool lean = kind > kLeanKind;
                const int one_worker = lean ? kLeanKind + 1 : 1;
                const double bytes = lean ? kLeanBytesPerNode : kStepBytesPerNode;
                // (the serial step has no worker count to compare with)
                std::printf("%-20s %6d %8.2f %9.2f %11.2f %9.2f", names[kind], side, mlups,
                            mlups / lookup(0, side),
                            kind == 0 ? NAN : mlups / lookup(one_worker, side),
                            mlups * bytes * 1e6 / best_copy_);
#ifdef LEAN_STEP
                std::printf(" %12.2f", mlups / lookup(2, side));
#endif
                std::printf("\n");
            }
    }

private:
    double lookup(int kind, int side) const
    {
        const auto k = best_.find(kind);
        if (k == best_.end()) return NAN;
        const auto s = k->second.find(side);
        return s == k->second.end() ? NAN : s->second;
    }

    std::map<int, std::map<int, double>> best_;
    double best_copy_ = 0.0;
};

}  // namespace

BENCHMARK(copy_probe)->Name("copy_512MiB")->ArgName("threads")->Arg(1)->Arg(2)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(serial_step)->Name("serial/time_step")->ArgName("side")
    ->Arg(kSides[0])->Arg(kSides[1])->Arg(kSides[2])->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(kernel_step)->Name(VARIANT_NAME "/time_step")->ArgNames({"side", "workers"})
    ->ArgsProduct({{kSides[0], kSides[1], kSides[2]}, {kWorkers[0], kWorkers[1]}})
    ->UseRealTime()->Unit(benchmark::kMillisecond);

#ifdef LEAN_STEP
BENCHMARK(lean_step)->Name("vdwflow/time_step")->ArgNames({"side", "workers"})
    ->ArgsProduct({{kSides[0], kSides[1], kSides[2]}, {kWorkers[0], kWorkers[1]}})
    ->UseRealTime()->Unit(benchmark::kMillisecond);
#endif

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
