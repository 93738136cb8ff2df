// Kernel launch and dynamic shared memory, written once for both backends.
//
//   launch(kernel, grid, block, shared_bytes, stream, args...)
//
// is the triple-chevron launch under nvcc and the cudacpu launcher under g++.
// Like the triple chevron it launches only when the configuration is
// accepted; a refusal is left for cudaGetLastError().
//
//   DYNAMIC_SHARED(int, shared);
//
// declares the block's dynamic shared memory as an array `shared` of int.
//
//   UNROLL_FULLY for (...)
//
// asks either compiler to unroll a loop of constant trip count completely.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>

#ifdef __CUDACC__

template <class... Params, class... Args>
inline void launch(void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t shared_bytes,
                   cudaStream_t stream, Args... args)
{
    kernel<<<grid, block, shared_bytes, stream>>>(static_cast<Params>(args)...);
}

#define DYNAMIC_SHARED(type, name) extern __shared__ type name[]
#define UNROLL_FULLY _Pragma("unroll")

#else

template <class... Params, class... Args>
inline void launch(void (*kernel)(Params...), dim3 grid, dim3 block, std::size_t shared_bytes,
                   cudaStream_t stream, Args... args)
{
    static_assert(sizeof...(Params) == sizeof...(Args), "wrong number of kernel arguments");
    const cudacpu::BoundKernel<void (*)(Params...), Params...> bound{
        kernel, {static_cast<Params>(args)...}};
    cudacpu::launch_kernel({&decltype(bound)::run_row, &bound}, grid, block, shared_bytes,
                           stream);
}

#define DYNAMIC_SHARED(type, name) \
    type *const name = static_cast<type *>(cudacpu::dynamic_shared_memory())
#define UNROLL_FULLY _Pragma("GCC unroll 64")

#endif
