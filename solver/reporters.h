// Failure reporters: a failed runtime call or a null pointer ends the process
// with a message; nothing allocated before is released.
#pragma once

#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>

// On failure: "<error text> in <file> at line <line>" on standard output,
// exit status 1.
void CUDAHandleError(cudaError err, const char *file, int line);

// On failure: "GPUassert: <error text> <file> <line>" on standard error, then
// with abort set the process ends with the error code as its status.
void gpuAssert(cudaError code, const char *file, int line, bool abort = true);

// A null pointer from an allocation or a file open: "Error, ptr is NULL" on
// standard output, exit status 1.
template <class T>
void CHK_NULL_RETURN(T *ptr)
{
    if (ptr == nullptr) {
        std::printf("Error, ptr is NULL\n");
        std::exit(1);
    }
}

// The program's own reporter (CUDAHandleError or gpuAssert), naming the
// program's source file and the given line; defined by each program beside
// its kernels.
void report_status(cudaError_t status, int line);

// Passes the status of a runtime call and the line of the call to the
// program's reporter.
#define CHECK_STATUS(call) report_status((call), __LINE__)
