// vdwflow's configuration: every key read and checked against the key table
// and the lattice, and the user files it names loaded, before anything is
// written.
#include "setup.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lattice_init.h"
#include "param_reader.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"
#include "user_files.h"
#include "vdw_thermo.h"

namespace lean {

namespace {

// Reading one parameter table: the failures name its file.
class reader {
public:
    reader(const parameter_table &table, const char *path, configuration &c)
        : table_(table), path_(path), c_(c), s_(c.keys)
    {
    }

    [[noreturn]] void reject(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        const std::string message = vformatted(format, args);
        va_end(args);
        throw error_line(kind_, "%s: %s", path_, message.c_str());
    }

    const char *value(const key &k) const { return table_.value(k.name); }

    void refuse_unknown_keys()
    {
        for (const auto &pair : table_.pairs) {
            const char *name = pair.first.c_str();
            if (find_key(name)) continue;
            if (const key *near = nearest_key(name))
                reject("unknown key %.40s (did you mean %s?)", name, near->name);
            reject("unknown key %.40s (vdwflow reads the keys listed in its README)", name);
        }
    }

    // The twelve keys of every solver program, converted as they convert
    // them (absent: 0), and their start-up check.
    void read_solver_keys()
    {
        for (const key &k : keys()) {
            if (!k.every_program) continue;
            const char *text = value(k);
            if (!text) continue;
            key_value v;
            v.number = k.kind == key_kind::integer ? int_parameter(text) : real_parameter(text);
            k.set(s_, v);
        }
        // (the other programs' limits: the 17 slots of their node field
        // array and the 27 planes of their halo lattice)
        check_configuration({path_, s_.nodes_x, s_.nodes_y, s_.last_iter, s_.ncycles,
                             s_.niter_cycle, s_.RTzero, s_.temperature, s_.tau, s_.rho_zero,
                             kHalo, 17, 27});
    }

    // vdwflow's own key k: the whole token a finite number, a word of the
    // key's, a path; then its range.
    void read_own_key(const key &k)
    {
        const char *text = value(k);
        if (!text) return;
        key_value v;
        switch (k.kind) {
        case key_kind::integer:
        case key_kind::real:
            v.number = number(k.name, text);
            if (k.kind == key_kind::integer && v.number != std::floor(v.number))
                reject("%s %.40s is not a whole number", k.name, text);
            if (k.bounds && !k.bounds->contains(v.number)) reject(k.bounds->message, k.name, v.number);
            break;
        case key_kind::word: {
            const auto w = std::find_if(k.words.begin(), k.words.end(),
                                        [&](const char *word) { return std::strcmp(word, text) == 0; });
            if (w == k.words.end()) {
                std::string list;
                for (const char *word : k.words) list += (list.empty() ? "" : ", ") + std::string(word);
                reject("%s %.40s is not one of %s", k.name, text, list.c_str());
            }
            v.word = static_cast<int>(w - k.words.begin());
            break;
        }
        case key_kind::path:
            v.text = text;
            break;
        case key_kind::reference: {
            if (std::strcmp(text, "mean") == 0) {
                v.number = -1.0;
                break;
            }
            char *end = nullptr;
            v.number = std::strtod(text, &end);
            if (end == text || *end != '\0' || !std::isfinite(v.number) || v.number < 0.0)
                reject("%s %.40s is neither mean nor a density of 0 or more", k.name, text);
            break;
        }
        }
        k.set(s_, v);
    }

    double number(const char *name, const char *text)
    {
        char *end = nullptr;
        errno = 0;
        const double v = std::strtod(text, &end);
        if (end == text || *end != '\0') reject("%s %.40s is not a number", name, text);
        if (!std::isfinite(v)) reject("%s %.40s is not a finite number", name, text);
        return v;
    }

    // The keys no other key depends on come first; then those that apply
    // only with other settings, in the table's order (a key that decides
    // whether a later one applies, as -hgravity_z decides for
    // -hgravity_reference, is read before it): refused where they do not
    // apply, else read.
    void read_own_keys()
    {
        for (const key &k : keys())
            if (!k.every_program && !k.applies) read_own_key(k);
        for (const key &k : keys()) {
            if (!k.applies) continue;
            if (value(k) && !k.applies(s_))
                reject("%s %.40s has no effect: %s", k.name, value(k), k.applies_text);
            read_own_key(k);
        }
    }

