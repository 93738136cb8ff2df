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
        x_ = (kA * x_ + kC) & kMask;
        return static_cast<double>(x_) / 281474976710656.0;  // 2^48
    }

    // The generator `count` draws on: X' = A_k X + C_k, the step's affine
    // map composed with itself k times (by squaring).
    void skip(std::uint64_t count)
    {
        std::uint64_t a = kA, c = kC, a_k = 1, c_k = 0;
        for (; count > 0; count >>= 1) {
            if (count & 1) {
                a_k = (a * a_k) & kMask;
                c_k = (a * c_k + c) & kMask;
            }
            c = ((a + 1) * c) & kMask;
            a = (a * a) & kMask;
        }
        x_ = (a_k * x_ + c_k) & kMask;
    }

private:
    static constexpr std::uint64_t kA = 0x5DEECE66Dull, kC = 0xBull;
    static constexpr std::uint64_t kMask = (std::uint64_t{1} << 48) - 1;
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

std::vector<double> initial_state(const configuration &c, const block &b)
{
    const std::size_t nodes = b.node_count();
    const int q = c.velocities();
    std::vector<double> state(static_cast<std::size_t>(q + 1) * nodes, 0.0);
    double *density = state.data() + static_cast<std::size_t>(q) * nodes;
    const settings &s = c.keys;
    // (node (x, y, z) of the lattice: its index there)
    const auto index = [&](int x, int y, int z) {
        return (static_cast<std::size_t>(z) * s.nodes_y + y) * s.nodes_x + x;
    };
    std::size_t p = 0;
    if (s.init == init_kind::noise) {
        // Uniform in [0.999, 1.001) times the mean density, as
        // randomUniformInterval draws it.
        const double lo = 0.999 * s.rho_zero, hi = 1.001 * s.rho_zero;
        rand48 random;
        std::size_t drawn = 0;
        for (int iz = b.origin[2]; iz < b.origin[2] + b.extent[2]; iz++)
            for (int iy = b.origin[1]; iy < b.origin[1] + b.extent[1]; iy++) {
                const std::size_t first = index(b.origin[0], iy, iz);
                random.skip(first - drawn);
                for (int ix = 0; ix < b.extent[0]; ix++, p++)
                    density[p] = random.next() * (hi - lo) + lo;
                drawn = first + b.extent[0];
            }
    } else {
        for (int iz = b.origin[2]; iz < b.origin[2] + b.extent[2]; iz++)
            for (int iy = b.origin[1]; iy < b.origin[1] + b.extent[1]; iy++)
                for (int ix = b.origin[0]; ix < b.origin[0] + b.extent[0]; ix++, p++)
                    density[p] = s.init == init_kind::file ? c.init_density[index(ix, iy, iz)]
                                                           : shape_density(c, ix, iy, iz);
    }
    // At rest every equilibrium factor is 1: f_l = n w_l.
    for (int l = 0; l < q; l++) {
        const double w = weight(c, l);
        for (std::size_t n = 0; n < nodes; n++) state[l * nodes + n] = density[n] * w;
    }
    if (!c.solid.empty()) {
        p = 0;
        for (int iz = b.origin[2]; iz < b.origin[2] + b.extent[2]; iz++)
            for (int iy = b.origin[1]; iy < b.origin[1] + b.extent[1]; iy++)
                for (int ix = b.origin[0]; ix < b.origin[0] + b.extent[0]; ix++, p++)
                    if (c.solid[index(ix, iy, iz)])
                        for (int plane = 0; plane <= q; plane++) state[plane * nodes + p] = 0.0;
    }
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
