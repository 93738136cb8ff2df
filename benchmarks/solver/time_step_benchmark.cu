// Throughput of a full solver time step (periodic_boundary + lb_time_step) on
// the cpu backend, in million lattice-node updates per second. Built once per
// kernel variant: KERNEL_HEADER names the variant's kernel header.
#include "device_constants.cuh"
#include KERNEL_HEADER

#include <benchmark/benchmark.h>

#include "kernel_fixture.h"

namespace {

void time_step(benchmark::State &state)
{
    const int side = static_cast<int>(state.range(0));
    kt::Lattice lat({side, side});
    lat.one.upload(lat.initial_field());
    lat.step();  // first touch of the halo lattice outside the timing
    for (auto _ : state) lat.step();
    cudaDeviceSynchronize();
    state.counters["MLUPS"] = benchmark::Counter(
        static_cast<double>(lat.nodes) * static_cast<double>(state.iterations()) / 1e6,
        benchmark::Counter::kIsRate);
    state.counters["nodes"] = lat.nodes;
}

}  // namespace

BENCHMARK(time_step)
    ->Name(VARIANT_NAME "/time_step")
    ->ArgName("side")
    ->Arg(128)
    ->Arg(512)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
