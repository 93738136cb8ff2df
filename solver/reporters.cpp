// Failure reporters.
#include "reporters.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

void (*end_run_hook)(int status) = nullptr;

std::string vformatted(const char *format, va_list args)
{
    va_list again;
    va_copy(again, args);
    std::string text(256, '\0');
    const int length = std::vsnprintf(&text[0], text.size(), format, args);
    if (length >= static_cast<int>(text.size())) {
        text.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
    }
    va_end(again);
    text.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return text;
}

run_error error_line(run_failure kind, const char *format, ...)
{
    run_error e;
    e.kind = kind;
    va_list args;
    va_start(args, format);
    e.err = vformatted(format, args) + '\n';
    va_end(args);
    return e;
}

void end_with(const run_error &error)
{
    std::fflush(stdout);
    std::fputs(error.err.c_str(), stderr);
    std::fputs(error.out.c_str(), stdout);
    end_run(error.status);
}

void end_run(int status)
{
    if (end_run_hook)
        end_run_hook(status);
    std::exit(status);
}

void CUDAHandleError(cudaError err, const char *file, int line)
{
    if (err != cudaSuccess) {
        std::printf("%s in %s at line %d\n", cudaGetErrorString(err), file, line);
        end_run(1);
    }
}

void gpuAssert(cudaError code, const char *file, int line, bool abort)
{
    if (code != cudaSuccess) {
        std::fprintf(stderr, "GPUassert: %s %s %d\n", cudaGetErrorString(code), file, line);
        if (abort)
            end_run(code);
    }
}

run_error file_error(const char *what, const char *path, int error)
{
    run_error e = error_line(run_failure::file, "vdwflow: cannot %s %s: %s", what, path,
                             std::strerror(error));
    e.out = "Error, ptr is NULL\n";
    return e;
}

void CHK_NULL_FILE(FILE *file, const char *path)
{
    if (file == nullptr)
        end_with(file_error("open", path, errno));
}

void report_unreadable_file(const char *path)
{
    end_with(file_error("read", path, errno));
}
