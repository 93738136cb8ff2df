// The solver's device constant set and its upload.
//
// A kernel sees a __constant__ variable only in the translation unit that
// defines it, so this file is included by exactly one translation unit of
// each program: the one that also holds the kernels.
#pragma once

#include <cuda_runtime.h>

#include "run_config.h"

__constant__ double awaals = 1.125;  // van der Waals attraction a
__constant__ int nvelocities;
__constant__ int kn;
__constant__ int kux;
__constant__ int kuy;
__constant__ int kpid;
__constant__ int kpwaals;
__constant__ int kdpress;
__constant__ int kforcex;
__constant__ int kforcey;
__constant__ int kfeq;
__constant__ int nodes_x;
__constant__ int nodes_y;
__constant__ int nodes;
__constant__ int lnodes;
__constant__ int lnodes_x;
__constant__ int lnodes_y;
__constant__ int nvar;
__constant__ int nw;
__constant__ int nbasevelocities;
__constant__ int niter;
__constant__ int niter_cycle;
__constant__ int ncycles;
__constant__ int last_iter;
__constant__ double zero;
__constant__ double one;
__constant__ double two;
__constant__ double three;
__constant__ double four;
__constant__ double five;
__constant__ double eight;
__constant__ double delta_time;
__constant__ double dtimetemp;
__constant__ double cfl;
__constant__ double delta_space;
__constant__ double two_delta_space;
__constant__ double delta_space_three_three;
__constant__ double chic2;
__constant__ double twochic2;
__constant__ double twochi2c4;
__constant__ double tau;
__constant__ double kappa;
__constant__ double tfluid;
__constant__ double tcritical;
__constant__ double waxis = 0.1111111111111111;   // axis neighbours of the stencils, 1/9
__constant__ double wdiag = 0.027777777777777776; // diagonal neighbours, 1/36

// Uploads the 43 host values, once, before the first time step. The status of
// the uploads is not examined: a failed upload leaves that constant unset.
int copy_constants_to_device()
{
    cudaMemcpyToSymbol(zero, &hzero, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(one, &hone, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(two, &htwo, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(three, &hthree, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(four, &hfour, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(five, &hfive, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(eight, &height, sizeof(double), 0, cudaMemcpyHostToDevice);

    cudaMemcpyToSymbol(nodes_x, &hnodes_x, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(nodes_y, &hnodes_y, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(nodes, &hnodes, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(lnodes_x, &hlnodes_x, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(lnodes_y, &hlnodes_y, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(lnodes, &hlnodes, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(nw, &hnw, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(nvar, &hnvar, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(nbasevelocities, &hnbasevelocities, sizeof(int), 0,
                       cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(nvelocities, &hnvelocities, sizeof(int), 0, cudaMemcpyHostToDevice);

    cudaMemcpyToSymbol(kn, &hkn, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kux, &hkux, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kuy, &hkuy, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kpid, &hkpid, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kpwaals, &hkpwaals, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kdpress, &hkdpress, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kforcex, &hkforcex, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kforcey, &hkforcey, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kfeq, &hkfeq, sizeof(int), 0, cudaMemcpyHostToDevice);

    cudaMemcpyToSymbol(niter, &hniter, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(niter_cycle, &hniter_cycle, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(ncycles, &hncycles, sizeof(int), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(last_iter, &hlast_iter, sizeof(int), 0, cudaMemcpyHostToDevice);

    cudaMemcpyToSymbol(delta_time, &hdelta_time, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(dtimetemp, &hdtimetemp, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(delta_space, &hdelta_space, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(two_delta_space, &htwo_delta_space, sizeof(double), 0,
                       cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(delta_space_three_three, &hdelta_space_three_three, sizeof(double), 0,
                       cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(cfl, &hcfl, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(chic2, &hchic2, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(twochic2, &htwochic2, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(twochi2c4, &htwochi2c4, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(tau, &htau, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(kappa, &hkappa, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(tfluid, &htfluid, sizeof(double), 0, cudaMemcpyHostToDevice);
    cudaMemcpyToSymbol(tcritical, &htcritical, sizeof(double), 0, cudaMemcpyHostToDevice);
    return 0;
}
