// cudacpu: the subset of the CUDA runtime API and of the device facilities
// that our programs use, implemented on the host CPU.
//
// Sources include <cuda_runtime.h> on both backends: nvcc finds the real one,
// g++ finds this one. Everything public here carries CUDA's own names, types
// and numeric error codes; the machinery behind it lives in namespace cudacpu.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

// ---------------------------------------------------------------------------
// Qualifiers. Device code is ordinary host code here. Static shared memory is
// one copy per worker thread: a worker runs one block at a time to
// completion, so the threads of a block share it and concurrent blocks do not.
#define __global__
#define __device__
#define __host__
// Device constants are static: as in CUDA without relocatable device code,
// only the translation unit that defines one sees it. With its address never
// escaping (symbol copies are inline memcpys, below), the compiler knows that
// no store through a pointer can change it, and keeps it in a register
// across the kernel's stores instead of reloading it after each.
#define __constant__ static
#define __shared__ static thread_local
#define __forceinline__ inline __attribute__((always_inline))

// ---------------------------------------------------------------------------
// Error codes: the CUDA runtime's values.
enum cudaError {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInitializationError = 3,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidSymbol = 13,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInsufficientDriver = 35,
    cudaErrorNoDevice = 100,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorNotReady = 600,
    cudaErrorIllegalAddress = 700,
    cudaErrorLaunchOutOfResources = 701,
    cudaErrorLaunchFailure = 719,
    cudaErrorUnknown = 999
};
typedef enum cudaError cudaError_t;

enum cudaMemcpyKind {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4
};

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1)
        : x(vx), y(vy), z(vz) {}
    constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
    constexpr operator uint3() const { return uint3{x, y, z}; }
};

struct cudaDeviceProp {
    char name[256];
    std::size_t totalGlobalMem;
    std::size_t sharedMemPerBlock;
    int regsPerBlock;
    int warpSize;
    int maxThreadsPerBlock;
    int maxThreadsDim[3];
    int maxGridSize[3];
    std::size_t totalConstMem;
    int major;
    int minor;
    int multiProcessorCount;
};

typedef struct CUstream_st *cudaStream_t;
typedef struct CUevent_st *cudaEvent_t;

// ---------------------------------------------------------------------------
// Built-in variables of the thread being run (per worker thread; the block
// scheduler sets them before it runs or resumes a thread). __thread rather
// than thread_local: no dynamic initialisation, so an access is one
// thread-pointer-relative load, not a call.
extern __thread uint3 threadIdx;
extern __thread uint3 blockIdx;
extern __thread dim3 blockDim;
extern __thread dim3 gridDim;

// Block-wide barrier.
void __syncthreads();

// ---------------------------------------------------------------------------
// Runtime API.
const char *cudaGetErrorString(cudaError_t error);
const char *cudaGetErrorName(cudaError_t error);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();

cudaError_t cudaGetDeviceCount(int *count);
cudaError_t cudaGetDevice(int *device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp *prop, int device);
cudaError_t cudaDeviceSynchronize();
// The device's memory is the host's: free is what the host has available
// (MemAvailable), total its physical memory.
cudaError_t cudaMemGetInfo(std::size_t *free, std::size_t *total);
cudaError_t cudaDeviceReset();

cudaError_t cudaMalloc(void **devPtr, std::size_t size);
cudaError_t cudaFree(void *devPtr);
cudaError_t cudaMemcpy(void *dst, const void *src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaMemset(void *devPtr, int value, std::size_t count);

cudaError_t cudaEventCreate(cudaEvent_t *event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = 0);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float *ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);

template <class T>
cudaError_t cudaMalloc(T **devPtr, std::size_t size)
{
    return cudaMalloc(reinterpret_cast<void **>(devPtr), size);
}

namespace cudacpu {
// What cudaMemcpyToSymbol (to_symbol) and cudaMemcpyFromSymbol check before
// they copy: fault injection, the direction, the range within the symbol and
// the host pointer. The copy itself is done inline, so that the symbol's
// address does not escape.
cudaError_t check_symbol_copy(bool to_symbol, std::size_t symbol_size, const void *host,
                              std::size_t count, std::size_t offset, cudaMemcpyKind kind);
}  // namespace cudacpu

template <class T>
__attribute__((always_inline)) inline cudaError_t
cudaMemcpyToSymbol(const T &symbol, const void *src, std::size_t count, std::size_t offset = 0,
                   cudaMemcpyKind kind = cudaMemcpyHostToDevice)
{
    const cudaError_t status = cudacpu::check_symbol_copy(true, sizeof(T), src, count, offset, kind);
    // (the range test repeats the check's, for the compiler's sake)
    if (status == cudaSuccess && count > 0 && offset <= sizeof(T) && count <= sizeof(T) - offset)
        std::memcpy(reinterpret_cast<char *>(const_cast<T *>(&symbol)) + offset, src, count);
    return status;
}

template <class T>
__attribute__((always_inline)) inline cudaError_t
cudaMemcpyFromSymbol(void *dst, const T &symbol, std::size_t count, std::size_t offset = 0,
                     cudaMemcpyKind kind = cudaMemcpyDeviceToHost)
{
    const cudaError_t status =
        cudacpu::check_symbol_copy(false, sizeof(T), dst, count, offset, kind);
    if (status == cudaSuccess && count > 0 && offset <= sizeof(T) && count <= sizeof(T) - offset)
        std::memcpy(dst, reinterpret_cast<const char *>(&symbol) + offset, count);
    return status;
}

