// vdwflow's initial lattice.
#include "initial_state.h"

#include <cmath>
#include <cstddef>

#include "device_mirror.h"
#include "run_config.h"
#include "setup.h"
#include "startup.h"

namespace {

// Density of node (ix, iy) in a slab, drop or bubble: the coexisting
// densities joined by the tanh profile of the equilibrium interface, so that
// the shape starts close to rest instead of ringing.
double shape_density(int ix, int iy)
{
    const lean_setup &s = hsetup;
    return s.init_vapour + (s.init_liquid - s.init_vapour) * liquid_fraction(ix, iy);
}

}  // namespace

void init_lean_lattice()
{
    if (hsetup.init == init_kind::noise) {
        init_lattice();  // today's start, drawn for every node
    } else {
        init_velocity_set();
        for (int iy = 0; iy < hnodes_y; iy++)
            for (int ix = 0; ix < hnodes_x; ix++) {
                const int p = iy * hnodes_x + ix;
                const double rho = hsetup.init == init_kind::file
                                       ? hinit_density[static_cast<std::size_t>(p)]
                                       : shape_density(ix, iy);
                // At rest every equilibrium factor is 1: f_l = rho w_l.
                hgf[hkn * hnodes + p] = rho;
                for (int l = 0; l < hnvelocities; l++)
                    hgf[l * hnodes + p] = rho * hcweight[l];
            }
    }
    if (!hsolid_nodes.empty())
        for (int p = 0; p < hnodes; p++)
            if (hsolid_nodes[static_cast<std::size_t>(p)])
                for (int slot = 0; slot <= hkn; slot++) hgf[slot * hnodes + p] = 0.0;
}

void set_initial_velocity(const double *ux, const double *uy)
{
    for (int p = 0; p < hnodes; p++) {
        if (!hsolid_nodes.empty() && hsolid_nodes[static_cast<std::size_t>(p)]) continue;
        const double rho = hgf[hkn * hnodes + p];
        const double u2 = ux[p] * ux[p] + uy[p] * uy[p];
        for (int l = 0; l < hnvelocities; l++) {
            const double cu = hcspeed_x[l] * ux[p] + hcspeed_y[l] * uy[p];
            hgf[l * hnodes + p] =
                hcweight[l] * rho * (1.0 + cu / hchic2 + cu * cu / (2.0 * hchic2 * hchic2) -
                                     u2 / (2.0 * hchic2));
        }
    }
}
