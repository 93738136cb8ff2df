// Host side of the matrix product benchmarks: multiplies two 64 x 64 matrices
// (every element of M 10.0, of N 2.0) with the given kernel and prints the
// time of the launch. No runtime status is examined (a refused launch is only
// named on standard error); the product is copied back but neither printed
// nor checked.
#pragma once

#include <cstdio>

#include "launch.h"
#include "launch_status.h"
#include "matrix_mul.cuh"

constexpr int kMatrixWidth = 64;

template <auto kernel>
int run_matrix_product(const char *kernel_name)
{
    constexpr int elements = kMatrixWidth * kMatrixWidth;
    constexpr std::size_t bytes = elements * sizeof(float);
    float M[elements], N[elements], P[elements];
    for (int i = 0; i < kMatrixWidth; ++i)
        for (int j = 0; j < kMatrixWidth; ++j) {
            M[i * kMatrixWidth + j] = 10.0f;
            N[i * kMatrixWidth + j] = 2.0f;
        }

    float *Md = nullptr, *Nd = nullptr, *Pd = nullptr;
    cudaMalloc((void **)&Md, bytes);
    cudaMalloc((void **)&Nd, bytes);
    cudaMemcpy(Md, M, bytes, cudaMemcpyHostToDevice);
    cudaMemcpy(Nd, N, bytes, cudaMemcpyHostToDevice);
    cudaMalloc((void **)&Pd, bytes);

    const dim3 dimGrid(kMatrixWidth / TILE_WIDTH, kMatrixWidth / TILE_WIDTH);
    const dim3 dimBlock(TILE_WIDTH, TILE_WIDTH);

    cudaEvent_t start = nullptr, stop = nullptr;
    cudaEventCreate(&start);
    cudaEventCreate(&stop);
    cudaEventRecord(start, 0);
    forget_last_error();
    launch<kernel>(dimGrid, dimBlock, 0, 0, Md, Nd, Pd, kMatrixWidth);
    note_failed_launch(kernel_name);
    cudaEventRecord(stop, 0);
    cudaEventSynchronize(stop);
    float elapsed_ms = 0.0f;  // stays 0 when the events fail
    cudaEventElapsedTime(&elapsed_ms, start, stop);
    std::printf("\nTotal Time = %f ms\n", static_cast<double>(elapsed_ms));

    cudaMemcpy(P, Pd, bytes, cudaMemcpyDeviceToHost);
    return 0;
}
