// A run's snapshots (snapshots.h).
#include "snapshots.h"

#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "collective.h"
#include "reporters.h"
#include "run_checks.h"
#include "snapshot.h"
#include "team.h"
#include "vdw_thermo.h"

namespace lean {

snapshot_writer::snapshot_writer(const configuration &c, const block &b, team &t,
                                 std::string folder, std::string tag, FILE *console)
    : c_(c), block_(b), team_(t), folder_(std::move(folder)), tag_(std::move(tag)),
      console_(console)
{
}

std::string snapshot_writer::file_name(const char *format, int step) const
{
    const int length = std::snprintf(nullptr, 0, format, tag_.c_str(), step);
    std::string name(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&name[0], name.size(), format, tag_.c_str(), step);
    name.pop_back();
    return name;
}

[[noreturn]] static void write_failed(const std::string &path, const std::string &why)
{
    throw error_line(run_failure::file, "vdwflow: could not write the snapshot file %s completely: %s",
                     path.c_str(), why.c_str());
}

[[noreturn]] static void write_failed(const std::string &path, int error)
{
    write_failed(path, std::strerror(error));
}

// Adds the .vti of step `step` to the collection (a snapshot label rewritten
// by cycles without steps replaces its entry) and rewrites the .pvd.
void snapshot_writer::add_to_collection(int step, const std::string &file)
{
    const double time = step * c_.keys.delta_time;
    if (!collection_.empty() && collection_.back().file == file)
        collection_.back().time = time;
    else
        collection_.push_back({time, file});
    const std::string path = folder_ + file_name("PV%s.pvd", 0);
    const int error = vti::write_collection(path.c_str(), collection_);
    if (error != 0) write_failed(path, error);
}

void snapshot_writer::write_vti(int step, const double *density,
                                const std::function<void(double *components)> &velocity)
{
    // The fields of the block (the lattice in one process), solid nodes 0.
    const std::size_t nodes = block_.node_count();
    const int d = c_.dimensions();
    const bool one = team_.size() == 1;
    std::vector<double> u(d * nodes), pressure(nodes);
    std::vector<double> ux(one ? nodes : 0), uy(one ? nodes : 0), uz(one && d == 3 ? nodes : 0);
    std::vector<double> triples(one ? 0 : 3 * nodes);
    std::vector<unsigned char> solid(one || c_.solid.empty() ? 0 : nodes);
    velocity(u.data());
    const vdw::Fluid fluid{c_.tfluid, c_.tcritical};
    std::size_t p = 0;
    for (int iz = 0; iz < block_.extent[2]; iz++)
        for (int iy = 0; iy < block_.extent[1]; iy++)
            for (int ix = 0; ix < block_.extent[0]; ix++, p++) {
                const std::size_t node =
                    (static_cast<std::size_t>(block_.origin[2] + iz) * block_.nodes[1] +
                     block_.origin[1] + iy) * block_.nodes[0] + block_.origin[0] + ix;
                const bool is_solid = c_.is_solid(node);
                const double vx = is_solid ? 0.0 : u[d * p], vy = is_solid ? 0.0 : u[d * p + 1];
                const double vz = is_solid || d == 2 ? 0.0 : u[d * p + 2];
                if (one) {
                    ux[p] = vx;
                    uy[p] = vy;
                    if (d == 3) uz[p] = vz;
                } else {
                    triples[3 * p] = vx;
                    triples[3 * p + 1] = vy;
                    triples[3 * p + 2] = vz;
                    if (!solid.empty()) solid[p] = c_.solid[node];
                }
                pressure[p] = is_solid ? 0.0 : fluid.pressure(density[p]);
            }
    vti::fields f;
    f.nx = c_.keys.nodes_x;
    f.ny = c_.keys.nodes_y;
    f.nz = c_.keys.nodes_z;
    f.spacing = c_.delta_space;
    f.density = density;
    f.velocity_x = one ? ux.data() : triples.data();
    f.velocity_y = one ? uy.data() : triples.data();
    if (d == 3) f.velocity_z = one ? uz.data() : triples.data();
    f.pressure = pressure.data();
    f.solid = c_.solid.empty() ? nullptr : c_.solid.data();
    const std::string name = file_name("PV%s.%09d.vti", step);
    const std::string path = folder_ + name;
    const double time = step * c_.keys.delta_time;
    if (one) {
        const int error = vti::write_file(path.c_str(), f, step, time);
        if (error != 0) write_failed(path, error);
        add_to_collection(step, name);
        return;
    }

    // Every process its block of each array, the first the head, the byte
    // counts and the tail (the same bytes as one process writes; the
    // arrays little-endian as the machine's own).
    std::string why;
    vti::layout l;
    const int invalid = vti::layout_of(f, step, time, l);
    if (invalid != 0) why = std::strerror(invalid);
    else if (__BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__)
        why = "a machine of big-endian byte order writes .vti files in one process only";
    std::unique_ptr<shared_file> file;
    if (why.empty()) file = team_.open_shared(path, true, why);
    if (file) {
        const auto keep = [&why](std::string failure) {
            if (why.empty()) why = std::move(failure);
        };
        if (team_.rank() == 0) {
            keep(file->write_at(0, l.head.data(), l.head.size()));
            for (const vti::layout::array &a : l.arrays) {
                unsigned char count[8];
                for (int i = 0; i < 8; i++) count[i] = static_cast<unsigned char>(a.bytes >> (8 * i));
                keep(file->write_at(a.at, count, sizeof count));
            }
            keep(file->write_at(l.size - l.tail.size(), l.tail.data(), l.tail.size()));
        }
        for (const vti::layout::array &a : l.arrays) {
            const std::string array = a.name;
            if (array == "density") keep(file->write_block(a.at + 8, block_, 1, 8, density));
            else if (array == "velocity") keep(file->write_block(a.at + 8, block_, 3, 8, triples.data()));
            else if (array == "pressure") keep(file->write_block(a.at + 8, block_, 1, 8, pressure.data()));
            else keep(file->write_block(a.at + 8, block_, 1, 1, solid.data()));
        }
        keep(file->close());
    }
    together(team_, [&] {
        if (!why.empty()) write_failed(path, why);
        if (team_.rank() == 0) add_to_collection(step, name);
    });
}

double total_density(const configuration &c, const double *density)
{
    double ntot = 0.0;
    const std::size_t nodes = c.node_count();
    for (std::size_t p = 0; p < nodes; p++) ntot = density[p] + ntot;
    return ntot;
}

// The console line and the classic files, as one process writes them: of
// a split lattice, the first process writes them from the lattice's
// density gathered (two dimensions) or its middle layer (three), the total
// summed in the order of one process. The total density, on every process.
double snapshot_writer::write_classic(int step, const double *density)
{
    const bool three = c_.dimensions() == 3, vti_only = c_.keys.output == output_kind::vti;
    const bool one = team_.size() == 1, first = team_.rank() == 0;
    const int nx = c_.keys.nodes_x, ny = c_.keys.nodes_y, nz = c_.keys.nodes_z;
    const std::size_t layer = static_cast<std::size_t>(nx) * static_cast<std::size_t>(ny);
    // (the lattice's density, of a 2-D lattice; a 3-D one's middle layer)
    const double *whole = density;
    const double *middle = density + layer * static_cast<std::size_t>(nz / 2);
    std::vector<double> gathered;
    double ntot = 0.0;
    if (!one && three) {
        ntot = ordered_sum(team_, block_, density, nullptr, nullptr);
        if (!vti_only) {
            gathered.resize(first ? layer : 0);
            const long long row0 = static_cast<long long>(nz / 2) * ny;
            gather_rows(team_, block_, density, 1, row0, row0 + ny, gathered.data());
            middle = gathered.data();
        }
    } else if (!one && !vti_only) {
        gathered.resize(first ? layer : 0);
        gather_rows(team_, block_, density, 1, 0, ny, gathered.data());
        whole = gathered.data();
    } else if (!one) {
        ntot = ordered_sum(team_, block_, density, nullptr, nullptr);
    }
    together(team_, [&] {
        if (!first) return;
        if (vti_only || three) {
            // The console line, summed as the snapshot writer sums it (over the
            // whole lattice); in three dimensions the classic files show its
            // middle layer.
            if (one) ntot = total_density(c_, density);
            if (console_) std::fprintf(console_, "iter=%10.10d  ntot=%25.20e\n", step, ntot);
            if (!vti_only)
                write_snapshot_files(folder_.c_str(), tag_.c_str(), middle, nx, ny, step, 1.0, 0.0,
                                     2.0, c_.delta_space, nullptr);
        } else {
            ntot = write_snapshot_files(folder_.c_str(), tag_.c_str(), whole, nx, ny, step, 1.0,
                                        0.0, 2.0, c_.delta_space, console_);
        }
    });
    team_.broadcast(&ntot, sizeof ntot);
    return ntot;
}

void snapshot_writer::write(int step, const double *density,
                            const std::function<void(double *components)> &velocity)
{
    const double ntot = write_classic(step, density);
    if (c_.keys.output != output_kind::classic) write_vti(step, density, velocity);
    together(team_, [&] { check_total(ntot, step); });
}

void snapshot_writer::resume_collection(int resumed_from)
{
    if (c_.keys.output == output_kind::classic) return;
    for (int cycle = 0; cycle <= c_.keys.ncycles; cycle++) {
        const int label = c_.keys.last_iter + cycle * c_.keys.niter_cycle;
        if (label > resumed_from) break;
        const std::string name = file_name("PV%s.%09d.vti", label);
        struct stat st;
        if (::stat((folder_ + name).c_str(), &st) != 0) continue;
        if (!collection_.empty() && collection_.back().file == name) continue;
        collection_.push_back({label * c_.keys.delta_time, name});
    }
}

}  // namespace lean
