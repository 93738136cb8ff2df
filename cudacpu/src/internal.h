// Internals shared by the cudacpu sources.
#pragma once

#include <cuda_runtime.h>

namespace cudacpu {

// Records `error` as the last error of the calling host thread and returns it.
cudaError_t record(cudaError_t error);

// Fault injection: when CUDACPU_FAIL names `function` and this is the call it
// counts to, returns the error to report (the default `error` unless the
// entry gives a code of its own); cudaSuccess otherwise.
cudaError_t injected_failure(const char *function, cudaError_t error);

// Number of worker threads that run blocks (CUDACPU_THREADS, else all the
// cores the process may run on).
int worker_count();

// Prints "cudacpu: <message>" on standard error and aborts the process.
[[noreturn]] void fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace cudacpu
