// vdwflow's own keys: read, checked against the lattice, and the user files
// they name loaded, all before anything is written.
#include "setup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "param_reader.h"
#include "reporters.h"
#include "run_config.h"
#include "user_files.h"
#include "vdw_thermo.h"

lean_setup hsetup;
std::vector<unsigned char> hsolid_nodes;
std::vector<double> hinit_density;

namespace {

const char *parameter_file = "nw2cuda.input";

// Every key vdwflow reads: the twelve of every solver program, then its own.
const char *const kKnownKeys[] = {
    "-hnodes_x", "-hnodes_y", "-hniter", "-hniter_cycle", "-hncycles", "-hlast_iter",
    "-hRTzero", "-htemperature", "-hdelta_time", "-hkappa", "-hrho_zero", "-htau",
    "-hinit", "-hinit_x", "-hinit_y", "-hinit_radius", "-hinit_liquid", "-hinit_vapour",
    "-hinit_width", "-hinit_pool", "-hinit_file", "-hwalls", "-hwall_wetting", "-hsolid_file",
    "-hgravity_x", "-hgravity_y", "-hgravity_reference", "-houtput", "-hscheme"};

[[noreturn]] void reject(const char *format, ...) __attribute__((format(printf, 1, 2)));

void reject(const char *format, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s: ", parameter_file);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    end_run(1);
}

// A user file the reader gave up on: a file's failure where it cannot be
// opened or is a folder, else a bad input.
[[noreturn]] void reject_file(const char *key, const char *path, const user_files::reason &why)
{
    struct stat st;
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr || (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)))
        note_failure(run_failure::file);
    if (file != nullptr) std::fclose(file);
    reject("%s %s: %s", key, path, why.c_str());
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

// A misspelt key would leave its setting at the default for the whole run,
// unnoticed: vdwflow refuses the file and names the key it likely meant.
void reject_unknown_keys()
{
    for (int i = 0; i < paramsCount; ++i) {
        const char *key = params[i].key;
        bool known = false;
        for (const char *k : kKnownKeys) known = known || std::strcmp(key, k) == 0;
        if (known) continue;
        const char *nearest = nullptr;
        std::size_t best = 4;  // suggest only a near miss
        for (const char *k : kKnownKeys) {
            const std::size_t d = edit_distance(key, k);
            if (d < best) {
                best = d;
                nearest = k;
            }
        }
        if (nearest)
            reject("unknown key %.40s (did you mean %s?)", key, nearest);
        reject("unknown key %.40s (vdwflow reads the keys listed in its README)", key);
    }
}

bool given(const char *key)
{
    return parameter_value(key) != nullptr;
}

// A number of vdwflow's own keys: the whole token must be a finite number.
double real_value(const char *key, double fallback)
{
    const char *text = parameter_value(key);
    if (!text) return fallback;
    char *end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0')
        reject("%s %.40s is not a number", key, text);
    if (!std::isfinite(value))
        reject("%s %.40s is not a finite number", key, text);
    return value;
}

// A word out of a list: the index of the word, or the fallback when absent.
int choice_value(const char *key, const char *const *words, int count, int fallback)
{
    const char *text = parameter_value(key);
    if (!text) return fallback;
    for (int i = 0; i < count; ++i)
        if (std::strcmp(text, words[i]) == 0) return i;
    std::string list;
    for (int i = 0; i < count; ++i) list += (i ? ", " : "") + std::string(words[i]);
    reject("%s %.40s is not one of %s", key, text, list.c_str());
}

const char *const kInitWords[] = {"noise", "slab", "drop", "bubble", "file"};
const char *const kWallsWords[] = {"none", "x", "y", "xy"};
const char *const kOutputWords[] = {"classic", "vti", "both"};
const char *const kSchemeWords[] = {"upwind", "lax_wendroff"};

// A key that only means something with another setting: given without it,
// the user most likely forgot the other one.
void reject_if_given(const char *key, const char *why)
{
    if (given(key))
        reject("%s %.40s has no effect: %s", key, parameter_value(key), why);
}

