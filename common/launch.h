// Kernel launch and dynamic shared memory, written once for both backends.
//
//   launch<kernel>(grid, block, shared_bytes, stream, args...)
//
// is the triple-chevron launch under nvcc and the cudacpu launcher under g++
// (the kernel as a template argument lets g++ inline it into the loop over a
// block's threads). Like the triple chevron it launches only when the configuration is
// accepted; a refusal is left for cudaGetLastError().
//
//   DYNAMIC_SHARED(int, shared);
//
// declares the block's dynamic shared memory as an array `shared` of int.
//
//   UNROLL_FULLY for (...)
//
// asks either compiler to unroll a loop of constant trip count completely.
//
//   SIMD_KERNEL(name, params...) { body }
//
// defines a kernel that never reaches __syncthreads. Under nvcc it is an
// ordinary __global__ kernel; on the cpu backend the threads of each row of
// a block run as one loop that the compiler vectorises (the built-ins are
// locals of that loop), so the body should be straight-line code over unit
// strides in threadIdx.x, with __restrict__ pointers. Reaching a barrier in
// this form ends the process with a message.
//
//   CONSTANTS_PARAM(type) name
//
// declares a kernel parameter that is a struct of a run's constants: by value
// on a GPU (it travels with the launch); on the cpu backend a reference to
// the launch's own copy, which lives while the launch runs (a struct of
// hundreds of bytes taken by value would be copied for every thread of the
// vector loop).
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

#ifdef __CUDACC__

template <auto Kernel, class... Args>
inline void launch(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream,
                   Args... args)
{
    Kernel<<<grid, block, shared_bytes, stream>>>(args...);
}

#define DYNAMIC_SHARED(type, name) extern __shared__ type name[]
#define UNROLL_FULLY _Pragma("unroll")
#define SIMD_KERNEL(name, ...) __global__ void name(__VA_ARGS__)
#define CONSTANTS_PARAM(type) const type

#else

template <auto Kernel, class... Args>
inline void launch(dim3 grid, dim3 block, std::size_t shared_bytes, cudaStream_t stream,
                   Args... args)
{
    constexpr bool simd = cudacpu::is_simd_kernel<decltype(Kernel)>;
    using Params = typename std::conditional_t<simd, cudacpu::SimdParams<decltype(Kernel)>,
                                               cudacpu::KernelParams<decltype(Kernel)>>::type;
    static_assert(std::tuple_size_v<Params> == sizeof...(Args),
                  "wrong number of kernel arguments");
    if ((cudacpu::is_null_pointer(args) || ...)) {
        cudacpu::fault_launch();
        return;
    }
    const Params params{args...};
    if constexpr (simd)
        cudacpu::launch_kernel({&cudacpu::SimdKernel<Kernel>::run_row, &params, true}, grid,
                               block, shared_bytes, stream);
    else
        cudacpu::launch_kernel({&cudacpu::StaticKernel<Kernel>::run_row, &params}, grid, block,
                               shared_bytes, stream);
}

#define DYNAMIC_SHARED(type, name) \
    type *const name = static_cast<type *>(cudacpu::dynamic_shared_memory())
#define UNROLL_FULLY _Pragma("GCC unroll 64")
#define CONSTANTS_PARAM(type) const type &
#define SIMD_KERNEL(name, ...)                                                          \
    __attribute__((always_inline)) inline void name(                                    \
        cudacpu::SimdForm, [[maybe_unused]] const uint3 threadIdx,                     \
        [[maybe_unused]] const uint3 blockIdx, [[maybe_unused]] const dim3 blockDim,    \
        [[maybe_unused]] const dim3 gridDim, __VA_ARGS__)

#endif