    bool given(const char *name) const { return table_.value(name) != nullptr; }

    void check_coordinate(const char *name, double v, int extent)
    {
        if (v < -0.5 || v > extent - 0.5)
            reject("%s %g lies outside the lattice (-0.5 to %g: node coordinates, walls halfway "
                   "beyond the edge nodes)",
                   name, v, extent - 0.5);
    }

    // Whether the sharp shape (inside: r < radius) leaves nodes both inside
    // and outside, and fits a periodic direction without touching its own
    // image.
    void check_shape_fits(const char *what)
    {
        const double r = s_.init_radius;
        const bool slab = s_.init == init_kind::slab;
        if (!s_.walls_x() && 2.0 * r >= s_.nodes_x)
            reject("-hinit_radius %g: the %s's %s %g does not fit the periodic -hnodes_x %d", r,
                   what, slab ? "thickness" : "diameter", 2.0 * r, s_.nodes_x);
        if (!slab && !s_.walls_y() && 2.0 * r >= s_.nodes_y)
            reject("-hinit_radius %g: the %s's diameter %g does not fit the periodic -hnodes_y %d",
                   r, what, 2.0 * r, s_.nodes_y);
        if (!slab && s_.three_dimensional() && !s_.walls_z() && 2.0 * r >= s_.nodes_z)
            reject("-hinit_radius %g: the %s's diameter %g does not fit the periodic -hnodes_z %d",
                   r, what, 2.0 * r, s_.nodes_z);
        long long inside = 0;
        for (int iz = 0; iz < s_.nodes_z; ++iz)
            for (int iy = 0; iy < s_.nodes_y; ++iy)
                for (int ix = 0; ix < s_.nodes_x; ++ix) inside += shape_distance(c_, ix, iy, iz) < r;
        if (inside == 0) reject("-hinit_radius %g: the %s covers no node of the lattice", r, what);
        if (inside == static_cast<long long>(c_.node_count()))
            reject("-hinit_radius %g: the %s covers the whole lattice", r, what);
    }

    // A shape's centre, radius, densities and interface width.
    void complete_shape()
    {
        const char *what = init_name(s_.init);
        if (!given("-hinit_x")) s_.init_x = 0.5 * (s_.nodes_x - 1);
        if (!given("-hinit_y")) s_.init_y = 0.5 * (s_.nodes_y - 1);
        if (!given("-hinit_z")) s_.init_z = 0.5 * (s_.nodes_z - 1);
        check_coordinate("-hinit_x", s_.init_x, s_.nodes_x);
        check_coordinate("-hinit_y", s_.init_y, s_.nodes_y);
        check_coordinate("-hinit_z", s_.init_z, s_.nodes_z);
        if (!given("-hinit_radius"))
            reject("-hinit %s needs -hinit_radius (nodes: the %s)", what,
                   s_.init == init_kind::slab ? "half thickness" : "radius");
        check_shape_fits(what);

        const vdw::Fluid fluid{c_.tfluid, c_.tcritical};
        const bool below = c_.tfluid < c_.tcritical;
        if (!below && (!given("-hinit_liquid") || !given("-hinit_vapour")))
            reject("-hinit %s needs -hinit_liquid and -hinit_vapour at -htemperature %g: above "
                   "the critical temperature no two phases coexist",
                   what, s_.temperature);
        const vdw::Pair pair = below ? vdw::coexistence(fluid) : vdw::Pair{0.0, 0.0};
        if (!given("-hinit_liquid")) s_.init_liquid = pair.liquid;
        if (!given("-hinit_vapour")) s_.init_vapour = pair.vapour;
        // The equilibrium interface's width for kappa (below the critical
        // temperature, with kappa > 0), else two nodes.
        if (!given("-hinit_width"))
            s_.init_width = below && s_.kappa > 0.0
                                ? vdw::interface_width(fluid, pair, s_.kappa) / c_.delta_space
                                : 2.0;
        if (s_.init_pool) check_coordinate("-hinit_pool", s_.init_pool_level, s_.nodes_y);
    }

    // A user file the reader gave up on: a file's failure where it cannot be
    // opened or is a folder, else a bad input.
    [[noreturn]] void reject_file(const char *name, const char *path,
                                  const user_files::reason &why)
    {
        struct stat st;
        FILE *file = std::fopen(path, "rb");
        if (file == nullptr || (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)))
            kind_ = run_failure::file;
        if (file != nullptr) std::fclose(file);
        reject("%s %s: %s", name, path, why.c_str());
    }

