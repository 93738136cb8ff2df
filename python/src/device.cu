// The lean solver's kernels, device constants and device state in the Python
// package's extension module: the same headers as the program vdwflow
// (vdwflow.cu), with a reporter that raises instead of printing.
#include "kernels/vdwflow_lean.cuh"
#include "lean_state.cuh"
#include "reporters.h"

#include <cstdio>
#include <string>

#include "device_errors.h"

static std::string device_message;

const std::string &last_device_error()
{
    return device_message;
}

void report_status(cudaError_t status, int line)
{
    if (status == cudaSuccess) return;
    char text[256];
    std::snprintf(text, sizeof text, "%s (the lean solver's device state, line %d)",
                  cudaGetErrorString(status), line);
    device_message = text;
    note_failure(run_failure::device);
    end_run(1);
}
