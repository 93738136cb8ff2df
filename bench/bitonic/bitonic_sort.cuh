// Kernels of the sort benchmarks: a bitonic sorting network over SORT_SIZE
// ints, run by one block of SORT_SIZE threads; thread t owns element t.
#pragma once

#include "launch.h"

constexpr unsigned int SORT_SIZE = 512;

// The network on `data`: stages k = 2, 4, .. SORT_SIZE, steps j = k/2 .. 1.
// In each step the lower index of every pair (t, t ^ j) compares the two
// elements and exchanges them when they are out of order for its direction
// (ascending where bit k of t is clear); equal values stay. Every thread
// reaches every barrier.
__device__ inline void bitonic_network(int *data)
{
    const unsigned int t = threadIdx.x;
    for (unsigned int k = 2; k <= SORT_SIZE; k *= 2) {
        for (unsigned int j = k / 2; j > 0; j /= 2) {
            const unsigned int p = t ^ j;
            if (p > t) {
                const int a = data[t];
                const int b = data[p];
                if ((t & k) == 0 ? a > b : a < b) {
                    data[t] = b;
                    data[p] = a;
                }
            }
            __syncthreads();
        }
    }
}

// Works on the array in global memory.
__global__ void bitonicSortNaive(int *values) { bitonic_network(values); }

// Works on a copy in the block's dynamic shared memory (SORT_SIZE ints).
__global__ void bitonicSort(int *values)
{
    DYNAMIC_SHARED(int, shared);
    const unsigned int t = threadIdx.x;
    shared[t] = values[t];
    __syncthreads();
    bitonic_network(shared);
    values[t] = shared[t];  // own element only, after the last barrier
}