// Whether the sharp shape of the initial state (inside: r < radius) leaves
// nodes both inside and outside, and fits a periodic direction without
// touching its own image.
void check_shape_fits(const char *what)
{
    const lean_setup &s = hsetup;
    const double r = s.init_radius;
    const bool slab = s.init == init_kind::slab;
    const bool periodic_x = !s.walls_x(), periodic_y = !s.walls_y();
    if (periodic_x && 2.0 * r >= hnodes_x)
        reject("-hinit_radius %g: the %s's %s %g does not fit the periodic -hnodes_x %d", r, what,
               slab ? "thickness" : "diameter", 2.0 * r, hnodes_x);
    if (!slab && periodic_y && 2.0 * r >= hnodes_y)
        reject("-hinit_radius %g: the %s's diameter %g does not fit the periodic -hnodes_y %d", r,
               what, 2.0 * r, hnodes_y);
    long inside = 0;
    for (int iy = 0; iy < hnodes_y; ++iy)
        for (int ix = 0; ix < hnodes_x; ++ix) inside += shape_distance(ix, iy) < r;
    if (inside == 0)
        reject("-hinit_radius %g: the %s covers no node of the lattice", r, what);
    if (inside == static_cast<long>(hnodes_x) * hnodes_y)
        reject("-hinit_radius %g: the %s covers the whole lattice", r, what);
}

void check_centre(const char *key, double value, int extent)
{
    if (value < -0.5 || value > extent - 0.5)
        reject("%s %g lies outside the lattice (-0.5 to %g: node coordinates, walls halfway "
               "beyond the edge nodes)",
               key, value, extent - 0.5);
}

void check_density(const char *key, double value)
{
    if (!(value > 0.0 && value < 3.0))
        reject("%s %g is not a density between 0 and 3 (the fluid's excluded volume)", key,
               value);
}

void read_initial_state(bool resuming)
{
    lean_setup &s = hsetup;
    s.init = static_cast<init_kind>(choice_value("-hinit", kInitWords, 5, 0));
    const bool shape = s.init == init_kind::slab || s.init == init_kind::drop ||
                       s.init == init_kind::bubble;
    if (!shape) {
        const char *why = "it applies to -hinit slab, drop and bubble";
        for (const char *key : {"-hinit_x", "-hinit_y", "-hinit_radius", "-hinit_liquid",
                                "-hinit_vapour", "-hinit_width", "-hinit_pool"})
            reject_if_given(key, why);
    }
    if (s.init != init_kind::file)
        reject_if_given("-hinit_file", "it applies to -hinit file");

    if (shape) {
        const char *what = init_name(s.init);
        s.init_x = real_value("-hinit_x", 0.5 * (hnodes_x - 1));
        s.init_y = real_value("-hinit_y", 0.5 * (hnodes_y - 1));
        check_centre("-hinit_x", s.init_x, hnodes_x);
        check_centre("-hinit_y", s.init_y, hnodes_y);
        if (!given("-hinit_radius"))
            reject("-hinit %s needs -hinit_radius (nodes: the %s)", what,
                   s.init == init_kind::slab ? "half thickness" : "radius");
        s.init_radius = real_value("-hinit_radius", 0.0);
        if (!(s.init_radius > 0.0))
            reject("-hinit_radius %g is not a positive number of nodes", s.init_radius);
        check_shape_fits(what);

        const vdw::Fluid fluid{htfluid, htcritical};
        const bool below = htfluid < htcritical;
        if (!below && (!given("-hinit_liquid") || !given("-hinit_vapour")))
            reject("-hinit %s needs -hinit_liquid and -hinit_vapour at -htemperature %g: above "
                   "the critical temperature no two phases coexist",
                   what, htemperature);
        vdw::Pair pair{0.0, 0.0};
        if (below) pair = vdw::coexistence(fluid);
        s.init_liquid = real_value("-hinit_liquid", pair.liquid);
        s.init_vapour = real_value("-hinit_vapour", pair.vapour);
        check_density("-hinit_liquid", s.init_liquid);
        check_density("-hinit_vapour", s.init_vapour);
        // The equilibrium interface's width for kappa (below the critical
        // temperature, with kappa > 0), else two nodes.
        double width = 2.0;
        if (below && hkappa > 0.0)
            width = vdw::interface_width(fluid, pair, hkappa) / hdelta_space;
        s.init_width = real_value("-hinit_width", width);
        if (!(s.init_width > 0.0))
            reject("-hinit_width %g is not a positive number of nodes", s.init_width);
        s.init_pool = given("-hinit_pool");
        s.init_pool_level = real_value("-hinit_pool", 0.0);
        if (s.init_pool) check_centre("-hinit_pool", s.init_pool_level, hnodes_y);
    }

    if (s.init == init_kind::file) {
        const char *path = parameter_value("-hinit_file");
        if (!path) reject("-hinit file needs -hinit_file (a .npy array or a PV*.vtk snapshot)");
        s.init_file = path;
        // A resumed run takes its state from the checkpoint.
        if (!resuming) {
            const user_files::reason why =
                user_files::read_density(path, hnodes_x, hnodes_y, hinit_density);
            if (!why.empty()) reject_file("-hinit_file", path, why);
        }
    }
}

