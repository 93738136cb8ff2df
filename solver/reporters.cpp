// Failure reporters.
#include "reporters.h"

void CUDAHandleError(cudaError err, const char *file, int line)
{
    if (err != cudaSuccess) {
        std::printf("%s in %s at line %d\n", cudaGetErrorString(err), file, line);
        std::exit(1);
    }
}

void gpuAssert(cudaError code, const char *file, int line, bool abort)
{
    if (code != cudaSuccess) {
        std::fprintf(stderr, "GPUassert: %s %s %d\n", cudaGetErrorString(code), file, line);
        if (abort)
            std::exit(code);
    }
}
