// Memory traffic of one time step (periodic_boundary + lb_time_step), per
// node: the bytes that the two kernels must move between the processor and
// its memory when every value a thread reads twice, or reads right after
// writing it, comes from cache, and every cell of the stencils and of the
// upwind pull is fetched once for all the nodes that use it. The halo images
// (a border two cells wide, a fraction 8 / side of the cells) are left out.
// The count is the same for the three variants: what variant a re-reads and
// re-writes in place stays in cache.
//
// periodic_boundary, node field array and halo lattice, in doubles:
//   reads   slots 0 .. 8 (distributions), kn (density of the last step),
//           kforcex, kforcey (copied to the halo as they stand)        12
//   writes  slots kpid, kpwaals, kdpress, kn, kux, kuy                   6
//   writes  planes 0 .. kfeq - 1 at the home cell                       17
// lb_time_step:
//   reads   planes 0 .. 8 (home and upwind cells), kn and kdpress
//           (stencils), kux, kuy                                        13
//   writes  planes kforcex, kforcey (the force) and kfeq .. kfeq + 8
//           (the equilibria) at the home cell, then reads them back     11
//   writes  slots 0 .. 8 (propagated, then collided: one write to memory) 9
// Together 35 + 33 = 68 doubles, 544 bytes per node and step.
//
// A bandwidth roofline divides this by what a large device-to-device copy
// achieves, counting the copy's bytes twice (read and write): the fraction
// of the memory system's speed that the step reaches.
#pragma once

constexpr int kStepDoublesPerNode = 12 + 6 + 17 + 13 + 11 + 9;
constexpr int kStepBytesPerNode = kStepDoublesPerNode * 8;
static_assert(kStepBytesPerNode == 544, "the derivation above gives 544 bytes per node");
