// vdwflow_c: the van der Waals lattice Boltzmann solver with the kernels of
// variant c (32-bit index functions); reports through gpuAssert, pads the
// start time and times the whole run as well as each step.
//
// This translation unit holds what must live beside the kernels: the device
// constants and their upload, the launches and the program's own reporter.
#include "kernels/vdwflow_c.cuh"
#include "program.cuh"
#include "reporters.h"

void report_status(cudaError_t status, int line)
{
    gpuAssert(status, "vdwflow_c.cu", line, true);
}

const int hpad_start_time = 1;
const int htime_whole_run = 1;
