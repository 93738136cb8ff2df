// Quotients that the kernels form in single precision: both operands are
// rounded to float, divided in float (IEEE, round to nearest) and the
// quotient is widened back to double. The one place where this happens, so
// that both backends round identically.
#pragma once

#include <cuda_runtime.h>

__host__ __device__ inline double sp_div(double numerator, double denominator)
{
    return static_cast<double>(static_cast<float>(numerator) / static_cast<float>(denominator));
}
