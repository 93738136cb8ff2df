// vdwflow's initial lattice.
#include "initial_state.h"

#include <cstddef>
#include <cstdint>

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

// Density of node (ix, iy) in a slab, drop or bubble: the coexisting
// densities joined by the tanh profile of the equilibrium interface, so that
// the shape starts close to rest instead of ringing.
double shape_density(const configuration &c, int ix, int iy)
{
    const settings &s = c.keys;
    return s.init_vapour + (s.init_liquid - s.init_vapour) * liquid_fraction(c, ix, iy);
}

}  // namespace

std::vector<double> initial_state(const configuration &c)
{
    const std::size_t nodes = static_cast<std::size_t>(c.nodes);
    std::vector<double> state(kStatePlanes * nodes, 0.0);
    double *density = state.data() + kDensityPlane * nodes;
    const settings &s = c.keys;
    if (s.init == init_kind::noise) {
        // Uniform in [0.999, 1.001) times the mean density, as
        // randomUniformInterval draws it.
        const double lo = 0.999 * s.rho_zero, hi = 1.001 * s.rho_zero;
        rand48 random;
        for (std::size_t p = 0; p < nodes; p++) density[p] = random.next() * (hi - lo) + lo;
    } else {
        for (int iy = 0; iy < s.nodes_y; iy++)
            for (int ix = 0; ix < s.nodes_x; ix++) {
                const std::size_t p = static_cast<std::size_t>(iy) * s.nodes_x + ix;
                density[p] = s.init == init_kind::file ? c.init_density[p] : shape_density(c, ix, iy);
            }
    }
    // At rest every equilibrium factor is 1: f_l = n w_l.
    for (std::size_t p = 0; p < nodes; p++)
        for (int l = 0; l < 9; l++) state[l * nodes + p] = density[p] * c.weight[l];
    if (!c.solid.empty())
        for (std::size_t p = 0; p < nodes; p++)
            if (c.solid[p])
                for (int plane = 0; plane < kStatePlanes; plane++) state[plane * nodes + p] = 0.0;
    return state;
}

void set_initial_velocity(const configuration &c, std::vector<double> &state, const double *ux,
                          const double *uy)
{
    const std::size_t nodes = static_cast<std::size_t>(c.nodes);
    const double *density = state.data() + kDensityPlane * nodes;
    for (std::size_t p = 0; p < nodes; p++) {
        if (c.is_solid(p)) continue;
        const double rho = density[p];
        const double u2 = ux[p] * ux[p] + uy[p] * uy[p];
        for (int l = 0; l < 9; l++) {
            const double cu = c.cx[l] * ux[p] + c.cy[l] * uy[p];
            state[l * nodes + p] =
                c.weight[l] * rho * (1.0 + cu / c.chic2 + cu * cu / (2.0 * c.chic2 * c.chic2) -
                                     u2 / (2.0 * c.chic2));
        }
    }
}

}  // namespace lean
