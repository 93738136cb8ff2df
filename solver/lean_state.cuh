// The lean solver's device state and its launches, defined beside the
// kernels: include once, in a program's translation unit, after
// kernels/vdwflow_lean.cuh.
#pragma once

#include <cstdint>
#include <cstring>

#include "boundaries.h"
#include "device_mirror.h"
#include "lean_state.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"
#include "setup.h"
#include "vdw_thermo.h"

double *dlean[2];
double *dlean_nodes;
int hlean_current;

// The other forms of the step (walls, solid nodes, gravity): the link word of
// every padded cell, and the ghost table of boundaries.h.
static unsigned *dlean_links;
static int *dghost_cell, *dghost_first, *dghost_source, *dghost_layer;
static double *dghost_weight, *dghost_shift;
static int hghost_count;
static boundary_geometry hgeometry;
static dim3 hghost_grid, hghost_block;

// The form of the step, chosen once per run: today's periodic upwind step,
// or a form with walls, gravity or the Lax-Wendroff scheme.
struct lean_form {
    bool walls = false, gravity = false;
    int scheme = kUpwind;
    bool periodic() const { return !walls && !gravity && scheme == kUpwind; }
};
static lean_form hlean_form;
static int hlean_planes = kLeanPlanes;  // planes of a level
static int hlean_planes_on_device = kLeanPlanes;  // lean_planes as uploaded last

static int hlean_row;    // cells per padded row
static int hlean_plane;  // cells per padded plane
static dim3 hlean_grid, hlean_block;  // the fused step and the transfers: a thread per node
static dim3 hlean_image_grid, hlean_image_block;  // a thread per image cell

static size_t lean_bytes(std::int64_t count)
{
    return static_cast<size_t>(count) * sizeof(double);
}

// Blocks of the fused step. On a GPU, 32 x 8 threads: a warp along each row.
// On the cpu backend a block's row of threads is one vector loop: blocks of
// one row, split evenly into strips of at most kLeanCpuStrip nodes, so that
// the rows a step reads around the current one (five of the density and
// pressure planes, three of the distributions) and the row it writes stay in
// a core's cache.
#ifndef LEAN_STRIP
#define LEAN_STRIP 512
#endif
constexpr int kLeanCpuStrip = LEAN_STRIP;

static dim3 lean_step_block(int nodes_x)
{
#ifdef __CUDACC__
    (void)nodes_x;
    return dim3(32, 8, 1);
#else
    const int strips = (nodes_x + kLeanCpuStrip - 1) / kLeanCpuStrip;
    const int width = (nodes_x + strips - 1) / strips;
    return dim3(static_cast<unsigned>((width + 7) / 8 * 8), 1, 1);
#endif
}

