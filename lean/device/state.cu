// The device state of a vdwflow run and the launches of its step (state.h).
#include "state.h"

#include "step.cuh"

#include <cstdint>
#include <cstring>

#include "reporters.h"
#include "run_checks.h"
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

// The constants every launch carries.
step_constants constants_of(const configuration &c, int row, int plane, int planes)
{
    const settings &s = c.keys;
    step_constants k{};
    k.row = row;
    k.plane = plane;
    k.planes = planes;
    k.nodes_x = s.nodes_x;
    k.nodes_y = s.nodes_y;
    for (int i = 0; i < 9; i++) {
        k.cx[i] = c.cx[i];
        k.cy[i] = c.cy[i];
        k.w[i] = c.weight[i];
    }
    k.tfluid = c.tfluid;
    k.tcritical = c.tcritical;
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
    // The Lax-Wendroff scheme (docs/physics.md): its coefficient
    // (cfl / 2)(1 - cfl), the gradient's 1 / 2h, the 9-point Laplacian's
    // 1 / 6h^2, the dispersion h^2 T / 6, and the equilibrium's factors.
    const double h = c.delta_space;
    k.lw_coefficient = 0.5 * c.cfl * (1.0 - c.cfl);
    k.inv_two_h = 1.0 / c.two_delta_space;
    k.laplacian_scale = 1.0 / (6.0 * h * h);
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

device_state::device_state(const configuration &c) : nodes_(c.nodes)
{
    const settings &s = c.keys;
    walls_ = s.has_solid();
    gravity_ = s.has_gravity();
    scheme_ = s.scheme;

    // The step's blocks cover the lattice; the cells they reach past it are
    // padding, and the stencils reach kHalo cells further.
    block_ = step_block(s.nodes_x);
    const std::int64_t bx = block_.x, by = block_.y;
    const std::int64_t covered_x = (s.nodes_x + bx - 1) / bx * bx;
    const std::int64_t covered_y = (s.nodes_y + by - 1) / by * by;
    const std::int64_t row = covered_x + 2 * kHalo;
    const std::int64_t plane = row * (covered_y + 2 * kHalo);
    const int planes = scheme_ == scheme_kind::lax_wendroff ? kLeanPlanesLW : kLeanPlanes;
    check_elements(c.path.c_str(), s.nodes_x, s.nodes_y, "lean state", planes * plane);
    rc_ = constants_of(c, static_cast<int>(row), static_cast<int>(plane), planes);
    lattice_ = rc_;
    // (x down the lattice, y across: the kernels' order)
    grid_ = dim3(static_cast<unsigned>(covered_y / by), static_cast<unsigned>(covered_x / bx), 1);
    const std::int64_t image_cells =
        2 * kHalo * (s.nodes_x + 2 * kHalo) + 2 * kHalo * std::int64_t{s.nodes_y};
    image_block_ = dim3(256, 1, 1);
    image_grid_ = dim3(static_cast<unsigned>((image_cells + 255) / 256), 1, 1);

    try {
        CHECK(cudaMalloc(&level_[0], doubles(planes * plane)));
        CHECK(cudaMalloc(&level_[1], doubles(planes * plane)));
        CHECK(cudaMalloc(&nodes_buffer_, doubles(nodes_)));
        // The padding is computed too, from whatever it holds: let that be zeros.
        CHECK(cudaMemset(level_[0], 0, doubles(planes * plane)));
        CHECK(cudaMemset(level_[1], 0, doubles(planes * plane)));
        if (walls_ || gravity_ || scheme_ != scheme_kind::upwind) upload_geometry(c);
    } catch (...) {
        release();
        throw;
    }
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
    free(pairs_);
    free(links_);
    free(ghost_cell_);
    free(ghost_first_);
    free(ghost_source_);
    free(ghost_weight_);
    free(ghost_shift_);
    free(ghost_layer_);
}

std::size_t device_state::bytes() const
{
    return 2 * doubles(std::int64_t{rc_.planes} * rc_.plane) + doubles(nodes_) +
           (walls_ ? static_cast<size_t>(rc_.plane) * sizeof(unsigned) : 0);
}

// The link words and the ghost table of the walls and solid nodes (none
// without them: every link word 0, an empty table).
void device_state::upload_geometry(const configuration &c)
{
    const settings &s = c.keys;
    const double shift =
        walls_ && s.wall_wetting != 0.0 ? c.delta_space * s.wall_wetting / s.kappa : 0.0;
    const boundary_geometry geometry = build_boundaries(
        s.nodes_x, s.nodes_y, kHalo, rc_.row, rc_.plane, s.walls_x(), s.walls_y(), c.solid, shift);
    const ghost_table &t = geometry.ghosts;
    ghost_count_ = static_cast<int>(t.cell.size());
    // (at least one element each, so that no launch gets a null pointer)
    const size_t ghosts = t.cell.size() + 1, sources = t.source.size() + 1;
    CHECK(cudaMalloc(&links_, static_cast<size_t>(rc_.plane) * sizeof(unsigned)));
    CHECK(cudaMalloc(&ghost_cell_, ghosts * sizeof(int)));
    CHECK(cudaMalloc(&ghost_first_, (ghosts + 1) * sizeof(int)));
    CHECK(cudaMalloc(&ghost_source_, sources * sizeof(int)));
    CHECK(cudaMalloc(&ghost_weight_, sources * sizeof(double)));
    CHECK(cudaMalloc(&ghost_shift_, ghosts * sizeof(double)));
    CHECK(cudaMalloc(&ghost_layer_, ghosts * sizeof(int)));
    ghost_block_ = dim3(256, 1, 1);
    ghost_grid_ = dim3(static_cast<unsigned>((ghost_count_ + 255) / 256), 1, 1);
    const auto upload = [this](void *to, const void *from, size_t bytes) {
        if (bytes > 0) CHECK(cudaMemcpy(to, from, bytes, cudaMemcpyHostToDevice));
    };
    upload(links_, geometry.links.data(), geometry.links.size() * sizeof(unsigned));
    upload(ghost_cell_, t.cell.data(), t.cell.size() * sizeof(int));
    upload(ghost_first_, t.first.data(), t.first.size() * sizeof(int));
    upload(ghost_source_, t.source.data(), t.source.size() * sizeof(int));
    upload(ghost_weight_, t.weight.data(), t.weight.size() * sizeof(double));
    upload(ghost_shift_, t.shift.data(), t.shift.size() * sizeof(double));
    upload(ghost_layer_, t.layer.data(), t.layer.size() * sizeof(int));
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
    LAUNCH(lean_laplacian_pass, grid_, block_, 0, 0, level, rc_);
    LAUNCH(lean_images_plane, image_grid_, image_block_, 0, 0, level, kLeanLap, lattice_);
    if (ghost_count_ > 0)
        LAUNCH(lean_ghosts_laplacian, ghost_grid_, ghost_block_, 0, 0, level,
               static_cast<const int *>(ghost_cell_), static_cast<const int *>(ghost_first_),
               static_cast<const int *>(ghost_source_), static_cast<const double *>(ghost_weight_),
               static_cast<const int *>(ghost_layer_), ghost_count_, lattice_);
}

// Values of the nodes (x fastest) into plane `plane` of `level`.
void device_state::upload_plane(const double *values, double *level, int plane)
{
    CHECK(cudaMemcpy(nodes_buffer_, values, doubles(nodes_), cudaMemcpyHostToDevice));
    LAUNCH(lean_unpack, grid_, block_, 0, 0, static_cast<const double *>(nodes_buffer_),
           level + static_cast<std::int64_t>(plane) * rc_.plane, lattice_);
}

// Plane `plane` of `level` into values of the nodes (x fastest).
void device_state::download_plane(const double *level, int plane, double *values)
{
    LAUNCH(lean_pack, grid_, block_, 0, 0, level + static_cast<std::int64_t>(plane) * rc_.plane,
           nodes_buffer_, lattice_);
    CHECK(cudaMemcpy(values, nodes_buffer_, doubles(nodes_), cudaMemcpyDeviceToHost));
}

void device_state::upload(const double *state)
{
    double *first = level_[0], *before = level_[1];
    for (int i = 0; i < 9; i++)
        upload_plane(state + static_cast<std::int64_t>(i) * nodes_, first, i);
    upload_plane(state + static_cast<std::int64_t>(9) * nodes_, before, kLeanN);
    const bool periodic = !walls_ && !gravity_ && scheme_ == scheme_kind::upwind;
    if (periodic) {
        LAUNCH(lean_start, grid_, block_, 0, 0, first, before, rc_);
        LAUNCH(lean_images, image_grid_, image_block_, 0, 0, first, lattice_);
    } else {
        // The density before the first step, with its images and ghosts
        // (the first step's pressures, and Laplacian, come from it), then
        // the first level, its images and ghosts.
        LAUNCH(lean_images, image_grid_, image_block_, 0, 0, before, lattice_);
        refresh_ghosts(before, before);
        if (scheme_ == scheme_kind::lax_wendroff)
            LAUNCH(lean_start_lw, grid_, block_, 0, 0, first, static_cast<const double *>(before),
                   rc_);
        else
            LAUNCH(lean_start, grid_, block_, 0, 0, first, before, rc_);
        LAUNCH(lean_images, image_grid_, image_block_, 0, 0, first, lattice_);
        refresh_ghosts(first, before);
        if (scheme_ == scheme_kind::lax_wendroff) refresh_laplacian(first);
    }
    current_ = 0;
}

// One step of the run's form from `in` to `out`.
template <bool Walls, bool Gravity, scheme_kind Scheme>
void device_state::launch_form(const double *in, double *out)
{
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
    const bool periodic = !walls_ && !gravity_ && scheme_ == scheme_kind::upwind;
    for (int s = 0; s < count; s++) {
        const double *in = level_[current_];
        double *out = level_[1 - current_];
        if (periodic)
            LAUNCH(lean_step, grid_, block_, 0, 0, in, out, rc_);
        else if (scheme_ == scheme_kind::lax_wendroff)
            launch_scheme<scheme_kind::lax_wendroff>(in, out);
        else
            launch_scheme<scheme_kind::upwind>(in, out);
        LAUNCH(lean_images, image_grid_, image_block_, 0, 0, out, lattice_);
        refresh_ghosts(out, in);
        if (scheme_ == scheme_kind::lax_wendroff) refresh_laplacian(out);
        current_ = 1 - current_;
    }
}

void device_state::state_to(double *state)
{
    for (int i = 0; i < 9; i++)
        download_plane(level_[current_], i, state + static_cast<std::int64_t>(i) * nodes_);
    density_to(state + static_cast<std::int64_t>(9) * nodes_);
}

// Transfers to the host: on a GPU through a device buffer (a pack kernel,
// then the copy); on the cpu backend, whose device memory is the host's,
// straight from the padded planes into the host array, row by row, with
// the arithmetic of the kernels (a kernel there would cost more in its
// launch over the rows than the copy itself).
void device_state::density_to(double *out)
{
    const double *plane = level_[1 - current_] + static_cast<std::int64_t>(kLeanN) * rc_.plane;
#ifdef __CUDACC__
    LAUNCH(lean_pack, grid_, block_, 0, 0, plane, nodes_buffer_, lattice_);
    CHECK(cudaMemcpy(out, nodes_buffer_, doubles(nodes_), cudaMemcpyDeviceToHost));
#else
    CHECK(cudaDeviceSynchronize());
    for (int iy = 0; iy < rc_.nodes_y; iy++)
        std::memcpy(out + static_cast<std::int64_t>(iy) * rc_.nodes_x,
                    plane + static_cast<std::int64_t>(iy + kHalo) * rc_.row + kHalo,
                    doubles(rc_.nodes_x));
#endif
}

void device_state::velocity_to(double *pairs)
{
    const double *level = level_[1 - current_];
#ifdef __CUDACC__
    if (pairs_ == nullptr) CHECK(cudaMalloc(&pairs_, doubles(2 * std::int64_t{nodes_})));
    LAUNCH(lean_pack_velocity, grid_, block_, 0, 0, level, pairs_, rc_);
    CHECK(cudaMemcpy(pairs, pairs_, doubles(2 * std::int64_t{nodes_}), cudaMemcpyDeviceToHost));
#else
    CHECK(cudaDeviceSynchronize());
    const std::int64_t plane = rc_.plane;
    for (int iy = 0; iy < rc_.nodes_y; iy++) {
        const std::int64_t row = static_cast<std::int64_t>(iy + kHalo) * rc_.row + kHalo;
        double *out = pairs + 2 * static_cast<std::int64_t>(iy) * rc_.nodes_x;
        for (int ix = 0; ix < rc_.nodes_x; ix++) {
            const std::int64_t l = row + ix;
            double jx = 0.0, jy = 0.0;
            for (int i = 0; i < 9; i++) {
                jx += level[i * plane + l] * rc_.cx[i];
                jy += level[i * plane + l] * rc_.cy[i];
            }
            const double rho = level[kLeanN * plane + l];
            out[2 * ix] = sp_div(jx, rho);
            out[2 * ix + 1] = sp_div(jy, rho);
        }
    }
#endif
}

}  // namespace lean
