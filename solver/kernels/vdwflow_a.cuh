// Kernels of vdwflow_a: periodic_boundary and lb_time_step.
// Include after device_constants.cuh, in the program's one translation unit.
//
// This variant keeps its intermediate values in global memory: the moment
// sums accumulate in the node field array, and the halo images are copied
// from the home cell just written.
#pragma once

#include "../device_constants.cuh"
#include "sp_div.cuh"
#include "lattice_common.cuh"

// Equation of state, moments and halo copy of every node.
__global__ void periodic_boundary(double *dgf_one, double *dgf_two, double *cspeed_x,
                                  double *cspeed_y)
{
    const pb_offsets o = pb_make_offsets();

    const long long stride = node_stride();
    for (long long n = first_node(); n < nodes; n += stride) {
        const int ix = static_cast<int>(n % nodes_x);
        const int iy = static_cast<int>(n / nodes_x);
        const int home = home_cell(ix, iy);
        const bool images = has_images(ix, iy);

        pb_pressures_in_slots(dgf_one, o, n);

        // Density and momentum, summed in place.
        dgf_one[o.kn + n] = zero;
        dgf_one[o.kux + n] = zero;
        dgf_one[o.kuy + n] = zero;
        for (int k = 0, s = 0; k < nvelocities; ++k, s += nodes) {
            dgf_one[o.kn + n] += dgf_one[s + n];
            dgf_one[o.kux + n] += dgf_one[s + n] * cspeed_x[k];
            dgf_one[o.kuy + n] += dgf_one[s + n] * cspeed_y[k];
        }
        dgf_one[o.kux + n] = sp_div(dgf_one[o.kux + n], dgf_one[o.kn + n]);
        dgf_one[o.kuy + n] = sp_div(dgf_one[o.kuy + n], dgf_one[o.kn + n]);

        // Every slot to its home cell, then the home cell to its images.
        for (int v = 0, s = 0, b = home; v < kfeq; ++v, s += nodes, b += lnodes) {
            dgf_two[b] = dgf_one[s + n];
            copy_home_to_images(dgf_two, b, ix, iy, o.period_y, images);
        }
    }
}

// Force, equilibria, upwind propagation and collision of every node.
__global__ void lb_time_step(double *dgf_one, double *dgf_two, double *cspeed_x,
                             double *cspeed_y, double *cweight)
{
    lb_time_step_nodes(dgf_one, dgf_two, cspeed_x, cspeed_y, cweight);
}
