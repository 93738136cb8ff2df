// Kernels of vdwflow_b: periodic_boundary and lb_time_step.
// Include after device_constants.cuh, in the program's one translation unit.
//
// This variant sums the moments in registers and serves the moments and the
// halo copy of each distribution from a single load.
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

        // Density and momentum in registers; each distribution goes to the
        // halo lattice as soon as it is loaded.
        double density = zero;
        double jx = zero;
        double jy = zero;
        for (int k = 0, s = 0, b = home; k < nvelocities; ++k, s += nodes, b += lnodes) {
            const double f = dgf_one[s + n];
            density += f;
            jx += f * cspeed_x[k];
            jy += f * cspeed_y[k];
            store_with_images(dgf_two, b, f, ix, iy, o.period_y, images);
        }
        dgf_one[o.kn + n] = density;
        dgf_one[o.kux + n] = sp_div(jx, density);
        dgf_one[o.kuy + n] = sp_div(jy, density);

        // The remaining slots: moments, pressures and the force slots.
        for (int v = nvelocities, s = nvelocities * nodes, b = home + nvelocities * lnodes;
             v < kfeq; ++v, s += nodes, b += lnodes) {
            const double value = dgf_one[s + n];
            // (tested per plane: skipping the tests here as well costs the
            // GPU code four registers more)
            store_with_images(dgf_two, b, value, ix, iy, o.period_y, true);
        }
    }
}

// Force, equilibria, upwind propagation and collision of every node: the
// kernel of vdwflow_a, operation for operation.
__global__ void lb_time_step(double *dgf_one, double *dgf_two, double *cspeed_x,
                             double *cspeed_y, double *cweight)
{
    lb_time_step_nodes(dgf_one, dgf_two, cspeed_x, cspeed_y, cweight);
}
