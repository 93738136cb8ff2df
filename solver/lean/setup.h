// vdwflow's own keys of the parameter file, beyond the twelve that every
// solver program reads: the initial state, solid walls and obstacles with
// their wetting, gravity, the snapshot format. Without them vdwflow runs as
// the other programs do, bit for bit.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class init_kind { noise, slab, drop, bubble, file };
enum class walls_kind { none, x, y, xy };
enum class output_kind { classic, vti, both };
enum class scheme_kind { upwind, lax_wendroff };

struct lean_setup {
    init_kind init = init_kind::noise;
    double init_x = 0.0, init_y = 0.0;  // centre, in node coordinates (node ix at x = ix)
    double init_radius = 0.0;           // nodes: radius, or a slab's half thickness
    double init_liquid = 0.0, init_vapour = 0.0;
    double init_width = 0.0;            // nodes: W of the tanh profile
    bool init_pool = false;             // a liquid pool below a flat surface ...
    double init_pool_level = 0.0;       // ... at this height (node coordinates)
    std::string init_file;

    walls_kind walls = walls_kind::none;
    double wall_wetting = 0.0;          // h_w: 0 neutral, > 0 the wall attracts the liquid
    std::string solid_file;

    double gravity_x = 0.0, gravity_y = 0.0;  // acceleration, solver units
    bool gravity_reference_mean = false;      // -hgravity_reference mean
    double gravity_reference = 0.0;           // density whose weight is not felt

    output_kind output = output_kind::classic;
    scheme_kind scheme = scheme_kind::upwind;

    bool has_solid() const { return walls != walls_kind::none || !solid_file.empty(); }
    bool has_gravity() const { return gravity_x != 0.0 || gravity_y != 0.0; }
    bool walls_x() const { return walls == walls_kind::x || walls == walls_kind::xy; }
    bool walls_y() const { return walls == walls_kind::y || walls == walls_kind::xy; }
};

extern lean_setup hsetup;
// Loaded by read_lean_setup: the solid nodes of -hsolid_file (1 solid, 0
// fluid; empty without the key) and the density of -hinit_file (empty
// without it, and when resuming), both nodes_x * nodes_y values, x fastest.
extern std::vector<unsigned char> hsolid_nodes;
extern std::vector<double> hinit_density;

// The parameter file's keys as vdwflow reads them: after the run
// configuration is read and checked, every key is one vdwflow knows, and
// vdwflow's own keys hold values that make sense for the lattice. A key it
// does not know, a word that is not one of a key's values, a number that is
// not a finite number or out of its range, a shape that does not fit, a key
// that does not apply to the chosen setup: one line on standard error naming
// the parameter file, the key, the value and why; status 1; nothing written.
// A resumed run (`resuming`) takes its state from the checkpoint and reads
// no -hinit_file.
void read_lean_setup(const char *path, bool resuming);

// The initial density from the bytes of a .npy file in memory (the Python
// package's arrays), checked as -hinit_file's are; `what` names it in the
// message of a refusal. After read_lean_setup, in place of its initial state.
void set_initial_density(const unsigned char *npy, std::size_t size, const char *what);

// Liquid fraction of node (ix, iy) in the initial state of a slab, drop or
// bubble (with a pool, if one is given): 0 vapour, 1 liquid, joined by the
// tanh profile of width init_width.
double liquid_fraction(int ix, int iy);

// Distance of node (ix, iy) from the initial shape's centre, in nodes: along
// x for a slab, else in the plane; in a periodic direction to the nearest
// image of the centre.
double shape_distance(int ix, int iy);

// The words of the keys with a choice, as the parameter file has them.
const char *init_name(init_kind kind);
const char *walls_name(walls_kind kind);
const char *output_name(output_kind kind);
const char *scheme_name(scheme_kind kind);
