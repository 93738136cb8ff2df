// A vdwflow run (run.h): the one start-up of the program and the Python
// package, and what a run does afterwards.
#include "run.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <new>
#include <utility>

#include "checkpoint.h"
#include "collective.h"
#include "initial_state.h"
#include "param_reader.h"
#include "reporters.h"
#include "run_config.h"
#include "snapshots.h"
#include "state.h"
#include "team.h"
#include "user_files.h"
#include "vdw_thermo.h"

namespace lean {

namespace {

parameter_table read_parameters(const run_start &start)
{
    if (!start.has_text)
        return read_parameter_file(start.parameter_path.c_str(), LEAN_MAX_PARAMS, LEAN_TOKEN_SIZE);
    // (fmemopen wants at least one byte)
    std::string text = start.parameter_text.empty() ? std::string(" ") : start.parameter_text;
    FILE *file = fmemopen(&text[0], text.size(), "r");
    if (file == nullptr) throw error_line(run_failure::input, "no memory for the parameters");
    parameter_table table;
    try {
        read_parameter_pairs(file, start.parameter_path.c_str(), LEAN_MAX_PARAMS, LEAN_TOKEN_SIZE,
                             table);
    } catch (...) {
        std::fclose(file);
        throw;
    }
    std::fclose(file);
    return table;
}

// The run tag of the file names, as the other programs build it.
std::string run_tag(const configuration &c)
{
    const settings &s = c.keys;
    const int length = run_tag_length(s.nodes_x, s.nodes_y, c.delta_space, s.delta_time, s.tau,
                                      s.rho_zero, s.RTzero, c.tfluid, s.kappa);
    std::string tag(static_cast<std::size_t>(length) + 1, '\0');
    build_names(&tag[0], s.nodes_x, s.nodes_y, c.delta_space, s.delta_time, s.tau, s.rho_zero,
                s.RTzero, c.tfluid, s.kappa);
    tag.pop_back();
    return tag;
}

// The mean density of the fluid nodes of a state of the block `b`: the
// reference density of -hgravity_reference mean (summed in the lattice's
// order, as one process sums it).
double mean_fluid_density(const configuration &c, const block &b, team &t,
                          const std::vector<double> &state)
{
    const double *density = state.data() + static_cast<std::size_t>(density_plane(c)) * b.node_count();
    long long fluid = 0;
    const double total = ordered_sum(t, b, density, &c.solid, &fluid);
    return total / static_cast<double>(fluid);
}

}  // namespace

run_start main_job(int nodes_x, int nodes_y, const std::string &keys)
{
    run_start start;
    start.parameter_path = "parameters";
    start.has_text = true;
    // (the keys given first: of a key given twice the reader takes the
    // first, so they replace the main job's)
    start.parameter_text = keys + " -hnodes_x " + std::to_string(nodes_x) + " -hnodes_y " +
                           std::to_string(nodes_y) +
                           " -hniter 0 -hniter_cycle 2500 -hncycles 24 -hlast_iter 0"
                           " -hRTzero 1 -htemperature 0.9 -hdelta_time 1e-4 -hkappa 1e-4"
                           " -hrho_zero 1 -htau 1e-3";
    return start;
}

run::run(const run_start &start)
    : own_team_(start.processes ? nullptr : std::make_unique<team>()),
      team_(start.processes ? start.processes : own_team_.get())
{
    const bool resuming = !start.checkpoint.empty();
    together(*team_, [&] {
        c_ = read_configuration(read_parameters(start), start.parameter_path.c_str(), resuming,
                                start.solid);
        arrange_processes();
    });
    together(*team_, [&] {
        device_state::check_fits(c_, block_, *team_);
        hold_start();
    });
    if (resuming) {
        const checkpoint_found found =
            read_checkpoint(start.checkpoint, c_, block_, *team_, start_.data(),
                            start.finish_at_last_step ? c_.last_step() : INT_MAX);
        if (found.finished) {
            finished_ = true;
            note_ = found.note;
            return;
        }
        step_ = found.step;
    } else {
        together(*team_, [&] { start_fresh(start); });
        if (c_.keys.gravity_reference_mean)
            c_.keys.gravity_reference = mean_fluid_density(c_, block_, *team_, start_);
        step_ = c_.keys.last_iter;
    }
    tag_ = run_tag(c_);
    together(*team_, [&] {
        device_ = std::make_unique<device_state>(c_, block_, team_);
        if (!device_->split()) device_->upload(start_.data());
    });
    // (a split lattice's upload exchanges halos: every process's device state stands)
    if (device_->split()) device_->upload(start_.data());
    std::vector<double>().swap(start_);  // (the device holds it now)
    snapshots_ = std::make_unique<snapshot_writer>(c_, block_, *team_, start.folder, tag_,
                                                   start.console);
    if (resuming) snapshots_->resume_collection(step_);
}

// The host copy of the state the run starts from, which the device state
// takes up: a lattice too large for it is one line naming the bytes, not an
// allocation failure out of the run.
void run::hold_start()
{
    const std::size_t values = static_cast<std::size_t>(state_planes(c_)) * block_.node_count();
    try {
        start_.assign(values, 0.0);
    } catch (const std::bad_alloc &) {
        const double gigabytes = static_cast<double>(values) * sizeof(double) / 1e9;
        if (team_->size() > 1)
            throw error_line(run_failure::input,
                             "%s: a block of %d x %d x %d nodes needs %.3g GB of host memory for "
                             "the state it starts from, which process %d cannot allocate (run it "
                             "over more processes)",
                             c_.path.c_str(), block_.extent[0], block_.extent[1], block_.extent[2],
                             gigabytes, team_->rank());
        throw error_line(run_failure::input,
                         "%s: the lattice of %d x %d x %d nodes needs %.3g GB of host memory for "
                         "the state it starts from (and more on the device), which cannot be "
                         "allocated",
                         c_.path.c_str(), c_.keys.nodes_x, c_.keys.nodes_y, c_.keys.nodes_z,
                         gigabytes);
    }
}

// The process grid of a run over several processes (the keys' counts, the
// rest chosen) and this process's block of it; in one process the lattice.
void run::arrange_processes()
{
    const settings &s = c_.keys;
    const bool asked = s.processes_x > 1 || s.processes_y > 1 || s.processes_z > 1;
    if (team_->size() == 1 && !asked) {
        block_ = whole_lattice(c_);
        return;
    }
    int ranks[3] = {1, 1, 1};
    const std::string why = choose_grid(c_, team_->size(), ranks);
    if (!why.empty()) {
        if (own_team_)
            throw error_line(run_failure::input,
                             "%s: %s; this vdwflow runs in one process (build it with "
                             "-DVDWFLOW_MPI=ON for mpirun)",
                             c_.path.c_str(), why.c_str());
        throw error_line(run_failure::input, "%s: %s", c_.path.c_str(), why.c_str());
    }
    const bool periodic[3] = {!s.walls_x(), !s.walls_y(), !s.walls_z()};
    int coords[3];
    team_->arrange(ranks, periodic, coords);
    block_ = block_at(c_, ranks, coords);
}

run::~run() = default;

// The initial state of a fresh run: the setup's, or the density handed
// over, at rest or moving with the velocity handed over.
void run::start_fresh(const run_start &start)
{
    if (start.density.values) {
        const user_files::reason why = user_files::density_array(
            start.density.shape, start.density.values, c_.keys.nodes_x, c_.keys.nodes_y,
            c_.keys.nodes_z, c_.init_density);
        if (!why.empty()) throw error_line(run_failure::input, "density: %s", why.c_str());
        c_.keys.init = init_kind::file;
    }
    start_ = initial_state(c_, block_);
    if (start.velocity_x && start.velocity_y) {
        // (the equilibria of the lattice hold only below the speed of sound)
        const double sound = std::sqrt(c_.chic2);
        const bool three = c_.dimensions() == 3;
        const std::size_t nx = c_.keys.nodes_x, ny = c_.keys.nodes_y;
        for (std::size_t p = 0; p < c_.node_count(); p++) {
            const double uz = three ? start.velocity_z[p] : 0.0;
            const double speed = three ? std::sqrt(start.velocity_x[p] * start.velocity_x[p] +
                                                   start.velocity_y[p] * start.velocity_y[p] + uz * uz)
                                       : std::hypot(start.velocity_x[p], start.velocity_y[p]);
            if (speed < sound) continue;
            if (three)
                throw error_line(run_failure::input,
                                 "velocity: |u| = %g at node (%zu, %zu, %zu) (x, y, z) is not below "
                                 "the speed of sound %g (sqrt(T))",
                                 speed, p % nx, p / nx % ny, p / nx / ny, sound);
            throw error_line(run_failure::input,
                             "velocity: |u| = %g at node (%zu, %zu) (x, y) is not below the "
                             "speed of sound %g (sqrt(T))",
                             speed, p % nx, p / nx, sound);
        }
        set_initial_velocity(c_, start_, start.velocity_x, start.velocity_y, start.velocity_z);
    }
}

void run::steps(int count)
{
    if (count <= 0) return;
    device_->steps(count);
    step_ += count;
}

// Node `block_node` of the block (x fastest) as a node of the lattice.
std::size_t run::lattice_index(std::size_t block_node) const
{
    if (block_.whole()) return block_node;
    const std::size_t ex = block_.extent[0], ey = block_.extent[1];
    const std::size_t x = block_node % ex, y = block_node / ex % ey, z = block_node / ex / ey;
    return ((z + block_.origin[2]) * block_.nodes[1] + y + block_.origin[1]) * block_.nodes[0] +
           x + block_.origin[0];
}

void run::clear_solid(double *values, int per_node) const
{
    if (c_.solid.empty()) return;
    for (std::size_t p = 0; p < block_.node_count(); p++)
        if (c_.solid[lattice_index(p)])
            for (int k = 0; k < per_node; k++) values[per_node * p + k] = 0.0;
}

void run::density(double *out)
{
    device_->density_to(out);
    clear_solid(out, 1);
}

void run::velocity(double *components)
{
    device_->velocity_to(components);
    clear_solid(components, c_.dimensions());
}

void run::pressure(double *out)
{
    density(out);
    const vdw::Fluid fluid{c_.tfluid, c_.tcritical};
    for (std::size_t p = 0; p < block_.node_count(); p++)
        out[p] = c_.is_solid(lattice_index(p)) ? 0.0 : fluid.pressure(out[p]);
}

double run::total_density()
{
    std::vector<double> values(block_.node_count());
    density(values.data());
    if (team_->size() == 1) return lean::total_density(c_, values.data());
    return ordered_sum(*team_, block_, values.data(), nullptr, nullptr);
}

double run::halo_seconds() const
{
    return device_ ? device_->halo_seconds() : 0.0;
}

void run::write_snapshot()
{
    std::vector<double> values(block_.node_count());
    density(values.data());
    snapshots_->write(step_, values.data(), [this](double *u) { velocity(u); });
}

void run::write_checkpoint(const std::string &path)
{
    const std::size_t nodes = block_.node_count();
    std::vector<double> state(static_cast<std::size_t>(state_planes(c_)) * nodes);
    device_->state_to(state.data());
    clear_solid(state.data() + static_cast<std::size_t>(density_plane(c_)) * nodes, 1);
    lean::write_checkpoint(path, c_, block_, *team_, state.data(), step_);
}

void run::release()
{
    if (device_) device_->release();
}

std::size_t run::device_bytes() const
{
    return device_ ? device_->bytes() : 0;
}

}  // namespace lean
