// Failure reporters: a failed runtime call or a null pointer ends the process
// with a message; nothing allocated before is released.
#pragma once

#include <cuda_runtime.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

// The reporters, the parameter reader and the run checks end the process
// here. A harness that must outlive a rejected input (the fuzzer) sets a hook
// that does not return (it throws); the programs set none, and the process
// exits with `status`.
extern void (*end_run_hook)(int status);
[[noreturn]] void end_run(int status);

// What ended a run: a bad input, a file, a blow-up or the device.
enum class run_failure { input, file, unstable, device };

// A failure as a value: the lines a reporter prints on standard output and
// standard error, and the status the process ends with. The framework's
// reusable parts (the parameter table, the checks, the snapshot writer)
// throw it; vdwflow_a, _b and _c turn it into their report and end
// (end_with), vdwflow's driver prints it, its Python module raises it.
struct run_error : std::exception {
    run_failure kind = run_failure::input;
    int status = 1;
    std::string out, err;           // whole lines, each ending in a newline
    cudaError_t device = cudaSuccess;  // a device failure: the runtime's error ...
    int line = 0;                   // ... and the source line of the call
    const char *what() const noexcept override { return err.empty() ? out.c_str() : err.c_str(); }
};

// printf into a string of any length.
std::string vformatted(const char *format, va_list args);

// A run_error whose standard error line is formatted (and ends in a newline).
run_error error_line(run_failure kind, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Prints a run_error as a reporter does, then end_run(status).
[[noreturn]] void end_with(const run_error &error);

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

// A file that could not be opened ("open") or read ("read"): the line on
// standard error naming it and the system's reason for `error`, and
// "Error, ptr is NULL" on standard output, status 1.
run_error file_error(const char *what, const char *path, int error);

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
