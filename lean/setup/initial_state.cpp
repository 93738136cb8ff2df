// vdwflow's initial lattice.
#include "initial_state.h"

#include <cstddef>
#include <cstdint>

#include "velocity_set.h"

namespace lean {

namespace {

// The generator of drand48 (X' = a X + c mod 2^48), as a value of its own.
class rand48 {
public:
    double next()
    {
        x_ = (0x5DEECE66Dull * x_ + 0xBull) & ((std::uint64_t{1} << 48) - 1);
        return static_cast<double>(x_) / 281474976710656.0;  // 2^48
    }

private:
    std::uint64_t x_ = 0;
};

// Density of node (ix, iy, iz) in a slab, drop or bubble: the coexisting
// densities joined by the tanh profile of the equilibrium interface, so that
// the shape starts close to rest instead of ringing.
double shape_density(const configuration &c, int ix, int iy, int iz)
{
    const settings &s = c.keys;
    return s.init_vapour + (s.init_liquid - s.init_vapour) * liquid_fraction(c, ix, iy, iz);
}

// Weight and steps of velocity l of the configuration's set.
double weight(const configuration &c, int l)
{
    return c.dimensions() == 3 ? d3q19::weight(l) : c.weight[l];
}

}  // namespace

std::vector<double> initial_state(const configuration &c)
{
    const std::size_t nodes = c.node_count();
    const int q = c.velocities();
    std::vector<double> state(static_cast<std::size_t>(q + 1) * nodes, 0.0);
    double *density = state.data() + static_cast<std::size_t>(q) * nodes;
    const settings &s = c.keys;
    if (s.init == init_kind::noise) {
        // Uniform in [0.999, 1.001) times the mean density, as
        // randomUniformInterval draws it.
        const double lo = 0.999 * s.rho_zero, hi = 1.001 * s.rho_zero;
        rand48 random;
        for (std::size_t p = 0; p < nodes; p++) density[p] = random.next() * (hi - lo) + lo;
    } else {
        std::size_t p = 0;
        for (int iz = 0; iz < s.nodes_z; iz++)
            for (int iy = 0; iy < s.nodes_y; iy++)
                for (int ix = 0; ix < s.nodes_x; ix++, p++)
                    density[p] = s.init == init_kind::file ? c.init_density[p]
                                                           : shape_density(c, ix, iy, iz);
    }
    // At rest every equilibrium factor is 1: f_l = n w_l.
    for (int l = 0; l < q; l++) {
        const double w = weight(c, l);
        for (std::size_t p = 0; p < nodes; p++) state[l * nodes + p] = density[p] * w;
    }
    if (!c.solid.empty())
        for (std::size_t p = 0; p < nodes; p++)
            if (c.solid[p])
                for (int plane = 0; plane <= q; plane++) state[plane * nodes + p] = 0.0;
    return state;
}

void set_initial_velocity(const configuration &c, std::vector<double> &state, const double *ux,
                          const double *uy, const double *uz)
{
    const std::size_t nodes = c.node_count();
    const int q = c.velocities();
    const bool three = c.dimensions() == 3;
    const double *density = state.data() + static_cast<std::size_t>(q) * nodes;
    for (std::size_t p = 0; p < nodes; p++) {
        if (c.is_solid(p)) continue;
        const double rho = density[p];
        const double vz = three ? uz[p] : 0.0;
        const double u2 = ux[p] * ux[p] + uy[p] * uy[p] + (three ? vz * vz : 0.0);
        for (int l = 0; l < q; l++) {
            const double cu = three ? c.bbspeed * (d3q19::ex(l) * ux[p] + d3q19::ey(l) * uy[p] +
                                                   d3q19::ez(l) * vz)
                                    : c.cx[l] * ux[p] + c.cy[l] * uy[p];
            state[l * nodes + p] =
                weight(c, l) * rho * (1.0 + cu / c.chic2 + cu * cu / (2.0 * c.chic2 * c.chic2) -
                                      u2 / (2.0 * c.chic2));
        }
    }
}

}  // namespace lean
