// Kernels of the matrix product benchmarks: Pd = Md x Nd for square,
// row-major matrices of width WIDTH, one thread per element of Pd, launched as
// blocks of TILE_WIDTH x TILE_WIDTH threads. Every form adds the terms in the
// order k = 0 .. WIDTH - 1 in single precision, so all give the same bits.
#pragma once

#include "launch.h"

constexpr int TILE_WIDTH = 8;

// The running value lives in global memory: Pd is written after every term.
namespace global_accumulator {
__global__ void MatrixMul(float *Md, float *Nd, float *Pd, int WIDTH)
{
    const int Row = blockIdx.y * TILE_WIDTH + threadIdx.y;
    const int Col = blockIdx.x * TILE_WIDTH + threadIdx.x;
    if (WIDTH <= 0) return;
    float *const element = &Pd[Row * WIDTH + Col];
    *element = 0.0f + Md[Row * WIDTH] * Nd[Col];
    for (int k = 1; k < WIDTH; ++k) *element += Md[Row * WIDTH + k] * Nd[k * WIDTH + Col];
}
}  // namespace global_accumulator

// The running value lives in a register: Pd is written once.
namespace register_accumulator {
__global__ void MatrixMul(float *Md, float *Nd, float *Pd, int WIDTH)
{
    const int Row = blockIdx.y * TILE_WIDTH + threadIdx.y;
    const int Col = blockIdx.x * TILE_WIDTH + threadIdx.x;
    float Pvalue = 0.0f;
    for (int k = 0; k < WIDTH; ++k) Pvalue += Md[Row * WIDTH + k] * Nd[k * WIDTH + Col];
    Pd[Row * WIDTH + Col] = Pvalue;
}
}  // namespace register_accumulator

// Tiled: the block stages TILE_WIDTH x TILE_WIDTH tiles of both factors in
// shared memory, so each element read from global memory serves TILE_WIDTH
// threads. WIDTH must be a multiple of TILE_WIDTH; a remainder is dropped.
__global__ void MatrixMulSh(float *Md, float *Nd, float *Pd, int WIDTH)
{
    __shared__ float Mds[TILE_WIDTH][TILE_WIDTH];
    __shared__ float Nds[TILE_WIDTH][TILE_WIDTH];
    const int tx = threadIdx.x;
    const int ty = threadIdx.y;
    const int Row = blockIdx.y * TILE_WIDTH + ty;
    const int Col = blockIdx.x * TILE_WIDTH + tx;
    float Pvalue = 0.0f;
    for (int m = 0; m < WIDTH / TILE_WIDTH; ++m) {
        Mds[ty][tx] = Md[Row * WIDTH + m * TILE_WIDTH + tx];
        Nds[ty][tx] = Nd[(m * TILE_WIDTH + ty) * WIDTH + Col];
        __syncthreads();  // both tiles complete
        UNROLL_FULLY
        for (int k = 0; k < TILE_WIDTH; ++k) Pvalue += Mds[ty][k] * Nds[k][tx];
        __syncthreads();  // nobody still reads the tiles the next round overwrites
    }
    Pd[Row * WIDTH + Col] = Pvalue;
}
