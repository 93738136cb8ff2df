// vdwflow's snapshots, checkpoint and gravity reference (lean_session.h).
#include "lean_session.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "device_mirror.h"
#include "kernels/sp_div.cuh"
#include "lean_state.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"
#include "setup.h"
#include "snapshot.h"
#include "vdw_thermo.h"

// Snapshots: the files of the other programs, and with -houtput vti or both
// the VTK XML image data (density, velocity, pressure) of every snapshot and
// the collection that lists them for ParaView.

static std::vector<vti::entry> hcollection;  // the .vti files of the run so far

std::vector<vti::entry> &lean_collection()
{
    return hcollection;
}

// A file of the snapshot folder.
static std::string in_folder(const std::string &name)
{
    return snapshot_folder() + name;
}

static std::string snapshot_file_name(const char *format, const char *tag, int iter)
{
    const int length = std::snprintf(nullptr, 0, format, tag, iter);
    std::string name(static_cast<size_t>(length) + 1, '\0');
    std::snprintf(&name[0], name.size(), format, tag, iter);
    name.pop_back();
    return name;
}

[[noreturn]] static void snapshot_write_failed(const std::string &name, int error)
{
    std::fflush(stdout);
    std::fprintf(stderr, "vdwflow: could not write the snapshot file %s completely: %s\n",
                 name.c_str(), std::strerror(error));
    note_failure(run_failure::file);
    end_run(1);
}

// Adds the .vti of step `iter` to the collection (a snapshot label rewritten
// by cycles without steps replaces its entry) and rewrites the .pvd.
static void add_to_collection(const char *tag, int iter, const std::string &file)
{
    const double time = iter * hdelta_time;
    if (!hcollection.empty() && hcollection.back().file == file)
        hcollection.back().time = time;
    else
        hcollection.push_back({time, file});
    const std::string collection = in_folder(snapshot_file_name("PV%s.pvd", tag, 0));
    const int error = vti::write_collection(collection.c_str(), hcollection);
    if (error != 0) snapshot_write_failed(collection, error);
}

void lean_snapshot_velocity(double *ux, double *uy, double *scratch, bool on_device)
{
    const double *rho = hgf + static_cast<long long>(hkn) * hnodes;
    if (on_device) {
        lean_velocity_to_host(ux, uy, scratch);
    } else {
        for (int p = 0; p < hnodes; p++) {
            double jx = 0.0, jy = 0.0;
            for (int i = 0; i < hnvelocities; i++) {
                jx += hgf[static_cast<long long>(i) * hnodes + p] * hcspeed_x[i];
                jy += hgf[static_cast<long long>(i) * hnodes + p] * hcspeed_y[i];
            }
            ux[p] = sp_div(jx, rho[p]);
            uy[p] = sp_div(jy, rho[p]);
        }
    }
    if (!hsolid_nodes.empty())
        for (int p = 0; p < hnodes; p++)
            if (hsolid_nodes[static_cast<size_t>(p)]) ux[p] = uy[p] = 0.0;
}

void lean_snapshot_pressure(double *pressure)
{
    const double *rho = hgf + static_cast<long long>(hkn) * hnodes;
    const vdw::Fluid fluid{htfluid, htcritical};
    for (int p = 0; p < hnodes; p++)
        pressure[p] = !hsolid_nodes.empty() && hsolid_nodes[static_cast<size_t>(p)]
                          ? 0.0
                          : fluid.pressure(rho[p]);
}

double lean_snapshot_total()
{
    const double *v = hgf + static_cast<long long>(hkn) * hnodes;
    double ntot = 0.0;
    for (int y = 0; y < hnodes_y; y++)
        for (int x = 0; x < hnodes_x; x++)
            ntot = v[y * hnodes_x + x] + ntot;
    return ntot;
}

// The .vti of the snapshot whose density stands in slot hkn of hgf.
static void write_vti_snapshot(const char *tag, bool on_device)
{
    double *rho = hgf + static_cast<long long>(hkn) * hnodes;
    double *ux = hgf + static_cast<long long>(hkux) * hnodes;
    double *uy = hgf + static_cast<long long>(hkuy) * hnodes;
    double *pressure = hgf + static_cast<long long>(hkpid) * hnodes;
    lean_snapshot_velocity(ux, uy, pressure, on_device);
    lean_snapshot_pressure(pressure);
    vti::fields f;
    f.nx = hnodes_x;
    f.ny = hnodes_y;
    f.spacing = hdelta_space;
    f.density = rho;
    f.velocity_x = ux;
    f.velocity_y = uy;
    f.pressure = pressure;
    f.solid = hsolid_nodes.empty() ? nullptr : hsolid_nodes.data();
    const std::string name = snapshot_file_name("PV%s.%09d.vti", tag, hniter);
    const std::string path = in_folder(name);
    const int error = vti::write_file(path.c_str(), f, hniter, hniter * hdelta_time);
    if (error != 0) snapshot_write_failed(path, error);
    add_to_collection(tag, hniter, name);
}

// The console line "iter=... ntot=..." alone, summed as the snapshot writer
// sums it, for a run that writes no BP, BV and PV files.
static void print_snapshot_line()
{
    const double ntot = lean_snapshot_total();
    hntot = ntot;
    std::printf("iter=%10.10d  ntot=%25.20e\n", hniter, ntot);
}

void lean_clear_solid_density()
{
    if (!hsolid_nodes.empty())
        for (int p = 0; p < hnodes; p++)
            if (hsolid_nodes[static_cast<size_t>(p)])
                hgf[static_cast<long long>(hkn) * hnodes + p] = 0.0;
}

void lean_write_snapshot(const char *tag, bool on_device)
{
    lean_clear_solid_density();
    if (hsetup.output == output_kind::vti)
        print_snapshot_line();
    else
        profile(tag, hgf, hnodes, hnodes_x, hnodes_y, hkn, hniter, 1.0, 0.0, 2.0, hdelta_space);
    if (hsetup.output != output_kind::classic)
        write_vti_snapshot(tag, on_device);
    check_snapshot_total(hntot, hniter);
}

void lean_resume_collection(const char *tag, int resumed_from)
{
    if (hsetup.output == output_kind::classic) return;
    for (int c = 0; c <= hncycles; c++) {
        const int label = hlast_iter + c * hniter_cycle;
        if (label > resumed_from) break;
        const std::string name = snapshot_file_name("PV%s.%09d.vti", tag, label);
        struct stat st;
        if (::stat(in_folder(name).c_str(), &st) != 0) continue;
        if (!hcollection.empty() && hcollection.back().file == name) continue;
        hcollection.push_back({label * hdelta_time, name});
    }
}

void lean_resolve_gravity_reference()
{
    if (!hsetup.gravity_reference_mean) return;
    double total = 0.0;
    long long fluid = 0;
    for (int p = 0; p < hnodes; p++)
        if (hsolid_nodes.empty() || !hsolid_nodes[static_cast<size_t>(p)]) {
            total += hgf[static_cast<long long>(hkn) * hnodes + p];
            fluid++;
        }
    hsetup.gravity_reference = total / static_cast<double>(fluid);
}

void lean_write_checkpoint(const char *path)
{
    static_assert(kCheckpointPlanes == 10, "the distributions and the density");
    lean_state_to_host();
    lean_clear_solid_density();
    write_checkpoint_file(path, hgf, hniter);
}
