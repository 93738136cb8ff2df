// The keys of vdwflow's parameter file: every key once, with its kind, range,
// default, description and whether a resumed run may change it. Reading and
// checking a parameter file, "did you mean", `vdwflow --keys` (JSON), the
// Python package and the campaign tool all take the keys from this table.
#pragma once

#include <string>
#include <vector>

namespace lean {

// The choices of the keys that take a word; each enum's values are in the
// order of its words in the table (and of their numbers in the checkpoint).
enum class init_kind { noise, slab, drop, bubble, file };
// (walls: a bit for each walled direction, x 1, y 2, z 4)
enum class walls_kind { none, x, y, xy, z, xz, yz, xyz };
enum class output_kind { classic, vti, both };
enum class scheme_kind { upwind, lax_wendroff };

// The value of every key as a run reads it. The first twelve are those of
// every solver program (0 when absent, converted as they convert them); the
// rest are vdwflow's own.
struct settings {
    int nodes_x = 0, nodes_y = 0, niter = 0, niter_cycle = 0, ncycles = 0, last_iter = 0;
    double RTzero = 0.0, temperature = 0.0, delta_time = 0.0, kappa = 0.0, rho_zero = 0.0,
           tau = 0.0;

    int nodes_z = 1;  // nodes along z: 1 is a two-dimensional lattice

    init_kind init = init_kind::noise;
    double init_x = 0.0, init_y = 0.0, init_z = 0.0;  // centre, in node coordinates (node ix at x = ix)
    double init_radius = 0.0;           // nodes: radius, or a slab's half thickness
    double init_liquid = 0.0, init_vapour = 0.0;
    double init_width = 0.0;            // nodes: W of the tanh profile
    bool init_pool = false;             // a liquid pool below a flat surface ...
    double init_pool_level = 0.0;       // ... at this height (node coordinates)
    std::string init_file;

    walls_kind walls = walls_kind::none;
    double wall_wetting = 0.0;          // h_w: 0 neutral, > 0 the wall attracts the liquid
    std::string solid_file;
    bool solid_array = false;           // solid nodes handed over as an array instead

    double gravity_x = 0.0, gravity_y = 0.0, gravity_z = 0.0;  // acceleration, solver units
    bool gravity_reference_mean = false;      // -hgravity_reference mean
    double gravity_reference = 0.0;           // density whose weight is not felt

    output_kind output = output_kind::classic;
    scheme_kind scheme = scheme_kind::upwind;

    // Processes along x, y, z of a run over several (0: the program chooses).
    int processes_x = 0, processes_y = 0, processes_z = 0;

    bool shape() const
    {
        return init == init_kind::slab || init == init_kind::drop || init == init_kind::bubble;
    }
    bool has_solid() const
    {
        return walls != walls_kind::none || !solid_file.empty() || solid_array;
    }
    bool has_gravity() const { return gravity_x != 0.0 || gravity_y != 0.0 || gravity_z != 0.0; }
    bool walls_x() const { return (static_cast<int>(walls) & 1) != 0; }
    bool walls_y() const { return (static_cast<int>(walls) & 2) != 0; }
    bool walls_z() const { return (static_cast<int>(walls) & 4) != 0; }
    bool three_dimensional() const { return nodes_z > 1; }
};

enum class key_kind {
    integer,    // a whole number
    real,       // a finite number
    word,       // one of the key's words
    path,       // a file
    reference,  // "mean" or a density of 0 or more
};

// A key's value between the text of the file and the settings.
struct key_value {
    double number = 0.0;  // integer, real, reference (and -1 for mean)
    int word = 0;         // index of the word
    std::string text;     // path
};

// A range that a number must lie in, and the message when it does not:
// printf format of the key and the value.
struct key_range {
    double low, high;
    bool low_open, high_open;
    const char *message;
    bool contains(double v) const
    {
        return (low_open ? v > low : v >= low) && (high_open ? v < high : v <= high);
    }
};

struct key {
    const char *name;        // as in the file: "-hinit_radius"
    key_kind kind;
    std::vector<const char *> words;  // a word key's choices
    const char *range;       // the values it takes, in words (README, --keys)
    const char *fallback;    // what a run takes without the key
    const char *description;
    bool every_program;      // read by every solver program, as they read it
    bool resume_may_change;  // a resumed run may set it otherwise than its checkpoint
    const key_range *bounds; // checked when read (null: no range, or checked with others)
    // Keys that mean something only with another setting: given without it
    // they are refused, since the user most likely forgot the other one.
    bool (*applies)(const settings &);
    const char *applies_text;
    void (*set)(settings &, const key_value &);
    key_value (*get)(const settings &);
};

// Every key, in the order the README lists them.
const std::vector<key> &keys();
// The key of that name, or null.
const key *find_key(const char *name);
// The key whose name is closest to `name` (a near miss), or null.
const key *nearest_key(const char *name);

// The word of a choice, as the parameter file has it.
const char *word_of(const char *key_name, int index);
inline const char *init_name(init_kind k) { return word_of("-hinit", static_cast<int>(k)); }
inline const char *walls_name(walls_kind k) { return word_of("-hwalls", static_cast<int>(k)); }
inline const char *output_name(output_kind k) { return word_of("-houtput", static_cast<int>(k)); }
inline const char *scheme_name(scheme_kind k) { return word_of("-hscheme", static_cast<int>(k)); }

// The table as JSON (vdwflow --keys): the readers' limits, vdwflow's and
// the other solver programs', and every key.
std::string keys_json();

}  // namespace lean