void read_solids()
{
    lean_setup &s = hsetup;
    s.walls = static_cast<walls_kind>(choice_value("-hwalls", kWallsWords, 4, 0));
    if (const char *path = parameter_value("-hsolid_file")) {
        s.solid_file = path;
        const user_files::reason why =
            user_files::read_solid_mask(path, hnodes_x, hnodes_y, hsolid_nodes);
        if (!why.empty()) reject_file("-hsolid_file", path, why);
        if (std::find(hsolid_nodes.begin(), hsolid_nodes.end(), 0) == hsolid_nodes.end())
            reject("-hsolid_file %s: every node is solid: no fluid is left", path);
    }
    if (!s.has_solid())
        reject_if_given("-hwall_wetting", "there is no wall (-hwalls none, no -hsolid_file)");
    s.wall_wetting = real_value("-hwall_wetting", 0.0);
    if (s.wall_wetting != 0.0 && !(hkappa > 0.0))
        reject("-hwall_wetting %g needs -hkappa above 0 (it sets the density gradient "
               "-hwall_wetting / -hkappa at the wall)",
               s.wall_wetting);
}

void read_gravity()
{
    lean_setup &s = hsetup;
    s.gravity_x = real_value("-hgravity_x", 0.0);
    s.gravity_y = real_value("-hgravity_y", 0.0);
    const char *reference = parameter_value("-hgravity_reference");
    if (!reference) return;
    if (!s.has_gravity())
        reject_if_given("-hgravity_reference", "there is no gravity (-hgravity_x, -hgravity_y)");
    if (std::strcmp(reference, "mean") == 0) {
        s.gravity_reference_mean = true;
        return;
    }
    char *end = nullptr;
    const double value = std::strtod(reference, &end);
    if (end == reference || *end != '\0' || !std::isfinite(value) || value < 0.0)
        reject("-hgravity_reference %.40s is neither mean nor a density of 0 or more", reference);
    s.gravity_reference = value;
}

}  // namespace

const char *init_name(init_kind kind)
{
    return kInitWords[static_cast<int>(kind)];
}

const char *walls_name(walls_kind kind)
{
    return kWallsWords[static_cast<int>(kind)];
}

const char *output_name(output_kind kind)
{
    return kOutputWords[static_cast<int>(kind)];
}

const char *scheme_name(scheme_kind kind)
{
    return kSchemeWords[static_cast<int>(kind)];
}

double shape_distance(int ix, int iy)
{
    const lean_setup &s = hsetup;
    // In a periodic direction the nearest image of the centre counts.
    const auto separation = [](double d, int extent, bool periodic) {
        if (periodic) d -= extent * std::floor(d / extent + 0.5);
        return d;
    };
    const double dx = separation(ix - s.init_x, hnodes_x, !s.walls_x());
    if (s.init == init_kind::slab) return std::fabs(dx);
    const double dy = separation(iy - s.init_y, hnodes_y, !s.walls_y());
    return std::sqrt(dx * dx + dy * dy);
}

double liquid_fraction(int ix, int iy)
{
    const lean_setup &s = hsetup;
    const double shape = 0.5 + 0.5 * std::tanh((s.init_radius - shape_distance(ix, iy)) / s.init_width);
    double liquid = s.init == init_kind::bubble ? 1.0 - shape : shape;
    if (s.init_pool) {
        const double pool = 0.5 + 0.5 * std::tanh((s.init_pool_level - iy) / s.init_width);
        // a drop or a slab joins the pool; a bubble lies in it
        liquid = s.init == init_kind::bubble ? std::min(liquid, pool) : std::max(liquid, pool);
    }
    return liquid;
}

void read_lean_setup(const char *path, bool resuming)
{
    parameter_file = path;
    hsetup = lean_setup{};
    hsolid_nodes.clear();
    hinit_density.clear();
    reject_unknown_keys();
    read_solids();  // (the shapes' checks depend on the walls)
    read_initial_state(resuming);
    read_gravity();
    hsetup.output = static_cast<output_kind>(choice_value("-houtput", kOutputWords, 3, 0));
    hsetup.scheme = static_cast<scheme_kind>(choice_value("-hscheme", kSchemeWords, 2, 0));
}

void set_initial_density(const unsigned char *npy, std::size_t size, const char *what)
{
    std::vector<double> density;
    const user_files::reason why = user_files::parse_density(npy, size, hnodes_x, hnodes_y, density);
    if (!why.empty()) reject("%s: %s", what, why.c_str());
    hsetup.init = init_kind::file;
    hinit_density.swap(density);
}
