// A vdwflow run as one object: its configuration, its state on the device,
// its step counter, its snapshots and checkpoints. The program's driver owns
// one, the Python module one per simulation; two runs in one process share
// nothing. Every failure throws the run_error that the program prints and
// the module raises (reporters.h).
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "decomposition.h"
#include "setup.h"

namespace lean {

class device_state;
class snapshot_writer;
class team;

// An array handed to a run (the Python package's): values and shape.
struct array_view {
    const double *values = nullptr;
    std::vector<std::size_t> shape;
};

// Where a run comes from and where its files go.
struct run_start {
    // The parameters: the file `parameter_path`, or `parameter_text` (then
    // `parameter_path` only names it in messages) where `has_text` is set.
    std::string parameter_path = "nw2cuda.input";
    bool has_text = false;
    std::string parameter_text;
    std::string folder;      // the snapshot files: "" (the working folder) or a path ending in '/'
    std::string checkpoint;  // the checkpoint a resumed run continues from ("": a fresh start)
    // Whether a checkpoint at or past the run's last snapshot label leaves
    // nothing to do (the program); else any step continues (the package).
    bool finish_at_last_step = true;
    // An initial density instead of the setup's, shape (nodes_y, nodes_x) or
    // (nodes_z, nodes_y, nodes_x), checked as -hinit_file's; an initial
    // velocity, a value a node of each component (z only in three
    // dimensions), below the speed of sound (the distributions start at the
    // equilibrium of both).
    array_view density;
    const double *velocity_x = nullptr, *velocity_y = nullptr, *velocity_z = nullptr;
    // Solid nodes instead of -hsolid_file, of the density's shape.
    mask_view solid;
    FILE *console = nullptr;  // the snapshot lines (iter=... ntot=...); null: none
    // The processes of a run over several (an MPI job), each of which makes
    // its run object with the same start; null: this process alone. The
    // arrays above are for a run in one process.
    team *processes = nullptr;
};

// The main job's parameters (examples/nw2cuda.input) on a lattice of
// nodes_x x nodes_y nodes, with `keys` added or replacing its own
// ("-hwalls xy -htemperature 0.8 ..."): the start of the timers and
// benchmarks.
run_start main_job(int nodes_x, int nodes_y, const std::string &keys = "");

class run {
public:
    // The start-up: the parameters read and checked, the process grid of a
    // run over several processes chosen, the initial state (or the
    // checkpoint's) of this process's block made and uploaded. Nothing is
    // written yet.
    explicit run(const run_start &start);
    ~run();
    run(const run &) = delete;
    run &operator=(const run &) = delete;

    // A resumed run whose checkpoint is at or past its last step: it holds
    // no device state, and `finished_note` says so in one line.
    bool finished() const { return finished_; }
    const std::string &finished_note() const { return note_; }

    // `count` time steps, launched without waiting for them.
    void steps(int count);
    // The snapshot of the current step (files and console line), then the
    // check that its total density is finite.
    void write_snapshot();
    // The checkpoint of the current step, written atomically to `path`.
    void write_checkpoint(const std::string &path);
    // Frees the device memory, each call's status examined.
    void release();

    // The fields a snapshot shows at the current step, a value a node of
    // this process's block (the lattice, in one process; x fastest, then y,
    // then z; the velocity's 2 or 3 components a node); solid nodes 0. The
    // velocity is that of the level the last step started from; before any
    // step, that of the start's distributions over its density.
    void density(double *out);
    void velocity(double *components);
    void pressure(double *out);
    // The lattice's, summed as the console line sums it (every process).
    double total_density();

    int step() const { return step_; }
    const configuration &config() const { return c_; }
    const block &part() const { return block_; }
    team &processes() const { return *team_; }
    // Seconds of the halo exchanges so far (a run over several processes).
    double halo_seconds() const;
    const std::string &tag() const { return tag_; }
    // Bytes of its state on the device.
    std::size_t device_bytes() const;

private:
    void start_fresh(const run_start &start);
    void clear_solid(double *values, int per_node) const;
    std::size_t lattice_index(std::size_t block_node) const;
    void arrange_processes();
    void hold_start();

    std::unique_ptr<team> own_team_;  // a run in one process: its team of one
    team *team_ = nullptr;
    configuration c_;
    block block_;
    std::vector<double> start_;  // the state it starts from, until the device has it
    std::unique_ptr<device_state> device_;
    std::unique_ptr<snapshot_writer> snapshots_;
    std::string tag_;
    int step_ = 0;
    bool finished_ = false;
    std::string note_;
};

}  // namespace lean