int lean_allocation()
{
    // The step's blocks cover the lattice; the cells they reach past it are
    // padding, and the stencils reach nw cells further.
    hlean_block = lean_step_block(hnodes_x);
    const std::int64_t bx = hlean_block.x, by = hlean_block.y;
    const std::int64_t covered_x = (hnodes_x + bx - 1) / bx * bx;
    const std::int64_t covered_y = (hnodes_y + by - 1) / by * by;
    const std::int64_t row = covered_x + 2 * hnw;
    const std::int64_t plane = row * (covered_y + 2 * hnw);
    hlean_form = lean_form{hsetup.has_solid(), hsetup.has_gravity(),
                           hsetup.scheme == scheme_kind::lax_wendroff ? kLaxWendroff : kUpwind};
    hlean_planes = hlean_form.scheme == kLaxWendroff ? kLeanPlanesLW : kLeanPlanes;
    check_element_count("lean state", hlean_planes * plane);
    hlean_row = static_cast<int>(row);
    hlean_plane = static_cast<int>(plane);
    // (x down the lattice, y across: the kernels' order)
    hlean_grid = dim3(static_cast<unsigned>(covered_y / by), static_cast<unsigned>(covered_x / bx), 1);
    const std::int64_t image_cells = 2 * hnw * (hnodes_x + 2 * hnw) + 2 * hnw * hnodes_y;
    hlean_image_block = dim3(256, 1, 1);
    hlean_image_grid = dim3(static_cast<unsigned>((image_cells + 255) / 256), 1, 1);

    CHECK_STATUS(cudaMalloc(&dlean[0], lean_bytes(hlean_planes * plane)));
    CHECK_STATUS(cudaMalloc(&dlean[1], lean_bytes(hlean_planes * plane)));
    CHECK_STATUS(cudaMalloc(&dlean_nodes, lean_bytes(hnodes)));
    // The padding is computed too, from whatever it holds: let that be zeros.
    CHECK_STATUS(cudaMemset(dlean[0], 0, lean_bytes(hlean_planes * plane)));
    CHECK_STATUS(cudaMemset(dlean[1], 0, lean_bytes(hlean_planes * plane)));

    // (a run without walls has no ghosts: nothing of a run before it stays)
    hgeometry = boundary_geometry{};
    hghost_count = 0;
    if (!hlean_form.periodic()) {
        const bool walls = hlean_form.walls;
        const double s = walls && hsetup.wall_wetting != 0.0
                             ? hdelta_space * hsetup.wall_wetting / hkappa
                             : 0.0;
        hgeometry = build_boundaries(hnodes_x, hnodes_y, hnw, hlean_row, hlean_plane,
                                     hsetup.walls_x(), hsetup.walls_y(), hsolid_nodes, s);
        const ghost_table &t = hgeometry.ghosts;
        hghost_count = static_cast<int>(t.cell.size());
        // (at least one element each, so that no launch gets a null pointer)
        const size_t ghosts = t.cell.size() + 1, sources = t.source.size() + 1;
        CHECK_STATUS(cudaMalloc(&dlean_links, static_cast<size_t>(plane) * sizeof(unsigned)));
        CHECK_STATUS(cudaMalloc(&dghost_cell, ghosts * sizeof(int)));
        CHECK_STATUS(cudaMalloc(&dghost_first, (ghosts + 1) * sizeof(int)));
        CHECK_STATUS(cudaMalloc(&dghost_source, sources * sizeof(int)));
        CHECK_STATUS(cudaMalloc(&dghost_weight, sources * sizeof(double)));
        CHECK_STATUS(cudaMalloc(&dghost_shift, ghosts * sizeof(double)));
        CHECK_STATUS(cudaMalloc(&dghost_layer, ghosts * sizeof(int)));
        hghost_block = dim3(256, 1, 1);
        hghost_grid = dim3(static_cast<unsigned>((hghost_count + 255) / 256), 1, 1);
    }
    return 1;
}

// The Lax-Wendroff scheme's hyperviscosity grows where the interface is
// resolved by fewer nodes: (2.5 / W)^2 for an equilibrium interface of tanh
// width W below 2.5 nodes (T/Tc 0.8 at kappa 1e-4), else 1.
static double lean_interface_resolution_factor()
{
    if (!(htfluid < htcritical) || !(hkappa > 0.0)) return 1.0;
    const vdw::Fluid fluid{htfluid, htcritical};
    const double width = vdw::interface_width(fluid, vdw::coexistence(fluid), hkappa) / hdelta_space;
    return width < 2.5 ? (2.5 / width) * (2.5 / width) : 1.0;
}

// The constants of the other forms, the link words and the ghost table.
static void lean_upload_geometry()
{
    const double ref = hsetup.gravity_reference;
    const double ref_x = hsetup.gravity_x * ref, ref_y = hsetup.gravity_y * ref;
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_x, &hsetup.gravity_x, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_y, &hsetup.gravity_y, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_ref_x, &ref_x, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_ref_y, &ref_y, sizeof(double)));
    // The Lax-Wendroff scheme (docs/physics.md): its coefficient
    // (cfl / 2)(1 - cfl), the gradient's 1 / 2h, the 9-point Laplacian's
    // 1 / 6h^2, the dispersion h^2 T / 6, and the equilibrium's factors.
    const double lw = 0.5 * hcfl * (1.0 - hcfl), inv_two_h = 1.0 / htwo_delta_space;
    const double laplacian = 1.0 / (6.0 * hdelta_space * hdelta_space);
    const double dispersion = hdelta_space * hdelta_space * htfluid / 6.0;
    const double c_over_cs2 = hbbspeed / hchic2;
    // The viscosity of the upwind runs, tau T + c h / 6: the upwind's own
    // diffusion becomes a physical viscosity.
    const double rate = hdelta_time / (htau + hbbspeed * hdelta_space / (6.0 * htfluid));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_planes, &hlean_planes, sizeof(int)));
    hlean_planes_on_device = hlean_planes;
    CHECK_STATUS(cudaMemcpyToSymbol(lean_rate, &rate, sizeof(double)));
    const double hyper = hcfl / 8.0 * lean_interface_resolution_factor();
    CHECK_STATUS(cudaMemcpyToSymbol(lean_hyper, &hyper, sizeof(double)));

    CHECK_STATUS(cudaMemcpyToSymbol(lean_lw_coefficient, &lw, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_inv_two_h, &inv_two_h, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_laplacian_scale, &laplacian, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_dispersion, &dispersion, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_c_over_cs2, &c_over_cs2, sizeof(double)));

    const ghost_table &t = hgeometry.ghosts;
    const auto upload = [](void *to, const void *from, size_t bytes) {
        if (bytes > 0) CHECK_STATUS(cudaMemcpy(to, from, bytes, cudaMemcpyHostToDevice));
    };
    upload(dlean_links, hgeometry.links.data(), hgeometry.links.size() * sizeof(unsigned));
    upload(dghost_cell, t.cell.data(), t.cell.size() * sizeof(int));
    upload(dghost_first, t.first.data(), t.first.size() * sizeof(int));
    upload(dghost_source, t.source.data(), t.source.size() * sizeof(int));
    upload(dghost_weight, t.weight.data(), t.weight.size() * sizeof(double));
    upload(dghost_shift, t.shift.data(), t.shift.size() * sizeof(double));
    upload(dghost_layer, t.layer.data(), t.layer.size() * sizeof(int));
}

