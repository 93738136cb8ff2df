// Failure reporters.
#include "reporters.h"

#include <cerrno>
#include <cstring>

void (*end_run_hook)(int status) = nullptr;

static run_failure noted_failure = run_failure::input;

void note_failure(run_failure kind)
{
    noted_failure = kind;
}

run_failure take_failure()
{
    const run_failure kind = noted_failure;
    noted_failure = run_failure::input;
    return kind;
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
        note_failure(run_failure::device);
        end_run(1);
    }
}

void gpuAssert(cudaError code, const char *file, int line, bool abort)
{
    if (code != cudaSuccess) {
        std::fprintf(stderr, "GPUassert: %s %s %d\n", cudaGetErrorString(code), file, line);
        if (abort) {
            note_failure(run_failure::device);
            end_run(code);
        }
    }
}

static void name_file(const char *what, const char *path, int error)
{
    std::fprintf(stderr, "vdwflow: cannot %s %s: %s\n", what, path, std::strerror(error));
    note_failure(run_failure::file);
}

void CHK_NULL_FILE(FILE *file, const char *path)
{
    if (file == nullptr) {
        name_file("open", path, errno);
        CHK_NULL_RETURN(file);
    }
}

void report_unreadable_file(const char *path)
{
    name_file("read", path, errno);
    std::printf("Error, ptr is NULL\n");
    end_run(1);
}
