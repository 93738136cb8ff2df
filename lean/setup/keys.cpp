// The table of vdwflow's keys (keys.h).
#include "keys.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "param_reader.h"

namespace lean {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Setting and getting a key's field of the settings, by its type.
template <class T>
void assign(T &field, const key_value &v)
{
    if constexpr (std::is_same_v<T, int>)
        field = static_cast<int>(v.number);
    else if constexpr (std::is_same_v<T, double>)
        field = v.number;
    else if constexpr (std::is_same_v<T, std::string>)
        field = v.text;
    else
        field = static_cast<T>(v.word);  // the choice enums
}

template <class T>
key_value value_of(const T &field)
{
    key_value v;
    if constexpr (std::is_same_v<T, int> || std::is_same_v<T, double>)
        v.number = field;
    else if constexpr (std::is_same_v<T, std::string>)
        v.text = field;
    else
        v.word = static_cast<int>(field);
    return v;
}

template <auto Member>
void set_member(settings &s, const key_value &v)
{
    assign(s.*Member, v);
}

template <auto Member>
key_value get_member(const settings &s)
{
    return value_of(s.*Member);
}

#define FIELD(member) &set_member<&settings::member>, &get_member<&settings::member>

// The pool: given, at a height.
void set_pool(settings &s, const key_value &v)
{
    s.init_pool = true;
    s.init_pool_level = v.number;
}
key_value get_pool(const settings &s)
{
    return value_of(s.init_pool_level);
}

// The gravity reference: -1 stands for "mean".
void set_reference(settings &s, const key_value &v)
{
    s.gravity_reference_mean = v.number < 0.0;
    s.gravity_reference = s.gravity_reference_mean ? 0.0 : v.number;
}
key_value get_reference(const settings &s)
{
    return value_of(s.gravity_reference_mean ? -1.0 : s.gravity_reference);
}

bool is_shape(const settings &s) { return s.shape(); }
bool is_shape_3d(const settings &s) { return s.shape() && s.three_dimensional(); }
bool is_3d(const settings &s) { return s.three_dimensional(); }
bool is_file(const settings &s) { return s.init == init_kind::file; }
bool has_solid(const settings &s) { return s.has_solid(); }
bool has_gravity(const settings &s) { return s.has_gravity(); }

const key_range kPositiveNodes{0.0, kInfinity, true, false, "%s %g is not a positive number of nodes"};
const key_range kLayers{1.0, 2147483647.0, false, false, "%s %g is not a number of nodes of 1 or more"};
const key_range kProcesses{0.0, 2147483647.0, false, false,
                           "%s %g is not a number of processes (0: the program chooses)"};
const key_range kDensity{0.0, 3.0, true, true,
                         "%s %g is not a density between 0 and 3 (the fluid's excluded volume)"};

const char *const kShapeKeys = "it applies to -hinit slab, drop and bubble";

std::vector<key> make_table()
{
    const auto every = [](const char *name, key_kind kind, const char *range,
                          const char *description, bool resume, auto set, auto get) {
        return key{name, kind, {}, range, "0", description, true, resume, nullptr, nullptr,
                   nullptr, set, get};
    };
    const auto own = [](const char *name, key_kind kind, std::vector<const char *> words,
                        const char *range, const char *fallback, const char *description,
                        bool resume, const key_range *bounds, bool (*applies)(const settings &),
                        const char *applies_text, auto set, auto get) {
        return key{name, kind, std::move(words), range, fallback, description, false, resume,
                   bounds, applies, applies_text, set, get};
    };
    using k = key_kind;
    return {
        every("-hnodes_x", k::integer, "2 or more (the halo width)", "nodes along x", false,
              FIELD(nodes_x)),
        every("-hnodes_y", k::integer, "2 or more (the halo width)", "nodes along y", false,
              FIELD(nodes_y)),
        every("-hniter", k::integer, "any", "read, not used: the steps are counted from -hlast_iter",
              true, FIELD(niter)),
        every("-hniter_cycle", k::integer, "any (0 or less: none)",
              "steps of a cycle, after which a snapshot and a checkpoint are written", true,
              FIELD(niter_cycle)),
        every("-hncycles", k::integer, "any (0 or less: none)", "cycles of the run", true,
              FIELD(ncycles)),
        every("-hlast_iter", k::integer, "any", "the step the run starts from (the first snapshot's label)",
              true, FIELD(last_iter)),
        every("-hRTzero", k::real, "> 0", "1 / Tc: the critical temperature's inverse", false,
              FIELD(RTzero)),
        every("-htemperature", k::real, "> 0", "T / Tc: the fluid's temperature T = temperature / RTzero",
              false, FIELD(temperature)),
        every("-hdelta_time", k::real, "any (too large a step blows up)", "the time step", false,
              FIELD(delta_time)),
        every("-hkappa", k::real, "any (too large a value blows up)",
              "kappa, the coefficient of the surface tension's density gradient term", false,
              FIELD(kappa)),
        every("-hrho_zero", k::real, "> 0", "the mean density of the noisy start", false,
              FIELD(rho_zero)),
        every("-htau", k::real, "> 0", "the relaxation time", false, FIELD(tau)),

        own("-hnodes_z", k::integer, {}, "1 or more", "1",
            "nodes along z: 1 a two-dimensional lattice, more a three-dimensional one", false,
            &kLayers, nullptr, nullptr, FIELD(nodes_z)),
        own("-hinit", k::word, {"noise", "slab", "drop", "bubble", "file"}, "a word", "noise",
            "the initial state: the noisy start, a liquid band across y, a liquid disc in "
            "vapour, a vapour disc in liquid, or a density from -hinit_file",
            true, nullptr, nullptr, nullptr, FIELD(init)),
        own("-hinit_x", k::real, {}, "a node coordinate, -0.5 to nodes_x - 0.5",
            "the lattice centre", "x of the shape's centre", true, nullptr, is_shape, kShapeKeys,
            FIELD(init_x)),
        own("-hinit_y", k::real, {}, "a node coordinate, -0.5 to nodes_y - 0.5",
            "the lattice centre", "y of the shape's centre", true, nullptr, is_shape, kShapeKeys,
            FIELD(init_y)),
        own("-hinit_z", k::real, {}, "a node coordinate, -0.5 to nodes_z - 0.5",
            "the lattice centre", "z of the shape's centre (three-dimensional lattices)", true,
            nullptr, is_shape_3d,
            "it applies to -hinit slab, drop and bubble on a three-dimensional lattice",
            FIELD(init_z)),
        own("-hinit_radius", k::real, {}, "> 0", "none (a shape needs it)",
            "radius of a drop or bubble, half thickness of a slab, in nodes", true,
            &kPositiveNodes, is_shape, kShapeKeys, FIELD(init_radius)),
        own("-hinit_liquid", k::real, {}, "0 < n < 3", "the equal-area value at the run's T/Tc",
            "the liquid density of a shape", true, &kDensity, is_shape, kShapeKeys,
            FIELD(init_liquid)),
        own("-hinit_vapour", k::real, {}, "0 < n < 3", "the equal-area value at the run's T/Tc",
            "the vapour density of a shape", true, &kDensity, is_shape, kShapeKeys,
            FIELD(init_vapour)),
        own("-hinit_width", k::real, {}, "> 0", "the equilibrium interface's width for -hkappa",
            "width W of the tanh profile joining the two densities, in nodes", true,
            &kPositiveNodes, is_shape, kShapeKeys, FIELD(init_width)),
        own("-hinit_pool", k::real, {}, "a node coordinate, -0.5 to nodes_y - 0.5", "none",
            "a liquid pool below a flat surface at this height", true, nullptr, is_shape,
            kShapeKeys, &set_pool, &get_pool),
        own("-hinit_file", k::path, {}, "a .npy array or a PV*.vtk snapshot", "none",
            "the initial density of -hinit file", true, nullptr, is_file,
            "it applies to -hinit file", FIELD(init_file)),
        own("-hwalls", k::word, {"none", "x", "y", "xy", "z", "xz", "yz", "xyz"}, "a word", "none",
            "solid no-slip walls at the edges of the directions named; the others periodic",
            false, nullptr, nullptr, nullptr, FIELD(walls)),
        own("-hwall_wetting", k::real, {},
            "|h_w| up to the value at which the liquid (or the vapour) wets completely",
            "0", "the wetting h_w of walls and solid nodes: > 0 attracts the liquid", false,
            nullptr, has_solid, "there is no wall (-hwalls none, no -hsolid_file)",
            FIELD(wall_wetting)),
        own("-hsolid_file", k::path, {}, "a .npy array or a PGM image", "none",
            "solid nodes inside the lattice (obstacles, porous media)", false, nullptr, nullptr,
            nullptr, FIELD(solid_file)),
        own("-hgravity_x", k::real, {}, "|g| dt c / cs^2 below 1", "0",
            "x of the acceleration of a body force on the fluid", false, nullptr, nullptr, nullptr,
            FIELD(gravity_x)),
        own("-hgravity_y", k::real, {}, "|g| dt c / cs^2 below 1", "0",
            "y of the acceleration of a body force on the fluid", false, nullptr, nullptr, nullptr,
            FIELD(gravity_y)),
        own("-hgravity_z", k::real, {}, "|g| dt c / cs^2 below 1", "0",
            "z of the acceleration of a body force on the fluid (three-dimensional lattices)",
            false, nullptr, is_3d, "the lattice is two-dimensional (-hnodes_z 1)",
            FIELD(gravity_z)),
        own("-hgravity_reference", k::reference, {"mean"}, "mean, or a density of 0 or more", "0",
            "the density whose weight the force leaves out (mean: the initial mean density)",
            false, nullptr, has_gravity, "there is no gravity (-hgravity_x, -hgravity_y, -hgravity_z)",
            &set_reference, &get_reference),
        own("-houtput", k::word, {"classic", "vti", "both"}, "a word",
            "classic (vti for nodes_z > 1)",
            "the snapshots: BP, BV and PV files (of the middle layer z = nodes_z / 2), .vti files "
            "with a .pvd collection, or both",
            true, nullptr, nullptr, nullptr, FIELD(output)),
        own("-hscheme", k::word, {"upwind", "lax_wendroff"}, "a word", "upwind",
            "the propagation: first-order upwind, or Lax-Wendroff of the equilibrium part", false,
            nullptr, nullptr, nullptr, FIELD(scheme)),
        own("-hprocesses_x", k::integer, {}, "0 or more", "0 (the program chooses)",
            "processes along x of a run over several (mpirun -n)", true, &kProcesses, nullptr,
            nullptr, FIELD(processes_x)),
        own("-hprocesses_y", k::integer, {}, "0 or more", "0 (the program chooses)",
            "processes along y of a run over several (mpirun -n)", true, &kProcesses, nullptr,
            nullptr, FIELD(processes_y)),
        own("-hprocesses_z", k::integer, {}, "0 or more", "0 (the program chooses)",
            "processes along z of a run over several (mpirun -n; three-dimensional lattices)",
            true, &kProcesses, is_3d, "the lattice is two-dimensional (-hnodes_z 1)",
            FIELD(processes_z)),
    };
}

// Edit distance of two keys (for "did you mean"), bounded work: keys are
// short, but a hostile file may hold a token of thousands of characters.
std::size_t edit_distance(const std::string &a, const std::string &b)
{
    if (a.size() > 64 || b.size() > 64) return 64;
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = up;
        }
    }
    return row[b.size()];
}

