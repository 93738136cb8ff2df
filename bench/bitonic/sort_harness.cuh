// Host side of the sort benchmarks: sorts 512 values of the never-seeded rand()
// with the given kernel, times the launch, checks the order on the host and
// prints the verdict. No runtime status is examined (a refused launch is only
// named on standard error): when the device cannot sort, the array stays as
// it was and the check fails.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "bitonic_sort.cuh"
#include "launch.h"
#include "launch_status.h"

template <auto kernel>
int run_sort(const char *kernel_name)
{
    constexpr std::size_t bytes = SORT_SIZE * sizeof(int);
    int values[SORT_SIZE];
    for (unsigned int i = 0; i < SORT_SIZE; ++i) values[i] = std::rand();

    int *dvalues = nullptr;
    cudaMalloc((void **)&dvalues, bytes);
    cudaMemcpy(dvalues, values, bytes, cudaMemcpyHostToDevice);

    cudaEvent_t start = nullptr, stop = nullptr;
    cudaEventCreate(&start);
    cudaEventCreate(&stop);
    cudaEventRecord(start, 0);
    forget_last_error();
    launch<kernel>(dim3(1, 1, 1), dim3(SORT_SIZE, 1, 1), bytes, 0, dvalues);
    note_failed_launch(kernel_name);
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    float elapsed_ms = 0.0f;  // stays 0 when the events fail
    cudaEventElapsedTime(&elapsed_ms, start, stop);
    std::printf("\nTotal Time = %f ms\n", static_cast<double>(elapsed_ms));

    cudaMemcpy(values, dvalues, bytes, cudaMemcpyDeviceToHost);
    cudaFree(dvalues);

    bool passed = true;
    for (unsigned int i = 1; i < SORT_SIZE; ++i)
        if (values[i - 1] > values[i]) passed = false;
    std::printf("Test %s\n", passed ? "PASSED" : "FAILED");
    return 0;
}
