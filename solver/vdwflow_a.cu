// vdwflow_a: the van der Waals lattice Boltzmann solver with the kernels of
// variant a (moment sums in global memory); reports through CUDAHandleError.
//
// This translation unit holds what must live beside the kernels: the device
// constants and their upload, the launches and the program's own reporter.
#include "kernels/vdwflow_a.cuh"
#include "program.cuh"
#include "reporters.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "vdwflow_a.cu", line);
}

const int hpad_start_time = 0;
const int htime_whole_run = 0;
