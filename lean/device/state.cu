// The device state of a vdwflow run and the launches of its step (state.h).
#include "state.h"

#include "step.cuh"
#include "step3.cuh"
#include "halo.cuh"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "boundaries.h"

#include "reporters.h"
#include "run_checks.h"
#include "team.h"
#include "vdw_thermo.h"

namespace lean {

namespace {

size_t doubles(std::int64_t count)
{
    return static_cast<size_t>(count) * sizeof(double);
}

// Blocks of the fused step. On a GPU, 32 x 8 threads: a warp along each row.
// On the cpu backend a block's row of threads is one vector loop: blocks of
// one row, split evenly into strips of at most kCpuStrip nodes, so that the
// rows a step reads around the current one (five of the density and
// pressure planes, three of the distributions) and the row it writes stay in
// a core's cache.
dim3 step_block(int nodes_x)
{
#ifdef __CUDACC__
    (void)nodes_x;
    return dim3(32, 8, 1);
#else
    constexpr int kCpuStrip = 512;
    const int strips = (nodes_x + kCpuStrip - 1) / kCpuStrip;
    const int width = (nodes_x + strips - 1) / strips;
    return dim3(static_cast<unsigned>((width + 7) / 8 * 8), 1, 1);
#endif
}

// The Lax-Wendroff scheme's hyperviscosity grows where the interface is
// resolved by fewer nodes: (2.5 / W)^2 for an equilibrium interface of tanh
// width W below 2.5 nodes (T/Tc 0.8 at kappa 1e-4), else 1.
double interface_resolution_factor(const configuration &c)
{
    if (!(c.tfluid < c.tcritical) || !(c.keys.kappa > 0.0)) return 1.0;
    const vdw::Fluid fluid{c.tfluid, c.tcritical};
    const double width =
        vdw::interface_width(fluid, vdw::coexistence(fluid), c.keys.kappa) / c.delta_space;
    return width < 2.5 ? (2.5 / width) * (2.5 / width) : 1.0;
}

// What the border's kernels take: the geometry of a level (of the block's
// padded box) and the fluid.
lattice_constants lattice_of(const configuration &c, const block &b, int row, int slab, int plane,
                             int planes)
{
    const bool three = c.dimensions() == 3;
    lattice_constants k{};
    k.row = row;
    k.slab = slab;
    k.plane = plane;
    k.planes = planes;
    k.halo = b.halo;
    k.origin = b.halo + b.halo * row + (three ? b.halo * slab : 0);
    k.nodes_x = b.extent[0];
    k.nodes_y = b.extent[1];
    k.nodes_z = b.extent[2];
    k.walls = static_cast<int>(c.keys.walls);
    k.density_plane = three ? kLean3N : kLeanN;
    k.difference_plane = three ? kLean3Dp : kLeanDp;
    k.laplacian_plane = three ? kLean3Lap : kLeanLap;
    k.tfluid = c.tfluid;
    k.tcritical = c.tcritical;
    const double h = c.delta_space;
    k.laplacian_scale = 1.0 / (6.0 * h * h);
    return k;
}

// The constants a step carries: the lattice's, the fluid's and the scheme's.
template <class Constants>
Constants constants_of(const configuration &c, const lattice_constants &lattice)
{
    const settings &s = c.keys;
    Constants k{};
    static_cast<lattice_constants &>(k) = lattice;
    k.kappa = s.kappa;
    k.delta_time = s.delta_time;
    k.tau = s.tau;
    k.cfl = c.cfl;
    k.dtimetemp = c.dtimetemp;
    k.chic2 = c.chic2;
    k.twochic2 = c.twochic2;
    k.twochi2c4 = c.twochi2c4;
    k.two_delta_space = c.two_delta_space;
    k.delta_space_three_three = c.delta_space_three_three;
    k.gravity_x = s.gravity_x;
    k.gravity_y = s.gravity_y;
    k.gravity_ref_x = s.gravity_x * s.gravity_reference;
    k.gravity_ref_y = s.gravity_y * s.gravity_reference;
    if constexpr (std::is_same_v<Constants, step_constants3>) {
        k.c = c.bbspeed;
        k.gravity_z = s.gravity_z;
        k.gravity_ref_z = s.gravity_z * s.gravity_reference;
    } else {
        for (int i = 0; i < 9; i++) {
            k.cx[i] = c.cx[i];
            k.cy[i] = c.cy[i];
            k.w[i] = c.weight[i];
        }
    }
    // The Lax-Wendroff scheme (docs/physics.md): its coefficient
    // (cfl / 2)(1 - cfl), the gradient's 1 / 2h, the dispersion h^2 T / 6,
    // and the equilibrium's factors (the Laplacian's 1 / 6h^2 is the
    // lattice's).
    const double h = c.delta_space;
    k.lw_coefficient = 0.5 * c.cfl * (1.0 - c.cfl);
    k.inv_two_h = 1.0 / c.two_delta_space;
    k.dispersion = h * h * c.tfluid / 6.0;
    k.c_over_cs2 = c.bbspeed / c.chic2;
    // The viscosity of the upwind runs, tau T + c h / 6: the upwind's own
    // diffusion becomes a physical viscosity.
    k.rate = s.delta_time / (s.tau + c.bbspeed * h / (6.0 * c.tfluid));
    if (s.scheme == scheme_kind::lax_wendroff)
        k.hyper = c.cfl / 8.0 * interface_resolution_factor(c);
    return k;
}

}  // namespace

// A refused or failed launch goes to the run's failure with the line of the
// launch; the last error is cleared first, so that what an unexamined call
// left there is not taken for the launch's.
#define LAUNCH(kernel, ...)                        \
    do {                                           \
        cudaGetLastError();                        \
        launch<kernel>(__VA_ARGS__);               \
        check(cudaGetLastError(), __LINE__);       \
    } while (0)
#define CHECK(call) check((call), __LINE__)

void device_state::check(cudaError_t status, int line)
{
    if (status == cudaSuccess) return;
    run_error e;
    e.kind = run_failure::device;
    e.device = status;
    e.line = line;
    char text[256];
    std::snprintf(text, sizeof text, "%s in state.cu at line %d\n", cudaGetErrorString(status),
                  line);
    e.out = text;
    throw e;
}

device_state::device_state(const configuration &c)
    : device_state(c, whole_lattice(c), nullptr)
{
}

device_state::device_state(const configuration &c, const block &b, team *t)
    : dimensions_(c.dimensions()), part_(b), team_(t), split_(!b.whole()), halo_(b.halo),
      nodes_(b.node_count()), velocities_(c.velocities())
{
    const settings &s = c.keys;
    const bool three = dimensions_ == 3;
    walls_ = s.has_solid();
    gravity_ = s.has_gravity();
    scheme_ = s.scheme;
    const int ex = b.extent[0], ey = b.extent[1], ez = b.extent[2];

    // The step's blocks cover the block of nodes; the cells they reach past
    // it are padding, and the stencils reach a halo of cells further (along
    // z too in a box, whose layers the grid's z counts).
    block_ = step_block(ex);
    const std::int64_t bx = block_.x, by = block_.y;
    const std::int64_t covered_x = (ex + bx - 1) / bx * bx;
    const std::int64_t covered_y = (ey + by - 1) / by * by;
    const std::int64_t row = covered_x + 2 * halo_;
    const std::int64_t slab = row * (covered_y + 2 * halo_);
    const std::int64_t plane = three ? slab * (ez + 2 * halo_) : slab;
    const bool lw = scheme_ == scheme_kind::lax_wendroff;
    const int planes = three ? (lw ? kLean3PlanesLW : kLean3Planes) : (lw ? kLeanPlanesLW : kLeanPlanes);
    if (three) {
        if (planes * plane > INT_MAX)
            throw error_line(run_failure::input,
                             "%s: a block of %d x %d x %d nodes gives %lld values of the lean "
                             "state, more than %d (run it over more processes: mpirun -n)",
                             c.path.c_str(), ex, ey, ez, static_cast<long long>(planes * plane),
                             INT_MAX);
    } else {
        check_elements(c.path.c_str(), ex, ey, "lean state", planes * plane);
    }
    lattice_ = lattice_of(c, b, static_cast<int>(row), static_cast<int>(slab),
                          static_cast<int>(plane), planes);
    if (three)
        rc3_ = constants_of<step_constants3>(c, lattice_);
    else
        rc_ = constants_of<step_constants>(c, lattice_);
    // (x down the lattice, y across: the kernels' order; z a layer each)
    // (three dimensions: the grid's x counts blocks of rows and layers, in
    // pencils marched along z: step3.cuh)
    grid_ = dim3(static_cast<unsigned>(covered_y / by * (three ? ez : 1)),
                 static_cast<unsigned>(covered_x / bx), 1);
    const std::int64_t X = ex + 2 * halo_, Y = ey + 2 * halo_;
    const std::int64_t image_cells =
        three ? 2 * halo_ * X * Y + 2 * halo_ * X * ez + 2 * halo_ * std::int64_t{ey} * ez
              : 2 * halo_ * X + 2 * halo_ * std::int64_t{ey};
    image_block_ = dim3(256, 1, 1);
    image_grid_ = dim3(static_cast<unsigned>(std::min<std::int64_t>((image_cells + 255) / 256, 65535 * 16)), 1, 1);
    // A split lattice's faces: the largest of its directions, every plane.
    if (split_)
        for (int d = 0; d < dimensions_; d++)
            face_values_ = std::max<std::size_t>(
                face_values_, static_cast<std::size_t>(face_of(d, 0, halo_).cells()) * planes);
    check_memory(c);

    try {
        CHECK(cudaMalloc(&level_[0], doubles(planes * plane)));
        CHECK(cudaMalloc(&level_[1], doubles(planes * plane)));
        CHECK(cudaMalloc(&nodes_buffer_, doubles(static_cast<std::int64_t>(nodes_))));
        // The padding is computed too, from whatever it holds: let that be zeros.
        CHECK(cudaMemset(level_[0], 0, doubles(planes * plane)));
        CHECK(cudaMemset(level_[1], 0, doubles(planes * plane)));
        if (walls_ || gravity_ || scheme_ != scheme_kind::upwind || three) upload_geometry(c);
        if (split_) {
            for (int side = 0; side < 2; side++) {
                CHECK(cudaMalloc(&face_send_[side], doubles(static_cast<std::int64_t>(face_values_))));
                CHECK(cudaMalloc(&face_receive_[side], doubles(static_cast<std::int64_t>(face_values_))));
#ifdef __CUDACC__
                if (!team_->passes_device_memory()) {
                    host_send_[side].resize(face_values_);
                    host_receive_[side].resize(face_values_);
                }
#endif
            }
        }
    } catch (...) {
        release();
        throw;
    }
}

// A state larger than the device's free memory is one line naming the
// bytes, before anything is allocated (not a failed allocation halfway).
void device_state::check_memory(const configuration &c)
{
    refuse_beyond(c, part_, team_ ? team_->rank() : 0,
                  bytes() + doubles(static_cast<std::int64_t>(nodes_)), "");
}

void device_state::check_fits(const configuration &c, const block &b, const team &t)
{
    const bool lw = c.keys.scheme == scheme_kind::lax_wendroff;
    const int planes = c.dimensions() == 3 ? (lw ? kLean3PlanesLW : kLean3Planes)
                                           : (lw ? kLeanPlanesLW : kLeanPlanes);
    const double nodes = static_cast<double>(b.node_count());
    double needed = (2.0 * planes + 1.0) * nodes * sizeof(double);
#ifndef __CUDACC__
    // (the cpu backend's device memory is the host's, where the run holds
    // the state it starts from beside it: the distributions and the density)
    needed += (c.velocities() + 1.0) * nodes * sizeof(double);
#endif
    refuse_beyond(c, b, t.rank(), static_cast<std::size_t>(std::min(needed, 1e19)), "at least ");
}

void device_state::refuse_beyond(const configuration &c, const block &b, int rank,
                                 std::size_t needed, const char *least)
{
    std::size_t free = 0, total = 0;
    if (cudaMemGetInfo(&free, &total) != cudaSuccess) {
        cudaGetLastError();  // (no figure to go by: the allocations will tell)
        return;
    }
    if (needed <= free) return;
    const settings &s = c.keys;
    if (!b.whole())
        throw error_line(run_failure::input,
                         "%s: a block of %d x %d x %d nodes needs %s%.3g GB of device memory "
                         "for its state; the device of process %d has %.3g GB free (run it "
                         "over more processes)",
                         c.path.c_str(), b.extent[0], b.extent[1], b.extent[2], least,
                         needed / 1e9, rank, free / 1e9);
    throw error_line(run_failure::input,
                     "%s: the lattice of %d x %d x %d nodes needs %s%.3g GB of device memory "
                     "for its state; the device has %.3g GB free",
                     c.path.c_str(), s.nodes_x, s.nodes_y, s.nodes_z, least, needed / 1e9,
                     free / 1e9);
}

device_state::~device_state()
{
    try {
        release();
    } catch (const run_error &) {
        // (memory the device cannot free: nothing left to do)
    }
}

void device_state::release()
{
    const auto free = [this](auto *&pointer) {
        if (pointer == nullptr) return;
        auto *p = pointer;
        pointer = nullptr;  // (freed once, whatever the status)
        CHECK(cudaFree(p));
    };
    free(level_[0]);
    free(level_[1]);
    free(nodes_buffer_);
    free(velocity_);
    free(links_);
    free(links3_);
    free(ghost_cell_);
    free(ghost_first_);
    free(ghost_source_);
    free(ghost_weight_);
    free(ghost_shift_);
    free(ghost_layer_);
    for (int side = 0; side < 2; side++) {
        free(face_send_[side]);
        free(face_receive_[side]);
    }
}

std::size_t device_state::bytes() const
{
    const std::size_t cells = static_cast<std::size_t>(lattice_.plane);
    const std::size_t link = dimensions_ == 3 ? sizeof(unsigned long long) : sizeof(unsigned);
    return 2 * doubles(std::int64_t{lattice_.planes} * lattice_.plane) +
           doubles(static_cast<std::int64_t>(nodes_)) + (walls_ ? cells * link : 0) +
           4 * doubles(static_cast<std::int64_t>(face_values_));
}

// The link words and the ghost table of the walls and solid nodes (none
// without them: every link word 0, an empty table).
void device_state::upload_geometry(const configuration &c)
{
    const settings &s = c.keys;
    const double shift =
        walls_ && s.wall_wetting != 0.0 ? c.delta_space * s.wall_wetting / s.kappa : 0.0;
    ghost_table t;
    const auto upload = [this](void *to, const void *from, size_t bytes) {
        if (bytes > 0) CHECK(cudaMemcpy(to, from, bytes, cudaMemcpyHostToDevice));
    };
    if (dimensions_ == 3) {
        // (the periodic form's link words are never read: one of them)
        boundary_geometry3 geometry;
        if (walls_)
            geometry = build_boundaries3(part_, lattice_.row, lattice_.slab, lattice_.plane,
                                         s.walls_x(), s.walls_y(), s.walls_z(), c.solid, shift);
        else
            geometry.links.assign(1, 0ull);
        CHECK(cudaMalloc(&links3_, geometry.links.size() * sizeof(unsigned long long)));
        upload(links3_, geometry.links.data(), geometry.links.size() * sizeof(unsigned long long));
        t = std::move(geometry.ghosts);
    } else {
        boundary_geometry geometry =
            build_boundaries(part_, lattice_.row, lattice_.plane, s.walls_x(), s.walls_y(),
                             c.solid, shift);
        CHECK(cudaMalloc(&links_, static_cast<size_t>(lattice_.plane) * sizeof(unsigned)));
        upload(links_, geometry.links.data(), geometry.links.size() * sizeof(unsigned));
        t = std::move(geometry.ghosts);
    }
    ghost_count_ = static_cast<int>(t.cell.size());
    // (at least one element each, so that no launch gets a null pointer)
    const size_t ghosts = t.cell.size() + 1, sources = t.source.size() + 1;
    CHECK(cudaMalloc(&ghost_cell_, ghosts * sizeof(int)));
    CHECK(cudaMalloc(&ghost_first_, (ghosts + 1) * sizeof(int)));
    CHECK(cudaMalloc(&ghost_source_, sources * sizeof(int)));
    CHECK(cudaMalloc(&ghost_weight_, sources * sizeof(double)));
    CHECK(cudaMalloc(&ghost_shift_, ghosts * sizeof(double)));
    CHECK(cudaMalloc(&ghost_layer_, ghosts * sizeof(int)));
    ghost_block_ = dim3(256, 1, 1);
    ghost_grid_ = dim3(static_cast<unsigned>((ghost_count_ + 255) / 256), 1, 1);
    upload(ghost_cell_, t.cell.data(), t.cell.size() * sizeof(int));
    upload(ghost_first_, t.first.data(), t.first.size() * sizeof(int));
    upload(ghost_source_, t.source.data(), t.source.size() * sizeof(int));
    upload(ghost_weight_, t.weight.data(), t.weight.size() * sizeof(double));
    upload(ghost_shift_, t.shift.data(), t.shift.size() * sizeof(double));
    upload(ghost_layer_, t.layer.data(), t.layer.size() * sizeof(int));
}

// The periodic images of plane `plane` of a level (all planes: -1).
void device_state::refresh_images(double *level, int plane)
{
    if (dimensions_ == 3)
        LAUNCH(lean_images3, image_grid_, image_block_, 0, 0, level, plane, lattice_);
    else if (plane < 0)
        LAUNCH(lean_images, image_grid_, image_block_, 0, 0, level, lattice_);
    else
        LAUNCH(lean_images_plane, image_grid_, image_block_, 0, 0, level, plane, lattice_);
}

// The ghost densities of level `out`, stepped from `in`.
void device_state::refresh_ghosts(double *out, const double *in)
{
    if (ghost_count_ > 0)
        LAUNCH(lean_ghosts, ghost_grid_, ghost_block_, 0, 0, out, in,
               static_cast<const int *>(ghost_cell_), static_cast<const int *>(ghost_first_),
               static_cast<const int *>(ghost_source_), static_cast<const double *>(ghost_weight_),
               static_cast<const double *>(ghost_shift_), ghost_count_, lattice_);
}

// The Laplacian plane of a level of the Lax-Wendroff scheme, its images and
// ghosts, once the density's stand.
void device_state::refresh_laplacian(double *level)
{
    if (dimensions_ == 3)
        LAUNCH(lean_laplacian_pass3, grid_, block_, 0, 0, level, lattice_);
    else
        LAUNCH(lean_laplacian_pass, grid_, block_, 0, 0, level, lattice_);
    // The ghosts' own (from the densities), then the images, which bring
    // those of the ghosts in the periodic images too.
    refresh_ghost_laplacians(level);
    refresh_images(level, lattice_.laplacian_plane);
}

// The Laplacians of the ghosts of a level (boundaries.h: next to the fluid
// from their densities, further from their sources').
void device_state::refresh_ghost_laplacians(double *level)
{
    if (ghost_count_ == 0) return;
    const auto cells = static_cast<const int *>(ghost_cell_);
    const auto first = static_cast<const int *>(ghost_first_);
    const auto sources = static_cast<const int *>(ghost_source_);
    const auto weights = static_cast<const double *>(ghost_weight_);
    const auto layers = static_cast<const int *>(ghost_layer_);
    if (dimensions_ == 3)
        LAUNCH(lean_ghosts_laplacian<3>, ghost_grid_, ghost_block_, 0, 0, level, cells, first,
               sources, weights, layers, ghost_count_, lattice_);
    else
        LAUNCH(lean_ghosts_laplacian<2>, ghost_grid_, ghost_block_, 0, 0, level, cells, first,
               sources, weights, layers, ghost_count_, lattice_);
}

// Values of the nodes (x fastest) into plane `plane` of `level`.
void device_state::upload_plane(const double *values, double *level, int plane)
{
    CHECK(cudaMemcpy(nodes_buffer_, values, doubles(static_cast<std::int64_t>(nodes_)),
                     cudaMemcpyHostToDevice));
    double *padded = level + static_cast<std::int64_t>(plane) * lattice_.plane;
    if (dimensions_ == 3)
        LAUNCH(lean_unpack3, grid_, block_, 0, 0, static_cast<const double *>(nodes_buffer_),
               padded, lattice_);
    else
        LAUNCH(lean_unpack, grid_, block_, 0, 0, static_cast<const double *>(nodes_buffer_),
               padded, lattice_);
}

// Plane `plane` of `level` into values of the nodes (x fastest).
void device_state::download_plane(const double *level, int plane, double *values)
{
    const double *padded = level + static_cast<std::int64_t>(plane) * lattice_.plane;
    if (dimensions_ == 3)
        LAUNCH(lean_pack3, grid_, block_, 0, 0, padded, nodes_buffer_, lattice_);
    else
        LAUNCH(lean_pack, grid_, block_, 0, 0, padded, nodes_buffer_, lattice_);
    CHECK(cudaMemcpy(values, nodes_buffer_, doubles(static_cast<std::int64_t>(nodes_)),
                     cudaMemcpyDeviceToHost));
}

void device_state::upload(const double *state)
{
    double *first = level_[0], *before = level_[1];
    const std::int64_t nodes = static_cast<std::int64_t>(nodes_);
    for (int i = 0; i < velocities_; i++) upload_plane(state + i * nodes, first, i);
    upload_plane(state + velocities_ * nodes, before, lattice_.density_plane);
    const bool lw = scheme_ == scheme_kind::lax_wendroff;
    if (dimensions_ == 2 && !walls_ && !gravity_ && !lw && !split_) {
        LAUNCH(lean_start, grid_, block_, 0, 0, first, before, rc_);
        LAUNCH(lean_images, image_grid_, image_block_, 0, 0, first, lattice_);
    } else {
        // The density before the first step, with its images (or halo) and
        // ghosts (the first step's pressures, and Laplacian, come from it),
        // then the first level, its images and ghosts.
        if (split_)
            sweep(before, {{lattice_.density_plane, 1, halo_}});
        else
            refresh_images(before, dimensions_ == 3 ? lattice_.density_plane : -1);
        refresh_ghosts(before, before);
        if (dimensions_ == 3 && lw)
            LAUNCH(lean_start3<scheme_kind::lax_wendroff>, grid_, block_, 0, 0, first,
                   static_cast<const double *>(before), rc3_);
        else if (dimensions_ == 3)
            LAUNCH(lean_start3<scheme_kind::upwind>, grid_, block_, 0, 0, first,
                   static_cast<const double *>(before), rc3_);
        else if (lw)
            LAUNCH(lean_start_lw, grid_, block_, 0, 0, first, static_cast<const double *>(before),
                   rc_);
        else
            LAUNCH(lean_start, grid_, block_, 0, 0, first, before, rc_);
        if (split_) {
            refresh_split(first, before);
        } else {
            refresh_images(first, -1);
            refresh_ghosts(first, before);
            if (lw) refresh_laplacian(first);
        }
    }
    current_ = 0;
    stepped_ = false;
}

// One step of the run's form from `in` to `out`.
template <bool Walls, bool Gravity, scheme_kind Scheme>
void device_state::launch_form(const double *in, double *out)
{
    if (dimensions_ == 3)
        LAUNCH((lean_step3<Walls, Gravity, Scheme>), grid_, block_, 0, 0, in, out,
               static_cast<const unsigned long long *>(links3_), rc3_);
    else
        LAUNCH((lean_step_form<Walls, Gravity, Scheme>), grid_, block_, 0, 0, in, out,
               static_cast<const unsigned *>(links_), rc_);
}

template <scheme_kind Scheme>
void device_state::launch_scheme(const double *in, double *out)
{
    if (walls_ && gravity_) launch_form<true, true, Scheme>(in, out);
    else if (walls_) launch_form<true, false, Scheme>(in, out);
    else if (gravity_) launch_form<false, true, Scheme>(in, out);
    else launch_form<false, false, Scheme>(in, out);
}

void device_state::steps(int count)
{
    const bool lw = scheme_ == scheme_kind::lax_wendroff;
    const bool periodic = dimensions_ == 2 && !walls_ && !gravity_ && !lw;
    for (int s = 0; s < count; s++) {
        const double *in = level_[current_];
        double *out = level_[1 - current_];
        if (periodic)
            LAUNCH(lean_step, grid_, block_, 0, 0, in, out, rc_);
        else if (lw)
            launch_scheme<scheme_kind::lax_wendroff>(in, out);
        else
            launch_scheme<scheme_kind::upwind>(in, out);
        if (split_) {
            refresh_split(out, in);
        } else {
            refresh_images(out, -1);
            refresh_ghosts(out, in);
            if (lw) refresh_laplacian(out);
        }
        current_ = 1 - current_;
        stepped_ = true;
    }
}

void device_state::state_to(double *state)
{
    const std::int64_t nodes = static_cast<std::int64_t>(nodes_);
    for (int i = 0; i < velocities_; i++) download_plane(level_[current_], i, state + i * nodes);
    density_to(state + velocities_ * nodes);
}

// Transfers to the host: on a GPU through a device buffer (a pack kernel,
// then the copy); on the cpu backend, whose device memory is the host's,
// straight from the padded planes into the host array, row by row, with
// the arithmetic of the kernels (a kernel there would cost more in its
// launch over the rows than the copy itself).
void device_state::density_to(double *out)
{
#ifdef __CUDACC__
    download_plane(level_[1 - current_], lattice_.density_plane, out);
#else
    const double *plane = level_[1 - current_] + static_cast<std::int64_t>(lattice_.density_plane) * lattice_.plane;
    CHECK(cudaDeviceSynchronize());
    const lattice_constants &k = lattice_;
    for (int iz = 0; iz < k.nodes_z; iz++)
        for (int iy = 0; iy < k.nodes_y; iy++)
            std::memcpy(out + (static_cast<std::int64_t>(iz) * k.nodes_y + iy) * k.nodes_x,
                        plane + k.origin + static_cast<std::int64_t>(iy) * k.row +
                            static_cast<std::int64_t>(iz) * k.slab,
                        doubles(k.nodes_x));
#endif
}

void device_state::velocity_to(double *components)
{
    // (before the first step: the start's distributions over its density)
    const double *level = stepped_ ? level_[1 - current_] : level_[current_];
    const double *density_level = level_[1 - current_];
    const int d = dimensions_;
    const std::int64_t count = d * static_cast<std::int64_t>(nodes_);
#ifdef __CUDACC__
    if (velocity_ == nullptr) CHECK(cudaMalloc(&velocity_, doubles(count)));
    if (d == 3)
        LAUNCH(lean_pack_velocity3, grid_, block_, 0, 0, level, density_level, velocity_, rc3_);
    else
        LAUNCH(lean_pack_velocity, grid_, block_, 0, 0, level, density_level, velocity_, rc_);
    CHECK(cudaMemcpy(components, velocity_, doubles(count), cudaMemcpyDeviceToHost));
#else
    (void)count;
    CHECK(cudaDeviceSynchronize());
    const lattice_constants &k = lattice_;
    const std::int64_t plane = k.plane;
    std::int64_t p = 0;
    for (int iz = 0; iz < k.nodes_z; iz++)
        for (int iy = 0; iy < k.nodes_y; iy++) {
            const std::int64_t row = k.origin + static_cast<std::int64_t>(iy) * k.row +
                                     static_cast<std::int64_t>(iz) * k.slab;
            for (int ix = 0; ix < k.nodes_x; ix++, p++) {
                const std::int64_t l = row + ix;
                const double rho = density_level[k.density_plane * plane + l];
                if (d == 2) {
                    double jx = 0.0, jy = 0.0;
                    for (int i = 0; i < 9; i++) {
                        jx += level[i * plane + l] * rc_.cx[i];
                        jy += level[i * plane + l] * rc_.cy[i];
                    }
                    components[2 * p] = sp_div(jx, rho);
                    components[2 * p + 1] = sp_div(jy, rho);
                    continue;
                }
                double j[3] = {0.0, 0.0, 0.0};
                for (int i = 0; i < 19; i++) {
                    const double f = level[i * plane + l];
                    const int e[3] = {V3::ex(i), V3::ey(i), V3::ez(i)};
                    for (int a = 0; a < 3; a++)
                        if (e[a] != 0) j[a] += e[a] > 0 ? f : -f;
                }
                for (int a = 0; a < 3; a++) components[3 * p + a] = sp_div(j[a] * rc3_.c, rho);
            }
        }
#endif
}

// A face of the padded box along d: `depth` cells from `from`, the whole
// padded extent along the other directions.
face device_state::face_of(int d, int from, int depth) const
{
    face f{d, from, depth, {1, 1, 1}};
    for (int e = 0; e < dimensions_; e++) f.size[e] = part_.extent[e] + 2 * halo_;
    f.size[d] = depth;
    return f;
}

namespace {

// A grid of a thread per value of a one-dimensional kernel.
dim3 grid_for(long long count)
{
    return dim3(static_cast<unsigned>(std::max<long long>(1, std::min<long long>((count + 255) / 256, 65535 * 16))), 1, 1);
}

}  // namespace

// The halo of a split lattice's level, direction after direction (each
// face whole along the directions before it, so the corners follow): the
// faces exchanged with the neighbours along a split direction, the images
// of one that is not split and has no walls; behind a wall the ghosts
// stand.
void device_state::sweep(double *level, std::initializer_list<plane_group> groups)
{
    CHECK(cudaDeviceSynchronize());
    const auto start = std::chrono::steady_clock::now();
    for (int d = 0; d < dimensions_; d++) {
        if (part_.split(d)) {
            exchange_faces(level, d, groups);
            continue;
        }
        if ((lattice_.walls >> d) & 1) continue;
        for (const plane_group &g : groups)
            for (int side = 0; side < 2; side++) {
                const face f = face_of(d, side == 0 ? halo_ - g.depth : halo_ + part_.extent[d], g.depth);
                LAUNCH(lean_face_wrap, grid_for(f.cells() * g.planes), dim3(256, 1, 1), 0, 0, level,
                       g.first, g.planes, f, lattice_);
            }
    }
    CHECK(cudaDeviceSynchronize());
    halo_seconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The faces along split direction d: the block's first and last cells to
// the neighbours below and above, theirs into the halo.
void device_state::exchange_faces(double *level, int d, std::initializer_list<plane_group> groups)
{
    const int e = part_.extent[d];
    const bool neighbour[2] = {team_->has_neighbour(d, 0), team_->has_neighbour(d, 1)};
    const dim3 threads(256, 1, 1);
    const auto copy_faces = [&](int side, bool pack) {
        double *buffer = pack ? face_send_[side] : face_receive_[side];
        std::size_t offset = 0;
        for (const plane_group &g : groups) {
            const int from = pack ? (side == 0 ? halo_ : halo_ + e - g.depth)
                                  : (side == 0 ? halo_ - g.depth : halo_ + e);
            const face f = face_of(d, from, g.depth);
            LAUNCH(lean_face_copy, grid_for(f.cells() * g.planes), threads, 0, 0, level,
                   buffer + offset, g.first, g.planes, f, pack, lattice_);
            offset += static_cast<std::size_t>(f.cells()) * g.planes;
        }
        return offset;
    };
    std::size_t count = 0;
    for (int side = 0; side < 2; side++)
        if (neighbour[side]) count = copy_faces(side, true);
    if (count == 0) return;
    double *send[2] = {face_send_[0], face_send_[1]};
    double *receive[2] = {face_receive_[0], face_receive_[1]};
#ifdef __CUDACC__
    // (through the host, unless the MPI library takes device memory)
    const bool staged = !team_->passes_device_memory();
    if (staged)
        for (int side = 0; side < 2; side++) {
            if (!neighbour[side]) continue;
            CHECK(cudaMemcpy(host_send_[side].data(), face_send_[side], doubles(static_cast<std::int64_t>(count)),
                             cudaMemcpyDeviceToHost));
            send[side] = host_send_[side].data();
            receive[side] = host_receive_[side].data();
        }
#endif
    CHECK(cudaDeviceSynchronize());
    team_->exchange(d, send[0], send[1], receive[0], receive[1], count);
#ifdef __CUDACC__
    if (staged)
        for (int side = 0; side < 2; side++)
            if (neighbour[side])
                CHECK(cudaMemcpy(face_receive_[side], host_receive_[side].data(),
                                 doubles(static_cast<std::int64_t>(count)), cudaMemcpyHostToDevice));
#endif
    for (int side = 0; side < 2; side++)
        if (neighbour[side]) copy_faces(side, false);
}

// After a step of a split lattice into `out`: the halo of every plane the
// next step reads around its nodes (the distributions a cell deep; the
// density as deep as the ghosts' sources lie, the rest two cells), the
// ghosts this block owns and their halo; with the Lax-Wendroff scheme the
// Laplacian over the block and its halo, its ghosts', and its halo.
void device_state::refresh_split(double *out, const double *in)
{
    const int n = lattice_.density_plane, dp = lattice_.difference_plane;
    const bool lw = scheme_ == scheme_kind::lax_wendroff;
    if (lw)
        sweep(out, {{0, velocities_, 1}, {n, 1, halo_}, {dp, 1, kHalo},
                    {lattice_.laplacian_plane + 1, dimensions_, kHalo}});
    else
        sweep(out, {{0, velocities_, 1}, {n, 1, halo_}, {dp, 1, kHalo}});
    // (every process sweeps, whether it owns ghosts or not)
    if (walls_) {
        refresh_ghosts(out, in);
        sweep(out, {{n, 2, halo_}});
    }
    if (!lw) return;
    int lo[3] = {0, 0, 0}, size[3] = {1, 1, 1};
    for (int d = 0; d < dimensions_; d++) {
        const int reach = part_.split(d) ? halo_ - 1 : 0;
        lo[d] = halo_ - reach;
        size[d] = part_.extent[d] + 2 * reach;
    }
    const long long cells = static_cast<long long>(size[0]) * size[1] * size[2];
    if (dimensions_ == 3)
        LAUNCH(lean_laplacian_box<3>, grid_for(cells), dim3(256, 1, 1), 0, 0, out, lo[0], lo[1],
               lo[2], size[0], size[1], size[2], lattice_);
    else
        LAUNCH(lean_laplacian_box<2>, grid_for(cells), dim3(256, 1, 1), 0, 0, out, lo[0], lo[1],
               lo[2], size[0], size[1], size[2], lattice_);
    refresh_ghost_laplacians(out);
    sweep(out, {{lattice_.laplacian_plane, 1, kHalo}});
}

}  // namespace lean
