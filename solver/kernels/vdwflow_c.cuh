// Kernels of vdwflow_c: periodic_boundary and lb_time_step.
// Include after device_constants.cuh, in the program's one translation unit.
//
// This variant keeps the density, the pressures and the moment sums in
// registers, loads every slot once for the halo copy, and forms its indices
// in 32-bit arithmetic through getGpos, getTix, getTiy and getLpos.
#pragma once

#include "../device_constants.cuh"
#include "sp_div.cuh"
#include "lattice_common.cuh"

// Global index of the calling thread.
__device__ inline int getGpos()
{
    return blockIdx.x * blockDim.x + threadIdx.x;
}

// Column of node pos.
__device__ inline int getTix(int pos)
{
    return pos % nodes_x;
}

// Row of node pos.
__device__ inline int getTiy(int pos)
{
    return pos / nodes_x;
}

// Home cell of node pos in a plane of the halo lattice.
__device__ inline int getLpos(int pos)
{
    return nw + getTix(pos) + (getTiy(pos) + nw) * lnodes_x;
}

// Equation of state, moments and halo copy of every node.
__global__ void periodic_boundary(double *dgf_one, double *dgf_two, double *cspeed_x,
                                  double *cspeed_y)
{
    const pb_offsets o = pb_make_offsets();

    const long long stride = node_stride();
    for (long long n = getGpos(); n < nodes; n += stride) {
        const int pos = static_cast<int>(n);
        const int ix = getTix(pos);
        const int iy = getTiy(pos);
        const int home = getLpos(pos);
        const bool images = has_images(ix, iy);

        // Van der Waals pressure from the density of the previous step:
        // p = 3 n T / (3 - n) - a Tc n^2, and its non-ideal part pid - p.
        const double rho = dgf_one[o.kn + n];
        const double pid = rho * tfluid;
        dgf_one[o.kpid + n] = pid;
        const double pwaals = sp_div(pid * three, three - rho) - ((tcritical * awaals) * rho) * rho;
        dgf_one[o.kpwaals + n] = pwaals;
        dgf_one[o.kdpress + n] = pid - pwaals;

        // Density and momentum in registers.
        double density = zero;
        double jx = zero;
        double jy = zero;
        for (int k = 0, s = 0; k < nvelocities; ++k, s += nodes) {
            const double f = dgf_one[s + n];
            density += f;
            jx += f * cspeed_x[k];
            jy += f * cspeed_y[k];
        }
        dgf_one[o.kn + n] = density;
        dgf_one[o.kux + n] = sp_div(jx, density);
        dgf_one[o.kuy + n] = sp_div(jy, density);

        // Every slot, loaded once, to its home cell and images.
        for (int v = 0, s = 0, b = home; v < kfeq; ++v, s += nodes, b += lnodes) {
            const double value = dgf_one[s + n];
            store_with_images(dgf_two, b, value, ix, iy, o.period_y, images);
        }
    }
}

// Force, equilibria, upwind propagation and collision of every node.
__global__ void lb_time_step(double *dgf_one, double *dgf_two, double *cspeed_x,
                             double *cspeed_y, double *cweight)
{
    const lb_offsets o = lb_make_offsets();
    const double *rho = dgf_two + o.kn;
    const double *dpress = dgf_two + o.kdpress;

    const long long stride = node_stride();
    for (long long n = getGpos(); n < nodes; n += stride) {
        const int l = getLpos(static_cast<int>(n));

        // Pressure gradient grouped by distance, each over 2h as soon as it
        // is complete; gradient of the Laplacian of the density over h^3/3.
        const double gx = eight * (axis_x(dpress, l, 1) + diag_x(dpress, l, 1)) -
                          (axis_x(dpress, l, 2) + diag_x(dpress, l, 2));
        const double gx_h = sp_div(gx, two_delta_space);
        const double gy = eight * (axis_y(dpress, l, 1) + diag_y(dpress, l, 1)) -
                          (axis_y(dpress, l, 2) + diag_y(dpress, l, 2));
        const double gy_h = sp_div(gy, two_delta_space);
        const double tx = diff_x(rho, l, 2) - two * diff_x(rho, l, 1);
        const double ty = diff_y(rho, l, 2) - two * diff_y(rho, l, 1);

        dgf_two[o.kforcex + l] = lb_force(gx_h, tx, rho[l]);
        dgf_two[o.kforcey + l] = lb_force(gy_h, ty, rho[l]);

        lb_relax_and_stream(dgf_one, dgf_two, cspeed_x, cspeed_y, cweight, o, n, l);
    }
}
