// A run's snapshots (snapshots.h).
#include "snapshots.h"

#include <sys/stat.h>

#include <cstring>
#include <utility>

#include "reporters.h"
#include "run_checks.h"
#include "snapshot.h"
#include "vdw_thermo.h"

namespace lean {

snapshot_writer::snapshot_writer(const configuration &c, std::string folder, std::string tag,
                                 FILE *console)
    : c_(c), folder_(std::move(folder)), tag_(std::move(tag)), console_(console)
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

[[noreturn]] static void write_failed(const std::string &path, int error)
{
    throw error_line(run_failure::file, "vdwflow: could not write the snapshot file %s completely: %s",
                     path.c_str(), std::strerror(error));
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
                                const std::function<void(double *pairs)> &velocity)
{
    const std::size_t nodes = c_.node_count();
    const int d = c_.dimensions();
    std::vector<double> u(d * nodes), ux(nodes), uy(nodes), uz(d == 3 ? nodes : 0),
        pressure(nodes);
    velocity(u.data());
    const vdw::Fluid fluid{c_.tfluid, c_.tcritical};
    for (std::size_t p = 0; p < nodes; p++) {
        const bool solid = c_.is_solid(p);
        ux[p] = solid ? 0.0 : u[d * p];
        uy[p] = solid ? 0.0 : u[d * p + 1];
        if (d == 3) uz[p] = solid ? 0.0 : u[d * p + 2];
        pressure[p] = solid ? 0.0 : fluid.pressure(density[p]);
    }
    vti::fields f;
    f.nx = c_.keys.nodes_x;
    f.ny = c_.keys.nodes_y;
    f.nz = c_.keys.nodes_z;
    f.spacing = c_.delta_space;
    f.density = density;
    f.velocity_x = ux.data();
    f.velocity_y = uy.data();
    if (d == 3) f.velocity_z = uz.data();
    f.pressure = pressure.data();
    f.solid = c_.solid.empty() ? nullptr : c_.solid.data();
    const std::string name = file_name("PV%s.%09d.vti", step);
    const std::string path = folder_ + name;
    const int error = vti::write_file(path.c_str(), f, step, step * c_.keys.delta_time);
    if (error != 0) write_failed(path, error);
    add_to_collection(step, name);
}

double total_density(const configuration &c, const double *density)
{
    double ntot = 0.0;
    const std::size_t nodes = c.node_count();
    for (std::size_t p = 0; p < nodes; p++) ntot = density[p] + ntot;
    return ntot;
}

void snapshot_writer::write(int step, const double *density,
                            const std::function<void(double *pairs)> &velocity)
{
    double ntot;
    if (c_.keys.output == output_kind::vti || c_.dimensions() == 3) {
        // The console line, summed as the snapshot writer sums it (over the
        // whole lattice); in three dimensions the classic files show its
        // middle layer.
        ntot = total_density(c_, density);
        if (console_) std::fprintf(console_, "iter=%10.10d  ntot=%25.20e\n", step, ntot);
        if (c_.keys.output != output_kind::vti) {
            const std::size_t layer =
                static_cast<std::size_t>(c_.keys.nodes_x) * static_cast<std::size_t>(c_.keys.nodes_y);
            write_snapshot_files(folder_.c_str(), tag_.c_str(),
                                 density + layer * static_cast<std::size_t>(c_.keys.nodes_z / 2),
                                 c_.keys.nodes_x, c_.keys.nodes_y, step, 1.0, 0.0, 2.0,
                                 c_.delta_space, nullptr);
        }
    } else {
        ntot = write_snapshot_files(folder_.c_str(), tag_.c_str(), density, c_.keys.nodes_x,
                                    c_.keys.nodes_y, step, 1.0, 0.0, 2.0, c_.delta_space,
                                    console_);
    }
    if (c_.keys.output != output_kind::classic) write_vti(step, density, velocity);
    check_total(ntot, step);
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