    void read_files(bool resuming)
    {
        if (s_.solid_array && std::find(c_.solid.begin(), c_.solid.end(), 0) == c_.solid.end())
            reject("solid: every node is solid: no fluid is left");
        if (!s_.solid_file.empty()) {
            const char *path = s_.solid_file.c_str();
            const user_files::reason why =
                user_files::read_solid_mask(path, s_.nodes_x, s_.nodes_y, s_.nodes_z, c_.solid);
            if (!why.empty()) reject_file("-hsolid_file", path, why);
            if (std::find(c_.solid.begin(), c_.solid.end(), 0) == c_.solid.end())
                reject("-hsolid_file %s: every node is solid: no fluid is left", path);
        }
        if (s_.init == init_kind::file) {
            if (s_.init_file.empty())
                reject("-hinit file needs -hinit_file (a .npy array or a PV*.vtk snapshot)");
            // A resumed run takes its state from the checkpoint.
            if (!resuming) {
                const char *path = s_.init_file.c_str();
                const user_files::reason why = user_files::read_density(
                    path, s_.nodes_x, s_.nodes_y, s_.nodes_z, c_.init_density);
                if (!why.empty()) reject_file("-hinit_file", path, why);
            }
        }
    }

    // The wetting that the ghost densities can carry: a contact angle must
    // exist (beyond the values where the liquid or the vapour wets the wall
    // completely, Cahn's construction, no angle does); above the critical
    // temperature, the ghost two cells into the wall, n + 3 h h_w / kappa,
    // must stay a density of the fluid for the mean density.
    void check_wetting()
    {
        const double h_w = s_.wall_wetting;
        if (h_w == 0.0) return;
        if (!(s_.kappa > 0.0))
            reject("-hwall_wetting %g needs -hkappa above 0 (it sets the density gradient "
                   "-hwall_wetting / -hkappa at the wall)",
                   h_w);
        const vdw::Fluid fluid{c_.tfluid, c_.tcritical};
        if (c_.tfluid < c_.tcritical) {
            const vdw::Pair limits = vdw::complete_wetting(fluid, s_.kappa);
            if (h_w > limits.liquid || h_w < limits.vapour)
                reject("-hwall_wetting %g: no contact angle exists beyond %.3g (the liquid wets "
                       "the wall completely) and %.3g (the vapour does) at -htemperature %g and "
                       "-hkappa %g",
                       h_w, limits.liquid, limits.vapour, s_.temperature, s_.kappa);
            return;
        }
        const double room = std::min(s_.rho_zero, 3.0 - s_.rho_zero);
        const double largest = room * s_.kappa / (3.0 * c_.delta_space);
        if (std::fabs(h_w) >= largest)
            reject("-hwall_wetting %g: the ghost densities in the wall, -hrho_zero + 3 h "
                   "-hwall_wetting / -hkappa, would leave the fluid's densities (0 to 3); "
                   "|h_w| must stay below %.3g",
                   h_w, largest);
    }

    // A body force that changes the distributions by more than themselves
    // in one step (the forcing term of the collision, |g| dt c / cs^2 of
    // f_eq) cannot be carried by the scheme.
    void check_gravity()
    {
        const double g = std::sqrt(s_.gravity_x * s_.gravity_x + s_.gravity_y * s_.gravity_y +
                                   s_.gravity_z * s_.gravity_z);
        const double largest = c_.chic2 / (c_.bbspeed * std::fabs(s_.delta_time));
        if (!(g < largest) && g > 0.0) {
            // (the largest component named)
            const double a[3] = {std::fabs(s_.gravity_x), std::fabs(s_.gravity_y),
                                 std::fabs(s_.gravity_z)};
            const int k = a[2] > a[1] && a[2] > a[0] ? 2 : a[1] > a[0] ? 1 : 0;
            const char *const names[3] = {"-hgravity_x", "-hgravity_y", "-hgravity_z"};
            const double values[3] = {s_.gravity_x, s_.gravity_y, s_.gravity_z};
            reject("%s %g: the body force would change the distributions by more than "
                   "themselves in one step (|g| dt c / cs^2 = %.3g); |g| must stay below %.3g",
                   names[k], values[k], g / largest, largest);
        }
    }

