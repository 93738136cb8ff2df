// What the benchmarks say about a launch whose status they do not examine:
// the run goes on as before, but a refused or failed launch is named on
// standard error with the runtime's reason.
#pragma once

#include <cuda_runtime.h>

#include <cstdio>

// Before the launch: the last error left by earlier, unexamined calls is
// not the launch's.
inline void forget_last_error()
{
    cudaGetLastError();
}

// Right after the launch; reads the last error only (no synchronisation).
inline void note_failed_launch(const char *kernel)
{
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess)
        std::fprintf(stderr, "launch of %s refused or failed: %s\n", kernel,
                     cudaGetErrorString(status));
}
