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

// Three dimensions (D3Q19): the upwind step reads and writes the nineteen
// distributions, the density and the pressure difference, 21 planes each:
// 42 doubles, 336 bytes per node and step. The Lax-Wendroff step reads the
// Laplacian and the three momentum components too (25) and writes the
// momentum (24); its Laplacian pass 2: 51 doubles, 408 bytes.
constexpr int kUpwind3BytesPerNode = (21 + 21) * 8;
constexpr int kLaxWendroff3BytesPerNode = (25 + 24 + 2) * 8;
static_assert(kUpwind3BytesPerNode == 336 && kLaxWendroff3BytesPerNode == 408,
              "the counts above");

}  // namespace lean