// ---------------------------------------------------------------------------
// Kernel launch (reached through launch() of the shared launch header; the
// triple chevron does not exist for g++).
namespace cudacpu {

// A kernel bound to its arguments: run_row(closure, from, to) executes the
// threads threadIdx.x = from .. to - 1 of the current row of the block
// (threadIdx.y and .z and the block built-ins are set by the caller).
// A kernel in the SIMD form (simd) runs the threads of a row as one loop
// and must not reach a barrier.
struct KernelThunk {
    void (*run_row)(const void *closure, unsigned from, unsigned to);
    const void *closure;
    bool simd = false;
};

// Checks the configuration like the real runtime, then runs every block.
// A refused configuration runs nothing and is reported through
// cudaGetLastError() as cudaErrorInvalidConfiguration.
void launch_kernel(const KernelThunk &thunk, dim3 grid, dim3 block, std::size_t shared_bytes,
                   cudaStream_t stream);

// A kernel on a GPU faults when it touches a null pointer; here a launch with
// a null pointer argument records cudaErrorIllegalAddress instead of running
// the kernel (launch() of the shared launch header checks the arguments).
template <class T>
constexpr bool is_null_pointer(const T &arg)
{
    if constexpr (std::is_pointer_v<T>)
        return arg == nullptr;
    else
        return false;
}
void fault_launch();

// Start of the dynamic shared memory of the running block.
void *dynamic_shared_memory();

// Sets the number of worker threads for the launches that follow (1 .. 1024;
// the default is CUDACPU_THREADS, else the cores the process may run on).
// For benchmarks that compare worker counts in one process; call it between
// launches.
void set_worker_count(int count);

// The parameter types of a kernel, as a tuple.
template <class Kernel>
struct KernelParams;
template <class... Params>
struct KernelParams<void (*)(Params...)> {
    using type = std::tuple<Params...>;
};

// A kernel known at compile time, so that the loop over the threads of a row
// calls (and usually inlines) it directly. The closure is its argument tuple.
#if defined(__clang__)
#define CUDACPU_THREAD_LOOP_ATTRIBUTES __attribute__((flatten))
#else
#define CUDACPU_THREAD_LOOP_ATTRIBUTES \
    __attribute__((flatten, optimize("no-version-loops-for-strides")))
#endif

template <auto Kernel>
struct StaticKernel {
    using Args = typename KernelParams<decltype(Kernel)>::type;
    // flatten: the kernel and everything it calls are inlined into the loop
    // over the threads, so that set-up which does not depend on the thread
    // (offsets from device constants) can be hoisted out of it. No loop
    // copies for a unit stride: the kernels' loops over planes step by a
    // plane size, never 1; without the copies vdwflow_b's step runs about
    // 5 % faster on one core, vdwflow_a's 3 %, vdwflow_c's the same (g++;
    // clang, which builds only the fuzz target, has no such option).
    CUDACPU_THREAD_LOOP_ATTRIBUTES static void
    run_row(const void *closure, unsigned from, unsigned to)
    {
        // A private copy: the compiler then knows that storing threadIdx
        // cannot change an argument, and keeps the arguments in registers.
        const Args args = *static_cast<const Args *>(closure);
        for (unsigned x = from; x < to; ++x) {
            threadIdx.x = x;
            std::apply(Kernel, args);
        }
    }
};

// The SIMD form of a barrier-free kernel (SIMD_KERNEL of the shared launch
// header): a function whose leading parameters are this tag and the four
// built-ins, which shadow the thread-local ones in its body. The threads of
// a row then run as one loop with the built-ins as locals of that loop, which
// the compiler can vectorise: no thread-local stores, no call per thread.
struct SimdForm {};

template <class Kernel>
struct SimdParams;
template <class... Params>
struct SimdParams<void (*)(SimdForm, uint3, uint3, dim3, dim3, Params...)> {
    using type = std::tuple<Params...>;
};

template <class Kernel>
inline constexpr bool is_simd_kernel = false;
template <class... Params>
inline constexpr bool is_simd_kernel<void (*)(SimdForm, uint3, uint3, dim3, dim3, Params...)> =
    true;

template <auto Kernel>
struct SimdKernel {
    using Args = typename SimdParams<decltype(Kernel)>::type;
    static void run_row(const void *closure, unsigned from, unsigned to)
    {
        const Args args = *static_cast<const Args *>(closure);
        const uint3 block = blockIdx;
        const dim3 block_dim = blockDim;
        const dim3 grid_dim = gridDim;
        const unsigned y = threadIdx.y;
        const unsigned z = threadIdx.z;
        std::apply(
            [&](const auto &...arg) {
                // (a signed counter: a kernel that takes int(threadIdx.x)
                // then indexes memory at unit strides the compiler can see)
                const int first = static_cast<int>(from);
                const int end = static_cast<int>(to);
                _Pragma("omp simd") for (int x = first; x < end; ++x) Kernel(
                    SimdForm{}, uint3{static_cast<unsigned>(x), y, z}, block, block_dim,
                    grid_dim, arg...);
            },
            args);
    }
};

}  // namespace cudacpu