// The ghost densities of level `out`, stepped from `in`.
static void lean_refresh_ghosts(double *out, const double *in)
{
    if (hghost_count > 0)
        LAUNCH_CHECKED(lean_ghosts, hghost_grid, hghost_block, 0, 0, out, in, dghost_cell,
                       dghost_first, dghost_source, dghost_weight, dghost_shift, hghost_count);
}

// Slot `slot` of the host node field array into plane `plane` of `level`.
static void lean_upload_slot(int slot, double *level, int plane)
{
    CHECK_STATUS(cudaMemcpy(dlean_nodes, hgf + static_cast<std::int64_t>(slot) * hnodes,
                            lean_bytes(hnodes), cudaMemcpyHostToDevice));
    LAUNCH_CHECKED(lean_unpack, hlean_grid, hlean_block, 0, 0, dlean_nodes,
                   level + static_cast<std::int64_t>(plane) * hlean_plane);
}

// The Laplacian plane of a level of the Lax-Wendroff scheme, its images and
// ghosts, once the density's stand.
static void lean_refresh_laplacian(double *level)
{
    LAUNCH_CHECKED(lean_laplacian_pass, hlean_grid, hlean_block, 0, 0, level);
    LAUNCH_CHECKED(lean_images_plane, hlean_image_grid, hlean_image_block, 0, 0, level, kLeanLap);
    if (hghost_count > 0)
        LAUNCH_CHECKED(lean_ghosts_laplacian, hghost_grid, hghost_block, 0, 0, level,
                       static_cast<const int *>(dghost_cell), static_cast<const int *>(dghost_first),
                       static_cast<const int *>(dghost_source),
                       static_cast<const double *>(dghost_weight),
                       static_cast<const int *>(dghost_layer), hghost_count);
}

int lean_upload_constants()
{
    copy_constants_to_device();
    CHECK_STATUS(cudaMemcpyToSymbol(lean_row, &hlean_row, sizeof(int)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_plane, &hlean_plane, sizeof(int)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_cx, hcspeed_x, 9 * sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_cy, hcspeed_y, 9 * sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_w, hcweight, 9 * sizeof(double)));
    if (!hlean_form.periodic()) {
        lean_upload_geometry();
    } else if (hlean_planes_on_device != hlean_planes) {
        // (a run before this one in the process had more planes)
        CHECK_STATUS(cudaMemcpyToSymbol(lean_planes, &hlean_planes, sizeof(int)));
        hlean_planes_on_device = hlean_planes;
    }
    return 1;
}

size_t lean_state_values()
{
    return 2 * static_cast<size_t>(hlean_planes) * static_cast<size_t>(hlean_plane);
}

int lean_save_state(double *host)
{
    const size_t level = lean_state_values() / 2;
    CHECK_STATUS(cudaMemcpy(host, dlean[0], lean_bytes(level), cudaMemcpyDeviceToHost));
    CHECK_STATUS(cudaMemcpy(host + level, dlean[1], lean_bytes(level), cudaMemcpyDeviceToHost));
    return 1;
}

