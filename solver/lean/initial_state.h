// vdwflow's initial lattice: today's noisy start, or a slab, a drop, a bubble
// or a density from a file, at rest, every distribution at its equilibrium;
// solid nodes empty.
#pragma once

// The velocity set, then the node field array hgf (distributions and the
// density slot) for the setup read by read_lean_setup.
void init_lean_lattice();
