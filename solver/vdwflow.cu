// vdwflow: the lean van der Waals lattice Boltzmann solver. The same files as
// vdwflow_b from a fused time step over a state of eleven planes; reports
// through CUDAHandleError.
//
// This translation unit holds what must live beside the kernels: the device
// constants and their upload, the device state and its launches, and the
// program's own reporter.
#include "kernels/vdwflow_lean.cuh"
#include "lean_driver.h"
#include "lean_state.cuh"
#include "reporters.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "vdwflow.cu", line);
}

int main(int argc, char **argv)
{
    return run_lean(argc, argv);
}
