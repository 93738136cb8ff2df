// The CPU runtime: barriers, shared memory, built-ins, launch checks, memory,
// events. Runs with four workers (unless CUDACPU_THREADS says otherwise), so
// blocks really run concurrently even on a two-core machine.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "launch.h"

namespace {

// A device buffer of n elements, freed at scope exit.
template <class T>
class DeviceBuffer {
public:
    explicit DeviceBuffer(std::size_t n) : n_(n) { EXPECT_EQ(cudaMalloc(&p_, n * sizeof(T)), cudaSuccess); }
    ~DeviceBuffer() { cudaFree(p_); }
    T *get() const { return p_; }
    std::vector<T> download() const
    {
        std::vector<T> host(n_);
        EXPECT_EQ(cudaMemcpy(host.data(), p_, n_ * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
        return host;
    }

private:
    T *p_ = nullptr;
    std::size_t n_;
};

// ---------------------------------------------------------------------------
// Barriers order shared memory.

constexpr int kRingThreads = 256;
constexpr int kRingTurns = 100;

// Every thread passes its value to its left neighbour through shared memory,
// kRingTurns times; each turn needs two barriers to be race-free.
__global__ void ring_kernel(int *out)
{
    __shared__ int ring[kRingThreads];
    const int t = threadIdx.x;
    ring[t] = static_cast<int>(blockIdx.x) * 100000 + t;
    for (int turn = 0; turn < kRingTurns; ++turn) {
        __syncthreads();
        const int right = ring[(t + 1) % kRingThreads];
        __syncthreads();
        ring[t] = right;
    }
    out[blockIdx.x * kRingThreads + t] = ring[t];
}

TEST(Barrier, ValuesGoAroundARingInManyConcurrentBlocks)
{
    constexpr int blocks = 64;
    DeviceBuffer<int> out(blocks * kRingThreads);
    launch<ring_kernel>(dim3(blocks), dim3(kRingThreads), 0, 0, out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const auto host = out.download();
    for (int b = 0; b < blocks; ++b)
        for (int t = 0; t < kRingThreads; ++t)
            ASSERT_EQ(host[b * kRingThreads + t], b * 100000 + (t + kRingTurns) % kRingThreads)
                << "block " << b << " thread " << t;
}

// Host threads that launch at the same time (several runs in one process)
// take turns: every launch runs whole, on its own arguments.
TEST(Barrier, LaunchesFromSeveralHostThreadsTakeTurns)
{
    constexpr int blocks = 16, launches = 20;
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int h = 0; h < 4; ++h)
        threads.emplace_back([h, &wrong] {
            DeviceBuffer<int> out(blocks * kRingThreads);
            for (int i = 0; i < launches; ++i) {
                launch<ring_kernel>(dim3(blocks), dim3(kRingThreads), 0, 0, out.get());
                if (cudaGetLastError() != cudaSuccess) ++wrong[h];
                const auto host = out.download();
                for (int b = 0; b < blocks; ++b)
                    wrong[h] += host[b * kRingThreads] != b * 100000 + kRingTurns % kRingThreads;
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

// Block-wide tree sum over dynamic shared memory.
__global__ void tree_sum_kernel(const double *in, double *out)
{
    DYNAMIC_SHARED(double, partial);
    const unsigned t = threadIdx.x;
    partial[t] = in[blockIdx.x * blockDim.x + t];
    for (unsigned half = blockDim.x / 2; half > 0; half /= 2) {
        __syncthreads();
        if (t < half) partial[t] += partial[t + half];
    }
    if (t == 0) out[blockIdx.x] = partial[0];
}

TEST(Barrier, TreeReductionSumsEveryBlock)
{
    constexpr int blocks = 48, threads = 512;
    std::vector<double> in(blocks * threads);
    for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<double>(i % 1000);
    DeviceBuffer<double> din(in.size()), dout(blocks);
    cudaMemcpy(din.get(), in.data(), in.size() * sizeof(double), cudaMemcpyHostToDevice);
    launch<tree_sum_kernel>(dim3(blocks), dim3(threads), threads * sizeof(double), 0,
           static_cast<const double *>(din.get()), dout.get());
    const auto sums = dout.download();
    for (int b = 0; b < blocks; ++b) {
        double expected = 0;
        for (int t = 0; t < threads; ++t) expected += in[b * threads + t];
        EXPECT_EQ(sums[b], expected) << "block " << b;
    }
}

// ---------------------------------------------------------------------------
// Shared memory belongs to one block.

// Each block fills its shared memory with its own index, lets the other
// blocks run for a while, and reports whether its memory still holds it.
__global__ void private_shared_kernel(int *intact)
{
    __shared__ int fixed[64];
    DYNAMIC_SHARED(int, dynamic);
    const int t = threadIdx.x;
    fixed[t] = static_cast<int>(blockIdx.x);
    dynamic[t] = static_cast<int>(blockIdx.x);
    __syncthreads();
    if (t == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    __syncthreads();
    bool ok = true;
    for (int i = 0; i < 64; ++i)
        ok = ok && fixed[i] == static_cast<int>(blockIdx.x) &&
             dynamic[i] == static_cast<int>(blockIdx.x);
    intact[blockIdx.x * 64 + t] = ok ? 1 : 0;
}

TEST(SharedMemory, StaticAndDynamicAreSeparatePerBlock)
{
    constexpr int blocks = 32;
    DeviceBuffer<int> intact(blocks * 64);
    launch<private_shared_kernel>(dim3(blocks), dim3(64), 64 * sizeof(int), 0, intact.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (int v : intact.download()) ASSERT_EQ(v, 1);
}

// ---------------------------------------------------------------------------
// Built-in indices and dimensions.

struct Seen {
    unsigned t[3], b[3], bd[3], gd[3];
};

// What a thread sees; in the SIMD form the built-ins are the kernel's
// parameters, passed here by name like the thread-local ones.
__device__ inline void record_builtins(Seen *out, uint3 threadIdx, uint3 blockIdx, dim3 blockDim,
                                       dim3 gridDim)
{
    const unsigned block = (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
    const unsigned thread = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
    Seen &s = out[block * blockDim.x * blockDim.y * blockDim.z + thread];
    s = Seen{{threadIdx.x, threadIdx.y, threadIdx.z},
             {blockIdx.x, blockIdx.y, blockIdx.z},
             {blockDim.x, blockDim.y, blockDim.z},
             {gridDim.x, gridDim.y, gridDim.z}};
}

__global__ void builtins_kernel(Seen *out)
{
    record_builtins(out, threadIdx, blockIdx, blockDim, gridDim);
}

SIMD_KERNEL(simd_builtins_kernel, Seen *out)
{
    record_builtins(out, threadIdx, blockIdx, blockDim, gridDim);
}

// Every thread of a launch sees its own indices, in a plain kernel and in the
// SIMD form.
void expect_every_index_once(const dim3 g, const dim3 b, const std::vector<Seen> &seen)
{
    unsigned i = 0;
    for (unsigned bz = 0; bz < g.z; ++bz)
        for (unsigned by = 0; by < g.y; ++by)
            for (unsigned bx = 0; bx < g.x; ++bx)
                for (unsigned tz = 0; tz < b.z; ++tz)
                    for (unsigned ty = 0; ty < b.y; ++ty)
                        for (unsigned tx = 0; tx < b.x; ++tx, ++i) {
                            const unsigned expect[12] = {tx,  ty,  tz,  bx,  by,  bz,
                                                         b.x, b.y, b.z, g.x, g.y, g.z};
                            ASSERT_EQ(0, std::memcmp(&seen[i], expect, sizeof expect))
                                << "grid " << g.x << "x" << g.y << "x" << g.z << ", element "
                                << i;
                        }
}

TEST(Builtins, OneTwoAndThreeDimensionalLaunchesSeeEveryIndexOnce)
{
    const dim3 shapes[][2] = {{dim3(7), dim3(33)},
                              {dim3(3, 5), dim3(4, 8)},
                              {dim3(2, 3, 4), dim3(5, 3, 2)}};
    for (const auto &shape : shapes) {
        const dim3 g = shape[0], b = shape[1];
        const unsigned count = g.x * g.y * g.z * b.x * b.y * b.z;
        DeviceBuffer<Seen> plain(count), simd(count);
        launch<builtins_kernel>(g, b, 0, 0, plain.get());
        launch<simd_builtins_kernel>(g, b, 0, 0, simd.get());
        expect_every_index_once(g, b, plain.download());
        expect_every_index_once(g, b, simd.download());
    }
}

// ---------------------------------------------------------------------------
// Refused configurations.

__global__ void mark_kernel(int *flag) { *flag = 1; }

TEST(LaunchChecks, RefusedConfigurationsRunNothingAndReportTheError)
{
    struct Case {
        const char *what;
        dim3 grid, block;
        std::size_t shared;
    };
    const Case refused[] = {
        {"1025 threads", dim3(1), dim3(1025), 0},
        {"1024 x 2 threads", dim3(1), dim3(1024, 2), 0},
        {"block z of 65", dim3(1), dim3(1, 1, 65), 0},
        {"zero grid x", dim3(0), dim3(32), 0},
        {"zero grid y", dim3(4, 0), dim3(32), 0},
        {"zero block", dim3(1), dim3(0), 0},
        {"shared memory above 48 KiB", dim3(1), dim3(32), 48 * 1024 + 1},
    };
    DeviceBuffer<int> flag(1);
    for (const Case &c : refused) {
        launch<mark_kernel>(c.grid, c.block, c.shared, 0, flag.get());
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration) << c.what;
        EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the error is cleared once read";
        EXPECT_EQ(flag.download()[0], -1) << c.what << ": the kernel must not run";
    }
    launch<mark_kernel>(dim3(1), dim3(1024), 48 * 1024, 0, flag.get());
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the largest accepted configuration";
    EXPECT_EQ(flag.download()[0], 1);
}

// A GPU kernel faults on a null pointer; here the launch says so instead of
// crashing the process.
TEST(LaunchChecks, NullPointerArgumentFaultsTheLaunchWithoutRunningIt)
{
    launch<mark_kernel>(dim3(1), dim3(1), 0, 0, static_cast<int *>(nullptr));
    EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalAddress),
                 "an illegal memory access was encountered");
}

// ---------------------------------------------------------------------------
// Memory.

__global__ void write_even_kernel(double *data)
{
    const unsigned i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i % 2 == 0) data[i] = i;
}

TEST(Memory, AllocationsAreAlignedAndPoisonedWhereNoKernelWrote)
{
    constexpr int n = 1000;
    DeviceBuffer<double> data(n);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data.get()) % 256, 0u);
    launch<write_even_kernel>(dim3(n / 100), dim3(100), 0, 0, data.get());
    const auto host = data.download();
    for (int i = 0; i < n; ++i) {
        if (i % 2 == 0) {
            EXPECT_EQ(host[i], i);
        } else {
            std::uint64_t bits;
            std::memcpy(&bits, &host[i], sizeof bits);
            EXPECT_EQ(bits, ~std::uint64_t{0}) << "element " << i;
            EXPECT_TRUE(std::isnan(host[i]));
        }
    }
}

TEST(Memory, CopiesOutsideAnAllocationAndBadFreesAreRefused)
{
    DeviceBuffer<char> buffer(100);
    char host[200] = {};
    EXPECT_EQ(cudaMemcpy(buffer.get(), host, 101, cudaMemcpyHostToDevice), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host, buffer.get() + 50, 51, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host, buffer.get() + 50, 50, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(host, host + 100, 10, static_cast<cudaMemcpyKind>(7)),
              cudaErrorInvalidMemcpyDirection);
    EXPECT_EQ(cudaFree(host), cudaErrorInvalidValue);
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue) << "the last failure is kept";
}

int symbol_value;
double symbol_array[4];

TEST(Memory, SymbolCopiesStayInsideTheSymbol)
{
    const int v = 42;
    EXPECT_EQ(cudaMemcpyToSymbol(symbol_value, &v, sizeof v), cudaSuccess);
    EXPECT_EQ(symbol_value, 42);
    const double d[2] = {1.5, 2.5};
    EXPECT_EQ(cudaMemcpyToSymbol(symbol_array, d, sizeof d, 2 * sizeof(double)), cudaSuccess);
    EXPECT_EQ(symbol_array[3], 2.5);
    EXPECT_EQ(cudaMemcpyToSymbol(symbol_array, d, sizeof d, 3 * sizeof(double)),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpyToSymbol(symbol_value, &v, sizeof v, 0, cudaMemcpyDeviceToHost),
              cudaErrorInvalidMemcpyDirection);
}

// ---------------------------------------------------------------------------
// Events and the device.

TEST(Events, ElapsedTimeFollowsTheHostClock)
{
    cudaEvent_t start, stop;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    float ms = -1;
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle)
        << "events that were never recorded";
    EXPECT_EQ(ms, -1.0f);
    EXPECT_EQ(cudaEventRecord(start, 0), cudaSuccess);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(cudaEventRecord(stop, 0), cudaSuccess);
    EXPECT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GE(ms, 19.0f);
    EXPECT_LT(ms, 2000.0f);
    EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(start), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventRecord(start, 0), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
}

TEST(Device, NamesItselfACpu)
{
    int device = -1;
    cudaDeviceProp prop;
    ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
    ASSERT_EQ(cudaGetDeviceProperties(&prop, device), cudaSuccess);
    EXPECT_EQ(device, 0);
    EXPECT_NE(std::string(prop.name).find("CPU"), std::string::npos) << prop.name;
    EXPECT_EQ(cudaGetDeviceProperties(&prop, 1), cudaErrorInvalidDevice);
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
}

// The worker count can change between launches: blocks then run on at most
// that many threads (one worker: the launching thread itself), and the
// device says how many.
__global__ void record_worker_kernel(std::size_t *out)
{
    if (threadIdx.x == 0) out[blockIdx.x] = std::hash<std::thread::id>{}(std::this_thread::get_id());
}

TEST(Device, WorkerCountChangesBetweenLaunches)
{
    constexpr int kBlocks = 512;
    DeviceBuffer<std::size_t> out(kBlocks);
    cudaGetLastError();  // what earlier tests left
    for (int workers : {1, 3, 2}) {
        cudacpu::set_worker_count(workers);
        launch<record_worker_kernel>(dim3(kBlocks), dim3(32), 0, 0, out.get());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        const std::vector<std::size_t> ran_on = out.download();
        const std::set<std::size_t> threads(ran_on.begin(), ran_on.end());
        EXPECT_LE(threads.size(), static_cast<std::size_t>(workers)) << workers << " workers";
        if (workers == 1) {
            EXPECT_EQ(*threads.begin(), std::hash<std::thread::id>{}(std::this_thread::get_id()));
        }
        cudaDeviceProp prop;
        ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
        EXPECT_NE(std::string(prop.name).find(std::to_string(workers) + " worker"),
                  std::string::npos) << prop.name;
    }
    cudacpu::set_worker_count(std::atoi(std::getenv("CUDACPU_THREADS")));  // as main set it
}

// ---------------------------------------------------------------------------
// Threads of a block that disagree about barriers end the process loudly.

__global__ void first_thread_skips_barrier_kernel()
{
    if (threadIdx.x == 0) return;
    __syncthreads();
}

__global__ void last_thread_skips_barrier_kernel()
{
    if (threadIdx.x == blockDim.x - 1) return;
    __syncthreads();
}

SIMD_KERNEL(simd_kernel_with_barrier, int *flag)
{
    flag[threadIdx.x] = 1;
    __syncthreads();
}

TEST(BarrierDeathTest, ThreadsThatNeverReachTheBarrierAbortTheLaunch)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    DeviceBuffer<int> flags(32);
    EXPECT_DEATH(launch<simd_kernel_with_barrier>(dim3(1), dim3(32), 0, 0, flags.get()),
                 "reached __syncthreads in a kernel launched in the SIMD form");
    EXPECT_DEATH(launch<first_thread_skips_barrier_kernel>(dim3(1), dim3(64), 0, 0),
                 "reached __syncthreads, but thread \\(0,0,0\\) of the block returned");
    EXPECT_DEATH(launch<last_thread_skips_barrier_kernel>(dim3(2), dim3(64), 0, 0),
                 "63 of its 64 threads wait at __syncthreads.*thread \\(63,0,0\\)");
}

}  // namespace

int main(int argc, char **argv)
{
    setenv("CUDACPU_THREADS", "4", 0);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
