// Device state of one vdwflow run: two levels of the fused step's padded
// planes, the link words and ghost table of its walls and solid nodes, and
// the launches of its step. Every failed runtime call throws the run_error
// of the device (reporters.h) naming this file's line; the object frees
// what it holds when it goes.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <vector>

#include "constants.h"
#include "setup.h"

namespace lean {

class device_state {
public:
    // The buffers for the configuration, with the padding zeroed and the
    // geometry of its walls and solid nodes uploaded.
    explicit device_state(const configuration &c);
    ~device_state();
    device_state(const device_state &) = delete;
    device_state &operator=(const device_state &) = delete;

    // The first level from the planes of a state (initial_state.h: the nine
    // distributions, then the density a snapshot shows, from which the first
    // step forms its pressures).
    void upload(const double *state);
    // `count` time steps, launched without waiting for them.
    void steps(int count);
    // The density a snapshot shows (the one summed before the last step's
    // collision), c.nodes values; waits for the steps launched before.
    void density_to(double *out);
    // The velocity a snapshot shows after a step (u = j / n of the level the
    // last step started from), c.nodes (ux, uy) pairs.
    void velocity_to(double *pairs);
    // What the next step starts from, as the planes upload() takes.
    void state_to(double *state);

    // Frees the device memory now, each call's status examined (the
    // destructor frees what is left without a word).
    void release();

    // The planes of a level, and the bytes the state holds on the device.
    int planes() const { return rc_.planes; }
    std::size_t bytes() const;

private:
    void check(cudaError_t status, int line);
    void upload_plane(const double *values, double *level, int plane);
    void download_plane(const double *level, int plane, double *values);
    void refresh_ghosts(double *out, const double *in);
    void refresh_laplacian(double *level);
    void upload_geometry(const configuration &c);
    template <bool Walls, bool Gravity, scheme_kind Scheme>
    void launch_form(const double *in, double *out);
    template <scheme_kind Scheme>
    void launch_scheme(const double *in, double *out);

    step_constants rc_{};
    lattice_constants lattice_{};  // (rc_'s part that the border's kernels take)
    bool walls_ = false, gravity_ = false;
    scheme_kind scheme_ = scheme_kind::upwind;
    int nodes_ = 0;
    double *level_[2] = {nullptr, nullptr};
    int current_ = 0;           // the level the next step reads
    double *nodes_buffer_ = nullptr;  // a plane of nodes for the transfers
    double *pairs_ = nullptr;   // velocity pairs (on a GPU, made on first use)
    // Walls and solid nodes: a link word per padded cell and the ghost table.
    unsigned *links_ = nullptr;
    int *ghost_cell_ = nullptr, *ghost_first_ = nullptr, *ghost_source_ = nullptr,
        *ghost_layer_ = nullptr;
    double *ghost_weight_ = nullptr, *ghost_shift_ = nullptr;
    int ghost_count_ = 0;
    dim3 grid_, block_;               // the fused step and the transfers
    dim3 image_grid_, image_block_;   // a thread per image cell
    dim3 ghost_grid_, ghost_block_;
};

}  // namespace lean