// JSON text of a string.
std::string quoted(const char *text)
{
    std::string out = "\"";
    for (const char *p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += *p;
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += *p;
        }
    }
    return out + "\"";
}

std::string number_or_null(double v)
{
    if (!std::isfinite(v)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

const char *kind_name(key_kind kind)
{
    switch (kind) {
    case key_kind::integer: return "integer";
    case key_kind::real: return "real";
    case key_kind::word: return "word";
    case key_kind::path: return "path";
    case key_kind::reference: return "reference";
    }
    return "?";
}

}  // namespace

const std::vector<key> &keys()
{
    static const std::vector<key> table = make_table();
    return table;
}

const key *find_key(const char *name)
{
    for (const key &k : keys())
        if (std::strcmp(k.name, name) == 0) return &k;
    return nullptr;
}

const key *nearest_key(const char *name)
{
    const key *nearest = nullptr;
    std::size_t best = 4;  // suggest only a near miss
    for (const key &k : keys()) {
        const std::size_t d = edit_distance(name, k.name);
        if (d < best) {
            best = d;
            nearest = &k;
        }
    }
    return nearest;
}

const char *word_of(const char *key_name, int index)
{
    const key *k = find_key(key_name);
    if (k == nullptr || index < 0 || index >= static_cast<int>(k->words.size())) return "unknown";
    return k->words[static_cast<std::size_t>(index)];
}

std::string keys_json()
{
    std::string out = "{\n  \"program\": \"vdwflow\",\n";
    out += "  \"pairs\": " + std::to_string(LEAN_MAX_PARAMS) +
           ", \"token_characters\": " + std::to_string(LEAN_TOKEN_SIZE - 1) + ",\n";
    out += "  \"solver_programs\": {\"pairs\": " + std::to_string(MAX_PARAMS) +
           ", \"token_characters\": " + std::to_string(PARAM_TOKEN_SIZE - 1) + "},\n";
    out += "  \"keys\": [\n";
    const std::vector<key> &table = keys();
    for (std::size_t i = 0; i < table.size(); ++i) {
        const key &k = table[i];
        out += "    {\"name\": " + quoted(k.name) + ", \"kind\": " + quoted(kind_name(k.kind));
        if (!k.words.empty()) {
            out += ", \"words\": [";
            for (std::size_t w = 0; w < k.words.size(); ++w)
                out += (w ? ", " : "") + quoted(k.words[w]);
            out += "]";
        }
        out += ", \"range\": " + quoted(k.range);
        if (k.bounds) {
            out += ", \"min\": " + number_or_null(k.bounds->low) +
                   ", \"min_open\": " + (k.bounds->low_open ? "true" : "false") +
                   ", \"max\": " + number_or_null(k.bounds->high) +
                   ", \"max_open\": " + (k.bounds->high_open ? "true" : "false");
        }
        out += ", \"default\": " + quoted(k.fallback);
        out += ", \"every_program\": ";
        out += k.every_program ? "true" : "false";
        out += ", \"resume_may_change\": ";
        out += k.resume_may_change ? "true" : "false";
        if (k.applies_text) out += ", \"applies\": " + quoted(k.applies_text);
        out += ", \"description\": " + quoted(k.description) + "}";
        out += i + 1 < table.size() ? ",\n" : "\n";
    }
    out += "  ]\n}\n";
    return out;
}

}  // namespace lean
