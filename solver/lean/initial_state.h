// vdwflow's initial lattice: today's noisy start, or a slab, a drop, a bubble
// or a density from a file, at rest, every distribution at its equilibrium;
// solid nodes empty.
#pragma once

// The velocity set, then the node field array hgf (distributions and the
// density slot) for the setup read by read_lean_setup.
void init_lean_lattice();

// Sets every fluid node's distributions to the equilibrium of its density
// (slot hkn of hgf) moving with the velocity (ux, uy), nodes_x * nodes_y
// values each, x fastest, in solver units:
//     f_l = w_l n (1 + c_l.u / cs^2 + (c_l.u)^2 / (2 cs^4) - u^2 / (2 cs^2)).
// After init_lean_lattice; solid nodes stay empty.
void set_initial_velocity(const double *ux, const double *uy);
