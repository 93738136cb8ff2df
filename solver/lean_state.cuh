// The lean solver's device state and its launches, defined beside the
// kernels: include once, in a program's translation unit, after
// kernels/vdwflow_lean.cuh.
#pragma once

#include <cstdint>

#include "device_mirror.h"
#include "lean_state.h"
#include "reporters.h"
#include "run_checks.h"
#include "run_config.h"

double *dlean[2];
double *dlean_nodes;
int hlean_current;

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
    return 1;
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

    for (int i = 0; i < hnvelocities; i++)
        lean_upload_slot(i, dlean[0], i);
    lean_upload_slot(hkn, dlean[1], kLeanN);
    LAUNCH_CHECKED(lean_start, hlean_grid, hlean_block, 0, 0, dlean[0], dlean[1]);
    LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, dlean[0]);
    hlean_current = 0;
    return 1;
}

void lean_steps(int count)
{
    for (int s = 0; s < count; s++) {
        double *in = dlean[hlean_current];
        double *out = dlean[1 - hlean_current];
        LAUNCH_CHECKED(lean_step, hlean_grid, hlean_block, 0, 0, in, out);
        LAUNCH_CHECKED(lean_images, hlean_image_grid, hlean_image_block, 0, 0, out);
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

int lean_free()
{
    CHECK_STATUS(cudaFree(dlean[0]));
    CHECK_STATUS(cudaFree(dlean[1]));
    CHECK_STATUS(cudaFree(dlean_nodes));
    return 1;
}
