// vdwflow's initial lattice: the noisy start of every solver program, or a
// slab, a drop, a bubble or a density from a file, at rest, every
// distribution at its equilibrium; solid nodes empty.
#pragma once

#include <vector>

#include "setup.h"

namespace lean {

// Planes of a state on the host, each c.nodes values (x fastest): the nine
// distributions, then the density a snapshot shows.
constexpr int kStatePlanes = 10;
constexpr int kDensityPlane = 9;

// The initial state of the configuration: its distributions and density.
// The noisy start draws what drand48 draws in a fresh process (glibc: from
// X = 0), node by node in row order, without touching drand48's own state.
std::vector<double> initial_state(const configuration &c);

// Sets every fluid node's distributions to the equilibrium of its density
// moving with the velocity (ux, uy), c.nodes values each, in solver units:
//     f_l = w_l n (1 + c_l.u / cs^2 + (c_l.u)^2 / (2 cs^4) - u^2 / (2 cs^2)).
// Solid nodes stay empty.
void set_initial_velocity(const configuration &c, std::vector<double> &state, const double *ux,
                          const double *uy);

}  // namespace lean
