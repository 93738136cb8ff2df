// Solid walls and obstacles of vdwflow on its padded planes: which links of a
// node come out of a solid (the propagation reflects them), and the density
// a solid cell shows the force stencils of its fluid neighbours (the wetting
// condition).
//
// Walls lie halfway between the last fluid node and the first solid one:
// -hwalls x puts them at x = -1/2 and x = nodes_x - 1/2 (node coordinates),
// beyond the lattice, so every node stays fluid; -hsolid_file makes nodes
// solid inside it.
#pragma once

#include <vector>

namespace lean {

// Bits of a cell's link word: bit 0 the cell is solid; bit i (1 .. 8) the
// upwind cell of velocity i, the cell minus e_i, is solid, so distribution i
// enters from the wall: it is the node's own opposite distribution, turned
// back (the reflected path); bit 8 + i the cell minus 2 e_i is solid (the
// Lax-Wendroff scheme's differences reach two nodes).
constexpr unsigned kLinkSolid = 1u;

// Ghost densities: every solid cell within two cells of the fluid (the reach
// of the force stencils) takes a weighted mean of fluid densities plus a
// shift, n_g = sum_j w_j n(source_j) + shift, each step (the pressure
// difference there follows from it, lagged as in the fluid).
struct ghost_table {
    std::vector<int> cell;       // padded cell of each ghost
    std::vector<int> first;      // its sources: first[g] .. first[g + 1] - 1
    std::vector<int> source;     // padded home cells of fluid nodes
    std::vector<double> weight;  // their weights, summing to 1 per ghost
    std::vector<double> shift;   // multiples of s = h h_w / kappa, times s
    std::vector<int> layer;      // 1 next to the fluid, 2 one cell further, 0 in the
                                 // periodic images (of a direction without walls)
};

template <class Link>
struct boundary_geometry_of {
    std::vector<Link> links;  // one link word per padded cell
    ghost_table ghosts;
};
using boundary_geometry = boundary_geometry_of<unsigned>;
using boundary_geometry3 = boundary_geometry_of<unsigned long long>;

struct block;

// The geometry of the block `b` of a lattice (decomposition.h; the whole
// lattice in one process) on padded planes of `row` cells per row and
// `plane_cells` cells, the lattice's node (ix, iy) at cell (ix - ox + nw) +
// (iy - oy + nw) row (nw the block's halo, (ox, oy) its first node); walls at
// the x and/or y edges of the lattice, solid nodes from `solid_nodes`
// (nodes_x * nodes_y, x fastest; empty for none), the wetting shift s. The
// block of a split lattice lists the ghosts it owns: those among its nodes
// and behind the walls at its ends.
//
// Ghost rules (docs/physics.md derives them): behind a straight wall the
// mirror node across the wall, n(-1) = n(0) + s, n(-2) = n(1) + 3 s (the
// gradient -h_w / kappa imposed at the wall), the shifts of both walls
// added in a corner of the box; a solid node of the mask next to the fluid
// takes the lattice-weighted mean of its fluid neighbours plus s, one two
// cells away the mean of the fluid nodes mirrored through the solid layer,
// n(p + 3 e_i) (or n(p + 2 e_i) where that is solid), plus 3 s.
boundary_geometry build_boundaries(const block &b, int row, int plane_cells, bool walls_x,
                                   bool walls_y, const std::vector<unsigned char> &solid_nodes,
                                   double s);

// The same for a block of a three-dimensional lattice in a box of `row`
// cells per row, `slab` cells per layer and `box_cells` cells, with D3Q19's
// links (bit i (1 .. 18): the cell minus e_i is solid; bit 18 + i: the cell
// minus 2 e_i) and the same ghost rules (the means weighted 2 along the
// axes, 1 along the edges, as the set's weights 1/18 and 1/36).
boundary_geometry3 build_boundaries3(const block &b, int row, int slab, int box_cells,
                                     bool walls_x, bool walls_y, bool walls_z,
                                     const std::vector<unsigned char> &solid_nodes, double s);

}  // namespace lean
