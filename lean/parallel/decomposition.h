// A lattice split over a Cartesian grid of processes: each process steps a
// block of nodes, padded by a halo that holds copies of its neighbours'
// nodes (and the ghosts behind the lattice's walls), so that every node steps
// from the same values as in one process, to the bit.
//
// A block is as wide as the lattice along every direction the grid does not
// split; along a split one the lattice's nodes are shared out evenly, the
// first blocks taking one node more where they do not divide.
#pragma once

#include <cstddef>
#include <string>

#include "setup.h"

namespace lean {

struct block {
    int nodes[3] = {0, 0, 1};   // the lattice's nodes along x, y, z
    int origin[3] = {0, 0, 0};  // the block's first node
    int extent[3] = {0, 0, 1};  // and its nodes
    int ranks[3] = {1, 1, 1};   // processes of the grid along each direction
    int coords[3] = {0, 0, 0};  // this process's place in it
    int halo = kHalo;           // cells of the halo on every side

    bool split(int d) const { return ranks[d] > 1; }
    bool whole() const { return ranks[0] * ranks[1] * ranks[2] == 1; }
    int processes() const { return ranks[0] * ranks[1] * ranks[2]; }
    std::size_t node_count() const
    {
        return static_cast<std::size_t>(extent[0]) * static_cast<std::size_t>(extent[1]) *
               static_cast<std::size_t>(extent[2]);
    }
    // Whether node (x, y, z) of the lattice is the block's.
    bool holds(int x, int y, int z) const
    {
        return x >= origin[0] && x < origin[0] + extent[0] && y >= origin[1] &&
               y < origin[1] + extent[1] && z >= origin[2] && z < origin[2] + extent[2];
    }
};

// The whole lattice of a run in one process.
block whole_lattice(const configuration &c);

// The halo of a split lattice: the force stencils reach two nodes; the
// ghosts of solid nodes take fluid densities up to three nodes away, and
// with the Lax-Wendroff scheme the Laplacians there, which need one more.
int split_halo(const configuration &c);

// The block at `coords` of a grid of `ranks` processes (ranks[2] 1 on a
// two-dimensional lattice).
block block_at(const configuration &c, const int ranks[3], const int coords[3]);

// The block of another process of the same grid, at `coords`.
block block_of(const block &b, const int coords[3]);

// The process grid of `processes` processes for the run: the counts its keys
// fix (-hprocesses_x, _y, _z; 0 leaves one to the program), the others
// chosen so that the halos exchanged are smallest. Returns "" with `ranks`
// set, or the reason no grid fits, for a message that names the parameter
// file.
std::string choose_grid(const configuration &c, int processes, int ranks[3]);

}  // namespace lean