int lean_restore_state(const double *host, int current)
{
    const size_t level = lean_state_values() / 2;
    CHECK_STATUS(cudaMemcpy(dlean[0], host, lean_bytes(level), cudaMemcpyHostToDevice));
    CHECK_STATUS(cudaMemcpy(dlean[1], host + level, lean_bytes(level), cudaMemcpyHostToDevice));
    hlean_current = current;
    return 1;
}

int lean_upload()
{
    lean_upload_constants();
    for (int i = 0; i < hnvelocities; i++)
        lean_upload_slot(i, dlean[0], i);
    lean_upload_slot(hkn, dlean[1], kLeanN);
    if (hlean_form.periodic()) {
        LAUNCH_CHECKED(lean_start, hlean_grid, hlean_block, 0, 0, dlean[0], dlean[1]);
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, dlean[0]);
    } else {
        // The density before the first step, with its images and ghosts
        // (the first step's pressures, and Laplacian, come from it), then
        // the first level, its images and ghosts.
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, dlean[1]);
        lean_refresh_ghosts(dlean[1], dlean[1]);
        if (hlean_form.scheme == kLaxWendroff)
            LAUNCH_CHECKED(lean_start_lw, hlean_grid, hlean_block, 0, 0, dlean[0],
                           static_cast<const double *>(dlean[1]));
        else
            LAUNCH_CHECKED(lean_start, hlean_grid, hlean_block, 0, 0, dlean[0], dlean[1]);
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, dlean[0]);
        lean_refresh_ghosts(dlean[0], dlean[1]);
        if (hlean_form.scheme == kLaxWendroff)
            lean_refresh_laplacian(dlean[0]);
    }
    hlean_current = 0;
    return 1;
}

// One step of the run's form from `in` to `out`.
template <bool Walls, bool Gravity, int Scheme>
static void lean_launch_form(const double *in, double *out)
{
    LAUNCH_CHECKED((lean_step_form<Walls, Gravity, Scheme>), hlean_grid, hlean_block, 0, 0, in,
                   out, static_cast<const unsigned *>(dlean_links));
}

template <int Scheme>
static void lean_launch_scheme(const double *in, double *out)
{
    const lean_form &f = hlean_form;
    if (f.walls && f.gravity) lean_launch_form<true, true, Scheme>(in, out);
    else if (f.walls) lean_launch_form<true, false, Scheme>(in, out);
    else if (f.gravity) lean_launch_form<false, true, Scheme>(in, out);
    else lean_launch_form<false, false, Scheme>(in, out);
}

void lean_steps(int count)
{
    for (int s = 0; s < count; s++) {
        double *in = dlean[hlean_current];
        double *out = dlean[1 - hlean_current];
        if (hlean_form.periodic())
            LAUNCH_CHECKED(lean_step, hlean_grid, hlean_block, 0, 0, in, out);
        else if (hlean_form.scheme == kLaxWendroff)
            lean_launch_scheme<kLaxWendroff>(in, out);
        else
            lean_launch_scheme<kUpwind>(in, out);
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, out);
        lean_refresh_ghosts(out, in);
        if (hlean_form.scheme == kLaxWendroff)
            lean_refresh_laplacian(out);
        hlean_current = 1 - hlean_current;
    }
}

// Plane `plane` of `level` into slot `slot` of the host node field array.
static void lean_download_slot(const double *level, int plane, int slot)
{
    LAUNCH_CHECKED(lean_pack, hlean_grid, hlean_block, 0, 0,
                   level + static_cast<std::int64_t>(plane) * hlean_plane, dlean_nodes);
    CHECK_STATUS(cudaMemcpy(hgf + static_cast<std::int64_t>(slot) * hnodes, dlean_nodes,
                            lean_bytes(hnodes), cudaMemcpyDeviceToHost));
}

int lean_density_to_host()
{
    lean_download_slot(dlean[1 - hlean_current], kLeanN, hkn);
    return 1;
}

int lean_state_to_host()
{
    for (int i = 0; i < hnvelocities; i++)
        lean_download_slot(dlean[hlean_current], i, i);
    lean_density_to_host();
    return 1;
}

