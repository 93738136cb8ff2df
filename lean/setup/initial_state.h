// vdwflow's initial lattice: the noisy start of every solver program, or a
// slab, a drop, a bubble or a density from a file, at rest, every
// distribution at its equilibrium; solid nodes empty.
#pragma once

#include <vector>

#include "decomposition.h"
#include "setup.h"

namespace lean {

// Planes of a state on the host, each c.node_count() values (x fastest,
// then y, then z): the distributions (9 of D2Q9, or 19 of D3Q19), then the
// density a snapshot shows.
constexpr int kStatePlanes = 10;  // (two dimensions)
constexpr int kDensityPlane = 9;
inline int state_planes(const configuration &c) { return c.velocities() + 1; }
inline int density_plane(const configuration &c) { return c.velocities(); }

// The initial state of the configuration: its distributions and density,
// of the nodes of block `b` (the whole lattice in one process; x fastest,
// then y, then z). The noisy start draws what drand48 draws in a fresh
// process (glibc: from X = 0), node by node in the lattice's row order (a
// block's rows from where the sequence stands at their first node), without
// touching drand48's own state.
std::vector<double> initial_state(const configuration &c, const block &b);
inline std::vector<double> initial_state(const configuration &c)
{
    return initial_state(c, whole_lattice(c));
}

// Sets every fluid node's distributions to the equilibrium of its density
// moving with the velocity (ux, uy[, uz]), c.node_count() values each, in
// solver units:
//     f_l = w_l n (1 + c_l.u / cs^2 + (c_l.u)^2 / (2 cs^4) - u^2 / (2 cs^2)).
// uz is null in two dimensions. Solid nodes stay empty.
void set_initial_velocity(const configuration &c, std::vector<double> &state, const double *ux,
                          const double *uy, const double *uz);

}  // namespace lean
