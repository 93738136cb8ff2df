// vdwflow: the lean van der Waals lattice Boltzmann solver. The same files as
// vdwflow_b from a fused time step over a state that keeps only what one
// step hands to the next; checkpoints, resumption, its own setups.
#include "driver.h"
#include "reporters.h"

// The start-up's device query reports through CUDAHandleError, as the other
// programs' do; the run's own failures are values (run.h).
void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "vdwflow.cu", line);
}

int main(int argc, char **argv)
{
    return lean::run_program(argc, argv);
}
