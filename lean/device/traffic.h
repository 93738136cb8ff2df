// Memory traffic of vdwflow's step per node, counted as the other programs'
// step is (solver/kernels/step_traffic.h): what the step must move between
// the processor and its memory when the stencils' and the upwind pull's
// neighbours come from cache. The refresh of the periodic images and the
// ghost cells touch the border only and are left out.
#pragma once

namespace lean {

// The upwind step reads the old level (the nine distributions, the density
// and the pressure difference) and writes the new one, the same eleven
// values: 22 doubles, 176 bytes per node and step. A processor that
// allocates a cache line before writing to it also reads the 11 written
// values first: 264 bytes.
constexpr int kUpwindDoublesPerNode = 11 + 11;
constexpr int kUpwindBytesPerNode = kUpwindDoublesPerNode * 8;
static_assert(kUpwindBytesPerNode == 176, "the count above gives 176 bytes per node");

// The Lax-Wendroff step reads three planes more (the Laplacian of the
// density and the momentum, 14) and writes the momentum too (13); the pass
// after it reads the new density and writes its Laplacian (2): 29 doubles,
// 232 bytes per node and step.
constexpr int kLaxWendroffDoublesPerNode = 14 + 13 + 2;
constexpr int kLaxWendroffBytesPerNode = kLaxWendroffDoublesPerNode * 8;
static_assert(kLaxWendroffBytesPerNode == 232, "the count above gives 232 bytes per node");

}  // namespace lean
