// Failure reporters: a failed runtime call or a null pointer ends the process
// with a message; nothing allocated before is released.
#pragma once

#include <cuda_runtime.h>

#include <cstdio>
#include <cstdlib>

// The reporters, the parameter reader and the run checks end the process
// here. A harness that must outlive a rejected input (the fuzzer) sets a hook
// that does not return (it throws); the programs set none, and the process
// exits with `status`.
extern void (*end_run_hook)(int status);
[[noreturn]] void end_run(int status);

// What ended a run, for a hook that turns it into an error of its own kind
// (the Python package raises ValueError, OSError or RuntimeError): a site
// that ends a run because of a file, a blow-up or the device says so before
// it calls end_run; any other end is a bad input.
enum class run_failure { input, file, unstable, device };
void note_failure(run_failure kind);
// The kind noted last, and back to `input` for the next failure.
run_failure take_failure();

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
        end_run(1);
    }
}

// A file that did not open (null): first one line on standard error naming
// the file and the system's reason, then as CHK_NULL_RETURN.
void CHK_NULL_FILE(FILE *file, const char *path);

// A file that opened but cannot be read ends the run as one that does not
// open: the line naming it and the reason, "Error, ptr is NULL", status 1.
[[noreturn]] void report_unreadable_file(const char *path);

// The program's own reporter (CUDAHandleError or gpuAssert), naming the
// program's source file and the given line; defined by each program beside
// its kernels.
void report_status(cudaError_t status, int line);

// Passes the status of a runtime call and the line of the call to the
// program's reporter.
#define CHECK_STATUS(call) report_status((call), __LINE__)

// Launches a kernel (launch<kernel>(args...)) and passes the launch's status,
// a refused configuration or a failed launch, with the line of this macro to
// the program's reporter. The last error is cleared first, so that what an
// unexamined call left there is not taken for the launch's; only the last
// error is read afterwards, so the device is not synchronised.
#define LAUNCH_CHECKED(kernel, ...)                        \
    do {                                                   \
        cudaGetLastError();                                \
        launch<kernel>(__VA_ARGS__);                       \
        report_status(cudaGetLastError(), __LINE__);       \
    } while (0)
