// vdwflow: the lean van der Waals lattice Boltzmann solver. The same files as
// vdwflow_b from a fused time step over a state that keeps only what one
// step hands to the next; checkpoints, resumption, its own setups.
#include <cstdlib>
#include <string>

#include "driver.h"
#include "reporters.h"
#ifdef VDWFLOW_MPI
#include "mpi_team.h"
#endif

// The start-up's device query reports through CUDAHandleError, as the other
// programs' do; the run's own failures are values (run.h).
void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "vdwflow.cu", line);
}

int main(int argc, char **argv)
{
#ifdef VDWFLOW_MPI
    lean::mpi_team processes(&argc, &argv);
    if (processes.size() > 1) {
        // A device each: the processes of a machine take its GPUs in turn;
        // on the cpu backend each its share of the machine's cores.
        if (!std::getenv("CUDACPU_THREADS"))
            setenv("CUDACPU_THREADS", std::to_string(processes.cores()).c_str(), 1);
        int devices = 0;
        if (cudaGetDeviceCount(&devices) == cudaSuccess && devices > 0)
            cudaSetDevice(processes.local_rank() % devices);
        cudaGetLastError();
    }
    return lean::run_program(argc, argv, &processes);
#else
    return lean::run_program(argc, argv);
#endif
}
