// A run's configuration: the value of every key of its parameter file (read
// and checked with the key table), what the solver derives from them, and
// the user files they name, all checked before anything is written.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "keys.h"

struct parameter_table;

namespace lean {

// Halo width of the padded planes: the reach of the force stencils.
constexpr int kHalo = 2;

struct configuration {
    std::string path;  // the parameter file, as the messages name it
    settings keys;

    // What follows from the twelve keys, by the other solver programs'
    // formulas (derive_quantities).
    int nodes = 0, lnodes = 0, lnodes_x = 0, lnodes_y = 0;
    double delta_space = 0.0, two_delta_space = 0.0, delta_space_three_three = 0.0;
    double tcritical = 0.0, tfluid = 0.0, chic2 = 0.0, bbspeed = 0.0;
    double twochic2 = 0.0, twochi2c4 = 0.0, dtimetemp = 0.0;
    // The velocity set (rest, +x, +y, -x, -y, then the diagonals (+,+),
    // (-,+), (-,-), (+,-)) with its weights, and the Courant number c dt / h.
    double cx[9] = {}, cy[9] = {}, weight[9] = {};
    double cfl = 0.0;

    std::vector<unsigned char> solid;  // 1 solid, 0 fluid, a value a node; empty: none
    std::vector<double> init_density;  // of -hinit_file; empty without it, and when resuming

    // The label of the last snapshot: last_iter + ncycles * niter_cycle.
    int last_step() const;
    bool is_solid(std::size_t node) const { return !solid.empty() && solid[node] != 0; }
    // Nodes of the lattice, nodes_x * nodes_y * nodes_z, and its dimensions (2 or 3).
    std::size_t node_count() const
    {
        return static_cast<std::size_t>(keys.nodes_x) * static_cast<std::size_t>(keys.nodes_y) *
               static_cast<std::size_t>(keys.nodes_z);
    }
    int dimensions() const { return keys.three_dimensional() ? 3 : 2; }
    // Distributions of a node: 9 (D2Q9) or 19 (D3Q19).
    int velocities() const { return keys.three_dimensional() ? 19 : 9; }
};

// The configuration of the parameters `table` read from `path`: the twelve
// keys as every solver program reads them and checks them, then every other
// key: a key vdwflow does not know (named with the one it likely meant), a
// word that is not one of a key's, a number that is not finite or out of its
// range, a shape that does not fit, a file that is missing or of the wrong
// shape, a key that has no effect with the others: each throws the run_error
// of one line naming the parameter file, the key, the value and why. A
// resumed run (`resuming`) takes its state from the checkpoint and reads no
// -hinit_file.
// `solid`, where it has values, is a mask of solid nodes handed over
// instead of -hsolid_file (the Python package's array; non-zero solid),
// checked as the file's.
struct mask_view {
    const unsigned char *values = nullptr;
    std::vector<std::size_t> shape;
};
configuration read_configuration(const parameter_table &table, const char *path, bool resuming,
                                 const mask_view &solid = {});

// The velocity set of the twelve keys (init_base_vectors), as read_configuration sets it.
void set_velocity_set(configuration &c);

// Liquid fraction of node (ix, iy, iz) in the initial state of a slab, drop
// or bubble (with a pool, if one is given): 0 vapour, 1 liquid, joined by
// the tanh profile of width init_width. A pool lies below a flat surface
// across y, in three dimensions as in two.
double liquid_fraction(const configuration &c, int ix, int iy, int iz = 0);

// Distance of node (ix, iy, iz) from the initial shape's centre, in nodes:
// along x for a slab, else in the plane (the space, in three dimensions); in
// a periodic direction to the nearest image of the centre.
double shape_distance(const configuration &c, int ix, int iy, int iz = 0);

}  // namespace lean
