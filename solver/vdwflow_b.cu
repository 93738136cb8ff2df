// vdwflow_b: the van der Waals lattice Boltzmann solver with the kernels of
// variant b (moment sums in registers, distributions copied to the halo in the
// moment loop); reports through CUDAHandleError.
//
// This translation unit holds what must live beside the kernels: the device
// constants and their upload, the launches and the program's own reporter.
#include "kernels/vdwflow_b.cuh"
#include "program.cuh"
#include "reporters.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "vdwflow_b.cu", line);
}

const int hpad_start_time = 0;
const int htime_whole_run = 0;
