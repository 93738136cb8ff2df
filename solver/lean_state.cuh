// The lean solver's device state and its launches, defined beside the
// kernels: include once, in a program's translation unit, after
// kernels/vdwflow_lean.cuh.
#pragma once

#include <cstdint>

#include "boundaries.h"
#include "device_mirror.h"
#include "lean_state.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"
#include "setup.h"

double *dlean[2];
double *dlean_nodes;
int hlean_current;

// The other forms of the step (walls, solid nodes, gravity): the link word of
// every padded cell, and the ghost table of boundaries.h.
static unsigned short *dlean_links;
static int *dghost_cell, *dghost_first, *dghost_source;
static double *dghost_weight, *dghost_shift;
static int hghost_count;
static boundary_geometry hgeometry;
static dim3 hghost_grid, hghost_block;

enum class lean_form { periodic, gravity, walls, walls_gravity };
static lean_form hlean_form = lean_form::periodic;

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
    check_element_count("lean state", kLeanPlanes * plane);
    hlean_row = static_cast<int>(row);
    hlean_plane = static_cast<int>(plane);
    // (x down the lattice, y across: the kernels' order)
    hlean_grid = dim3(static_cast<unsigned>(covered_y / by), static_cast<unsigned>(covered_x / bx), 1);
    const std::int64_t image_cells = 2 * hnw * (hnodes_x + 2 * hnw) + 2 * hnw * hnodes_y;
    hlean_image_block = dim3(256, 1, 1);
    hlean_image_grid = dim3(static_cast<unsigned>((image_cells + 255) / 256), 1, 1);

    CHECK_STATUS(cudaMalloc(&dlean[0], lean_bytes(kLeanPlanes * plane)));
    CHECK_STATUS(cudaMalloc(&dlean[1], lean_bytes(kLeanPlanes * plane)));
    CHECK_STATUS(cudaMalloc(&dlean_nodes, lean_bytes(hnodes)));
    // The padding is computed too, from whatever it holds: let that be zeros.
    CHECK_STATUS(cudaMemset(dlean[0], 0, lean_bytes(kLeanPlanes * plane)));
    CHECK_STATUS(cudaMemset(dlean[1], 0, lean_bytes(kLeanPlanes * plane)));

    const bool walls = hsetup.has_solid(), gravity = hsetup.has_gravity();
    hlean_form = walls ? (gravity ? lean_form::walls_gravity : lean_form::walls)
                       : (gravity ? lean_form::gravity : lean_form::periodic);
    if (hlean_form != lean_form::periodic) {
        const double s = walls && hsetup.wall_wetting != 0.0
                             ? hdelta_space * hsetup.wall_wetting / hkappa
                             : 0.0;
        hgeometry = build_boundaries(hnodes_x, hnodes_y, hnw, hlean_row, hlean_plane,
                                     hsetup.walls_x(), hsetup.walls_y(), hsolid_nodes, s);
        const ghost_table &t = hgeometry.ghosts;
        hghost_count = static_cast<int>(t.cell.size());
        // (at least one element each, so that no launch gets a null pointer)
        const size_t ghosts = t.cell.size() + 1, sources = t.source.size() + 1;
        CHECK_STATUS(cudaMalloc(&dlean_links, static_cast<size_t>(plane) * sizeof(unsigned short)));
        CHECK_STATUS(cudaMalloc(&dghost_cell, ghosts * sizeof(int)));
        CHECK_STATUS(cudaMalloc(&dghost_first, (ghosts + 1) * sizeof(int)));
        CHECK_STATUS(cudaMalloc(&dghost_source, sources * sizeof(int)));
        CHECK_STATUS(cudaMalloc(&dghost_weight, sources * sizeof(double)));
        CHECK_STATUS(cudaMalloc(&dghost_shift, ghosts * sizeof(double)));
        hghost_block = dim3(256, 1, 1);
        hghost_grid = dim3(static_cast<unsigned>((hghost_count + 255) / 256), 1, 1);
    }
    return 1;
}