// The velocity that a snapshot shows, u = j / n of the level the last step
// started from (the velocity that step used): its distributions one plane at
// a time through `scratch` (hnodes values), the momentum summed in the
// step's order, the density from slot hkn of hgf (lean_density_to_host).
int lean_velocity_to_host(double *ux, double *uy, double *scratch)
{
    const double *before = dlean[1 - hlean_current];
    for (int p = 0; p < hnodes; p++) ux[p] = uy[p] = 0.0;
    for (int i = 0; i < hnvelocities; i++) {
        LAUNCH_CHECKED(lean_pack, hlean_grid, hlean_block, 0, 0,
                       before + static_cast<std::int64_t>(i) * hlean_plane, dlean_nodes);
        CHECK_STATUS(cudaMemcpy(scratch, dlean_nodes, lean_bytes(hnodes), cudaMemcpyDeviceToHost));
        for (int p = 0; p < hnodes; p++) {
            ux[p] += scratch[p] * hcspeed_x[i];
            uy[p] += scratch[p] * hcspeed_y[i];
        }
    }
    const double *rho = hgf + static_cast<std::int64_t>(hkn) * hnodes;
    for (int p = 0; p < hnodes; p++) {
        ux[p] = sp_div(ux[p], rho[p]);
        uy[p] = sp_div(uy[p], rho[p]);
    }
    return 1;
}

// Transfers to the host: on a GPU through a device buffer (a pack kernel,
// then the copy); on the cpu backend, whose device memory is the host's,
// straight from the padded planes into the host array, row by row, with
// the arithmetic of the kernels (a kernel there would cost more in its
// launch over the rows than the copy itself).
#ifdef __CUDACC__
static double *dlean_pairs;  // 2 hnodes values, made on first use
#endif

int lean_density_to(double *out)
{
    const double *plane = dlean[1 - hlean_current] + static_cast<std::int64_t>(kLeanN) * hlean_plane;
#ifdef __CUDACC__
    LAUNCH_CHECKED(lean_pack, hlean_grid, hlean_block, 0, 0, plane, dlean_nodes);
    CHECK_STATUS(cudaMemcpy(out, dlean_nodes, lean_bytes(hnodes), cudaMemcpyDeviceToHost));
#else
    CHECK_STATUS(cudaDeviceSynchronize());
    for (int iy = 0; iy < hnodes_y; iy++)
        std::memcpy(out + static_cast<std::int64_t>(iy) * hnodes_x,
                    plane + static_cast<std::int64_t>(iy + hnw) * hlean_row + hnw,
                    lean_bytes(hnodes_x));
#endif
    return 1;
}

int lean_velocity_to(double *pairs)
{
    const double *level = dlean[1 - hlean_current];
#ifdef __CUDACC__
    if (dlean_pairs == nullptr) CHECK_STATUS(cudaMalloc(&dlean_pairs, lean_bytes(2 * hnodes)));
    LAUNCH_CHECKED(lean_pack_velocity, hlean_grid, hlean_block, 0, 0, level, dlean_pairs);
    CHECK_STATUS(cudaMemcpy(pairs, dlean_pairs, lean_bytes(2 * hnodes), cudaMemcpyDeviceToHost));
#else
    CHECK_STATUS(cudaDeviceSynchronize());
    const std::int64_t plane = hlean_plane;
    for (int iy = 0; iy < hnodes_y; iy++) {
        const std::int64_t row = static_cast<std::int64_t>(iy + hnw) * hlean_row + hnw;
        double *out = pairs + 2 * static_cast<std::int64_t>(iy) * hnodes_x;
        for (int ix = 0; ix < hnodes_x; ix++) {
            const std::int64_t l = row + ix;
            double jx = 0.0, jy = 0.0;
            for (int i = 0; i < 9; i++) {
                jx += level[i * plane + l] * hcspeed_x[i];
                jy += level[i * plane + l] * hcspeed_y[i];
            }
            const double rho = level[kLeanN * plane + l];
            out[2 * ix] = sp_div(jx, rho);
            out[2 * ix + 1] = sp_div(jy, rho);
        }
    }
#endif
    return 1;
}

int lean_free()
{
    // (pointers set back to null: a harness may allocate another run after)
    const auto release = [](auto *&pointer) {
        if (pointer == nullptr) return;
        CHECK_STATUS(cudaFree(pointer));
        pointer = nullptr;
    };
    release(dlean[0]);
    release(dlean[1]);
    release(dlean_nodes);
    release(dlean_links);
    release(dghost_cell);
    release(dghost_first);
    release(dghost_source);
    release(dghost_weight);
    release(dghost_shift);
    release(dghost_layer);
#ifdef __CUDACC__
    release(dlean_pairs);
#endif
    return 1;
}
