// What the CPU runtime costs.
//
// - Triad over 16 M doubles, one GPU thread per element, against the same
//   loop written by hand: the price of the launcher on barrier-free,
//   memory-bound kernels. Run once with CUDACPU_THREADS=1 and once with 2 to
//   see how blocks scale over workers (the hand loop always runs on one core).
// - bitonicSort: one block of 512 threads through 45 barriers, i.e. the price
//   of fiber switches.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "bitonic_sort.cuh"
#include "launch.h"

namespace {

constexpr int kTriadElements = 16 * 1024 * 1024;

__global__ void triad_kernel(double *a, const double *b, const double *c, double s, int n)
{
    const int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) a[i] = b[i] + s * c[i];
}

struct TriadData {
    double *a, *b, *c;
    TriadData()
    {
        cudaMalloc(&a, kTriadElements * sizeof(double));
        cudaMalloc(&b, kTriadElements * sizeof(double));
        cudaMalloc(&c, kTriadElements * sizeof(double));
        for (int i = 0; i < kTriadElements; ++i) {
            a[i] = 0.0;
            b[i] = i;
            c[i] = 0.5 * i;
        }
    }
    ~TriadData()
    {
        cudaFree(a);
        cudaFree(b);
        cudaFree(c);
    }
};

void set_bandwidth(benchmark::State &state)
{
    state.counters["GB/s"] = benchmark::Counter(
        3.0 * sizeof(double) * kTriadElements * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

// One pass of the triad written by hand, as g++ compiles it (vectorised) ...
void triad_pass(TriadData &d)
{
    for (int i = 0; i < kTriadElements; ++i) d.a[i] = d.b[i] + 3.0 * d.c[i];
}

// ... and element by element, as a GPU thread sees it: one thread per
// element cannot be vectorised.
__attribute__((optimize("no-tree-vectorize"))) void triad_pass_scalar(TriadData &d)
{
    for (int i = 0; i < kTriadElements; ++i) d.a[i] = d.b[i] + 3.0 * d.c[i];
}

void run_triad_by_hand(benchmark::State &state, void (*pass)(TriadData &))
{
    TriadData d;
    for (auto _ : state) {
        pass(d);
        benchmark::ClobberMemory();
    }
    set_bandwidth(state);
}

void BM_TriadByHand(benchmark::State &state) { run_triad_by_hand(state, triad_pass); }
BENCHMARK(BM_TriadByHand)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TriadByHandScalar(benchmark::State &state)
{
    run_triad_by_hand(state, triad_pass_scalar);
}
BENCHMARK(BM_TriadByHandScalar)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same loop split over two host threads: what two cores' memory
// bandwidth allows at all.
void BM_TriadByHandTwoThreads(benchmark::State &state)
{
    TriadData d;
    auto half = [&](int from, int to) {
        double *a = d.a;
        const double *b = d.b, *c = d.c;
        for (int i = from; i < to; ++i) a[i] = b[i] + 3.0 * c[i];
    };
    for (auto _ : state) {
        std::thread other(half, kTriadElements / 2, kTriadElements);
        half(0, kTriadElements / 2);
        other.join();
        benchmark::ClobberMemory();
    }
    set_bandwidth(state);
}
BENCHMARK(BM_TriadByHandTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TriadCudacpu(benchmark::State &state)
{
    TriadData d;
    const unsigned threads = static_cast<unsigned>(state.range(0));
    const dim3 grid((kTriadElements + threads - 1) / threads), block(threads);
    for (auto _ : state) {
        launch<triad_kernel>(grid, block, 0, 0, d.a, static_cast<const double *>(d.b),
               static_cast<const double *>(d.c), 3.0, kTriadElements);
        benchmark::ClobberMemory();
    }
    set_bandwidth(state);
    int device = 0;
    cudaDeviceProp prop;
    cudaGetDeviceProperties(&prop, device);
    state.SetLabel(prop.name);
}
BENCHMARK(BM_TriadCudacpu)->Arg(128)->Arg(512)->Arg(1024)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BitonicSortLaunch(benchmark::State &state)
{
    std::vector<int> values(SORT_SIZE);
    for (auto &v : values) v = std::rand();
    int *d = nullptr;
    cudaMalloc(&d, SORT_SIZE * sizeof(int));
    for (auto _ : state) {
        cudaMemcpy(d, values.data(), SORT_SIZE * sizeof(int), cudaMemcpyHostToDevice);
        launch<bitonicSort>(dim3(1), dim3(SORT_SIZE), SORT_SIZE * sizeof(int), 0, d);
    }
    cudaFree(d);
}
BENCHMARK(BM_BitonicSortLaunch)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
