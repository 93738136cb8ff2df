// Quotients that the kernels form in single precision: both operands are
// rounded to float, divided in float (IEEE, round to nearest) and the
// quotient is widened back to double. The one place where this happens, so
// that both backends round identically.
#pragma once

#include <cuda_runtime.h>

// Small device helpers of the kernels are always inlined: on the cpu backend
// a kernel's body must be one straight piece of code for its loop over the
// threads to become a vector loop, however many kernels a program holds.
#ifdef __CUDACC__
#define FORCE_INLINE __forceinline__
#else
#define FORCE_INLINE __attribute__((always_inline)) inline
#endif

__host__ __device__ FORCE_INLINE double sp_div(double numerator, double denominator)
{
    return static_cast<double>(static_cast<float>(numerator) / static_cast<float>(denominator));
}
