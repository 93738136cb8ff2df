// Device state of one vdwflow run: two levels of the fused step's padded
// planes (a plane of a two-dimensional lattice, a box of a three-dimensional
// one), the link words and ghost table of its walls and solid nodes, and
// the launches of its step. Every failed runtime call throws the run_error
// of the device (reporters.h) naming this file's line; the object frees
// what it holds when it goes.
#pragma once

#include <cuda_runtime.h>

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "constants.h"
#include "decomposition.h"
#include "setup.h"

namespace lean {

class team;
struct face;

class device_state {
public:
    // The buffers for the configuration, with the padding zeroed and the
    // geometry of its walls and solid nodes uploaded. A state that the
    // device's free memory cannot hold is refused first, naming the bytes.
    explicit device_state(const configuration &c);
    // The state of the block `b` of a split lattice, whose halos the team
    // `t` exchanges with its neighbours after every step (the whole lattice
    // in one process, without a team: the images of its periodic directions).
    device_state(const configuration &c, const block &b, team *t);
    ~device_state();
    // Refuses, as the constructor would, a block whose two levels alone
    // exceed the device's free memory: for a run to call before it holds
    // anything of the lattice's size on the host.
    static void check_fits(const configuration &c, const block &b, const team &t);
    device_state(const device_state &) = delete;
    device_state &operator=(const device_state &) = delete;

    // The first level from the planes of a state (initial_state.h, of the
    // block's nodes: the
    // distributions, then the density a snapshot shows, from which the first
    // step forms its pressures).
    void upload(const double *state);
    // `count` time steps, launched without waiting for them.
    void steps(int count);
    // The density a snapshot shows (the one summed before the last step's
    // collision), a value a node; waits for the steps launched before.
    void density_to(double *out);
    // The velocity a snapshot shows (u = j / n of the level the last step
    // started from; before the first step, of the start's distributions over
    // its density), 2 or 3 components a node.
    void velocity_to(double *components);
    // What the next step starts from, as the planes upload() takes.
    void state_to(double *state);
    // Frees the device memory now, each call's status examined (the
    // destructor frees what is left without a word).
    void release();

    // The planes of a level, and the bytes the state holds on the device.
    int planes() const { return lattice_.planes; }
    std::size_t bytes() const;

    // Whether the lattice is split over processes (its halos exchanged).
    bool split() const { return split_; }
    // Seconds of the halo exchanges so far (a split lattice's; waiting for
    // the steps launched before each).
    double halo_seconds() const { return halo_seconds_; }

private:
    // Planes of a level that travel together in a halo, `depth` cells deep.
    struct plane_group {
        int first, planes, depth;
    };
    void check(cudaError_t status, int line);
    void check_memory(const configuration &c);
    static void refuse_beyond(const configuration &c, const block &b, int rank,
                              std::size_t needed, const char *least);
    void upload_plane(const double *values, double *level, int plane);
    void download_plane(const double *level, int plane, double *values);
    void refresh_images(double *level, int plane);
    void refresh_ghosts(double *out, const double *in);
    void refresh_laplacian(double *level);
    void refresh_ghost_laplacians(double *level);
    void refresh_split(double *out, const double *in);
    void sweep(double *level, std::initializer_list<plane_group> groups);
    void exchange_faces(double *level, int d, std::initializer_list<plane_group> groups);
    face face_of(int d, int from, int depth) const;
    void upload_geometry(const configuration &c);
    template <bool Walls, bool Gravity, scheme_kind Scheme>
    void launch_form(const double *in, double *out);
    template <scheme_kind Scheme>
    void launch_scheme(const double *in, double *out);

    int dimensions_ = 2;
    block part_;  // the lattice's nodes this state holds
    team *team_ = nullptr;
    bool split_ = false;     // the lattice is split: halos exchanged, not images
    int halo_ = kHalo;
    double halo_seconds_ = 0.0;
    // A split lattice's faces: on the device, and (a GPU without a CUDA-aware
    // MPI library) their copies on the host; [0] below, [1] above.
    double *face_send_[2] = {nullptr, nullptr}, *face_receive_[2] = {nullptr, nullptr};
    std::vector<double> host_send_[2], host_receive_[2];
    std::size_t face_values_ = 0;
    step_constants rc_{};      // a two-dimensional run's step
    step_constants3 rc3_{};    // a three-dimensional one's
    lattice_constants lattice_{};  // what the border's kernels take of either
    bool walls_ = false, gravity_ = false;
    scheme_kind scheme_ = scheme_kind::upwind;
    std::size_t nodes_ = 0;
    int velocities_ = 9;
    double *level_[2] = {nullptr, nullptr};
    int current_ = 0;                 // the level the next step reads
    bool stepped_ = false;            // a step since the upload
    double *nodes_buffer_ = nullptr;  // a plane of nodes for the transfers
    double *velocity_ = nullptr;      // velocity components (on a GPU, made on first use)
    // Walls and solid nodes: a link word per padded cell and the ghost table.
    unsigned *links_ = nullptr;
    unsigned long long *links3_ = nullptr;
    int *ghost_cell_ = nullptr, *ghost_first_ = nullptr, *ghost_source_ = nullptr,
        *ghost_layer_ = nullptr;
    double *ghost_weight_ = nullptr, *ghost_shift_ = nullptr;
    int ghost_count_ = 0;
    dim3 grid_, block_;               // the fused step and the transfers
    dim3 image_grid_, image_block_;   // a thread per image cell
    dim3 ghost_grid_, ghost_block_;
};

}  // namespace lean