// The link words and the ghost table, and the gravity constants.
static void lean_upload_geometry()
{
    const double ref = hsetup.gravity_reference;
    const double ref_x = hsetup.gravity_x * ref, ref_y = hsetup.gravity_y * ref;
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_x, &hsetup.gravity_x, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_y, &hsetup.gravity_y, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_ref_x, &ref_x, sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_gravity_ref_y, &ref_y, sizeof(double)));
    const ghost_table &t = hgeometry.ghosts;
    const auto upload = [](void *to, const void *from, size_t bytes) {
        if (bytes > 0) CHECK_STATUS(cudaMemcpy(to, from, bytes, cudaMemcpyHostToDevice));
    };
    upload(dlean_links, hgeometry.links.data(), hgeometry.links.size() * sizeof(unsigned short));
    upload(dghost_cell, t.cell.data(), t.cell.size() * sizeof(int));
    upload(dghost_first, t.first.data(), t.first.size() * sizeof(int));
    upload(dghost_source, t.source.data(), t.source.size() * sizeof(int));
    upload(dghost_weight, t.weight.data(), t.weight.size() * sizeof(double));
    upload(dghost_shift, t.shift.data(), t.shift.size() * sizeof(double));
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

int lean_upload()
{
    copy_constants_to_device();
    CHECK_STATUS(cudaMemcpyToSymbol(lean_row, &hlean_row, sizeof(int)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_plane, &hlean_plane, sizeof(int)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_cx, hcspeed_x, 9 * sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_cy, hcspeed_y, 9 * sizeof(double)));
    CHECK_STATUS(cudaMemcpyToSymbol(lean_w, hcweight, 9 * sizeof(double)));
    if (hlean_form != lean_form::periodic)
        lean_upload_geometry();

    for (int i = 0; i < hnvelocities; i++)
        lean_upload_slot(i, dlean[0], i);
    lean_upload_slot(hkn, dlean[1], kLeanN);
    LAUNCH_CHECKED(lean_start, hlean_grid, hlean_block, 0, 0, dlean[0], dlean[1]);
    LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, dlean[0]);
    if (hlean_form != lean_form::periodic) {
        // The density before the first step, at the ghosts too (the first
        // step's pressures come from it), then the first level's ghosts.
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, dlean[1]);
        lean_refresh_ghosts(dlean[1], dlean[1]);
        lean_refresh_ghosts(dlean[0], dlean[1]);
    }
    hlean_current = 0;
    return 1;
}

void lean_steps(int count)
{
    for (int s = 0; s < count; s++) {
        double *in = dlean[hlean_current];
        double *out = dlean[1 - hlean_current];
        switch (hlean_form) {
        case lean_form::periodic:
            LAUNCH_CHECKED(lean_step, hlean_grid, hlean_block, 0, 0, in, out);
            break;
        case lean_form::gravity:
            LAUNCH_CHECKED((lean_step_form<false, true>), hlean_grid, hlean_block, 0, 0, in, out,
                           dlean_links);
            break;
        case lean_form::walls:
            LAUNCH_CHECKED((lean_step_form<true, false>), hlean_grid, hlean_block, 0, 0, in, out,
                           dlean_links);
            break;
        case lean_form::walls_gravity:
            LAUNCH_CHECKED((lean_step_form<true, true>), hlean_grid, hlean_block, 0, 0, in, out,
                           dlean_links);
            break;
        }
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, out);
        lean_refresh_ghosts(out, in);
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

int lean_free()
{
    CHECK_STATUS(cudaFree(dlean[0]));
    CHECK_STATUS(cudaFree(dlean[1]));
    CHECK_STATUS(cudaFree(dlean_nodes));
    if (hlean_form != lean_form::periodic) {
        CHECK_STATUS(cudaFree(dlean_links));
        CHECK_STATUS(cudaFree(dghost_cell));
        CHECK_STATUS(cudaFree(dghost_first));
        CHECK_STATUS(cudaFree(dghost_source));
        CHECK_STATUS(cudaFree(dghost_weight));
        CHECK_STATUS(cudaFree(dghost_shift));
    }
    return 1;
}