    void read(bool resuming, const mask_view &solid)
    {
        refuse_unknown_keys();
        read_solver_keys();
        derive();
        if (solid.values) {
            if (given("-hsolid_file"))
                reject("-hsolid_file %s: the solid nodes are handed over as an array",
                       table_.value("-hsolid_file"));
            s_.solid_array = true;
        }
        read_own_keys();
        if (solid.values) {
            const user_files::reason why = user_files::mask_array(
                solid.shape, solid.values, s_.nodes_x, s_.nodes_y, s_.nodes_z, c_.solid);
            if (!why.empty()) reject("solid: %s", why.c_str());
        }
        if (!s_.three_dimensional() && s_.walls_z())
            reject("-hwalls %s has no effect along z: the lattice is two-dimensional (-hnodes_z 1)",
                   table_.value("-hwalls"));
        // Three-dimensional snapshots are .vti files unless the classic ones
        // (of the middle layer) are asked for.
        if (s_.three_dimensional() && !given("-houtput")) s_.output = output_kind::vti;
        if (s_.shape()) complete_shape();
        check_wetting();
        check_gravity();
        read_files(resuming);
    }

    // What follows from the twelve keys, and the velocity set.
    void derive()
    {
        derive_quantities(&c_.nodes, s_.nodes_x, s_.nodes_y, &c_.lnodes, &c_.lnodes_x,
                          &c_.lnodes_y, &c_.bbspeed, &c_.tcritical, &c_.tfluid, &c_.chic2,
                          &c_.twochic2, &c_.twochi2c4, &c_.dtimetemp, s_.RTzero, s_.temperature,
                          s_.delta_time, &c_.delta_space, &c_.two_delta_space,
                          &c_.delta_space_three_three, kHalo, 1.0, 1.0, 2.0, 3.0, 1.0 / 3.0);
        set_velocity_set(c_);
    }

private:
    const parameter_table &table_;
    const char *path_;
    configuration &c_;
    settings &s_;
    run_failure kind_ = run_failure::input;
};

}  // namespace

int configuration::last_step() const
{
    return keys.last_iter + std::max(keys.ncycles, 0) * std::max(keys.niter_cycle, 0);
}

void set_velocity_set(configuration &c)
{
    double bweight[2], bspeed[2];
    init_base_vectors(bweight, c.weight, bspeed, c.cx, c.cy, &c.cfl, c.bbspeed, 0.0,
                      c.keys.delta_time, c.delta_space);
}

configuration read_configuration(const parameter_table &table, const char *path, bool resuming,
                                 const mask_view &solid)
{
    configuration c;
    c.path = path;
    reader(table, path, c).read(resuming, solid);
    return c;
}

double shape_distance(const configuration &c, int ix, int iy, int iz)
{
    const settings &s = c.keys;
    // In a periodic direction the nearest image of the centre counts.
    const auto separation = [](double d, int extent, bool periodic) {
        if (periodic) d -= extent * std::floor(d / extent + 0.5);
        return d;
    };
    const double dx = separation(ix - s.init_x, s.nodes_x, !s.walls_x());
    if (s.init == init_kind::slab) return std::fabs(dx);
    const double dy = separation(iy - s.init_y, s.nodes_y, !s.walls_y());
    if (!s.three_dimensional()) return std::sqrt(dx * dx + dy * dy);
    const double dz = separation(iz - s.init_z, s.nodes_z, !s.walls_z());
    return std::sqrt(dx * dx + dy * dy + dz * dz);
}

double liquid_fraction(const configuration &c, int ix, int iy, int iz)
{
    const settings &s = c.keys;
    const double shape =
        0.5 + 0.5 * std::tanh((s.init_radius - shape_distance(c, ix, iy, iz)) / s.init_width);
    double liquid = s.init == init_kind::bubble ? 1.0 - shape : shape;
    if (s.init_pool) {
        const double pool = 0.5 + 0.5 * std::tanh((s.init_pool_level - iy) / s.init_width);
        // a drop or a slab joins the pool; a bubble lies in it
        liquid = s.init == init_kind::bubble ? std::min(liquid, pool) : std::max(liquid, pool);
    }
    return liquid;
}

}  // namespace lean
