// Kernels of vdwflow, the lean solver: one fused pass per time step over a
// state that keeps only what one step hands to the next, and the refresh of
// its periodic images. The arithmetic is that of periodic_boundary followed
// by lb_time_step, operation for operation, so the results are the same bits.
// A run's constants travel with every launch (step_constants), so that runs
// of different lattices and physics share the kernels in one process.
//
// State: two buffers of kLeanPlanes planes, the old and the new level of a
// step. Each plane is a lattice padded by nw cells of periodic images on
// every side (as the halo lattice) and, beyond that, by the cells that the
// launch geometry covers past the last column and row:
//   planes 0 .. 8   the distributions f_i
//   plane  kLeanN   the density n, the sum of the buffer's distributions
//   plane  kLeanDp  the pressure difference pid - pwaals, from the density
//                   of the step before (the order of periodic_boundary,
//                   which forms the pressures before it sums the new density)
// After a step from buffer A into buffer B, the density plane of A holds the
// density that the other programs show in a snapshot (their slot kn, summed
// before the step's collision).
#pragma once

#include <cstring>

#include "boundaries.h"
#include "kernels/sp_div.cuh"
#include "launch.h"
#include "constants.h"
#include "setup.h"

namespace lean {

// The velocity set's steps, as the kernels' order has them (rest, +x, +y, -x,
// -y, (+,+), (-,+), (-,-), (+,-)): functions rather than tables, which
// device code could not read.
__host__ __device__ constexpr int lean_ex(int i)
{
    return (i == 1 || i == 5 || i == 8) - (i == 3 || i == 6 || i == 7);
}
__host__ __device__ constexpr int lean_ey(int i)
{
    return (i == 2 || i == 5 || i == 6) - (i == 4 || i == 7 || i == 8);
}


// Launch geometry of the fused step: one thread per node, in blocks that
// cover the lattice (state.cu chooses them). The threads past the last
// column or row compute cells of the padding, which nothing reads as a node:
// the kernel then needs no bounds test and runs as straight-line code (vector
// loops on the cpu backend, no divergence on a GPU). The grid's x counts
// blocks down the lattice and its y strips across it, so that consecutive
// blocks walk down a strip, whose rows around the current one stay in cache.

// The van der Waals attraction a, and the weights of the isotropic
// differences: axis neighbours 1/9, diagonal ones 1/36 (the values the
// other solver programs' device constants hold).
constexpr double kAttraction = 1.125;
constexpr double kAxisWeight = 0.1111111111111111;
constexpr double kDiagonalWeight = 0.027777777777777776;

// Cell (lx, ly) of a padded plane, lx and ly counted from the padded corner.
__device__ FORCE_INLINE int lean_cell(const lattice_constants &rc, int lx, int ly)
{
    return lx + ly * rc.row;
}

// The cell of node (ix, iy) of the lattice (of the block a process steps).
__device__ FORCE_INLINE int lean_node_cell(const lattice_constants &rc, int ix, int iy)
{
    return rc.origin + ix + iy * rc.row;
}

// Van der Waals pressure from the density rho of the step before,
// p = 3 n T / (3 - n) - a Tc n^2, and its non-ideal part pid - p.
__device__ FORCE_INLINE double lean_pressure_difference(const lattice_constants &rc, double rho)
{
    const double pid = rho * rc.tfluid;
    const double pwaals = sp_div(pid * 3.0, 3.0 - rho) - ((rc.tcritical * kAttraction) * rho) * rho;
    return pid - pwaals;
}

// Isotropic differences at distance d around cell l of plane q:
// Dx_d = 1/9 (q(+d) - q(-d)) along x plus 1/36 of the four diagonal
// neighbours at distance d, likewise Dy_d. With these weights (8 D_1 - D_2)
// / 2h is the gradient and (D_2 - 2 D_1) / (h^3/3) the gradient of the
// Laplacian, both exact for polynomials up to degree four.
__device__ FORCE_INLINE double lean_diff_x(const double *q, int l, int d, int row)
{
    const int dy = d * row;
    return kAxisWeight * (q[l + d] - q[l - d]) +
           kDiagonalWeight * (q[l + d + dy] + q[l + d - dy] - q[l - d + dy] - q[l - d - dy]);
}

__device__ FORCE_INLINE double lean_diff_y(const double *q, int l, int d, int row)
{
    const int dy = d * row;
    return kAxisWeight * (q[l + dy] - q[l - dy]) +
           kDiagonalWeight * (q[l + d + dy] + q[l - d + dy] - q[l - d - dy] - q[l + d - dy]);
}

// Force per unit mass from the pressure gradient over 2h and the third
// derivative's numerator: the (gx / 2h) / rho quotient stays in single
// precision between its two divisions.
__device__ FORCE_INLINE double lean_force(const step_constants &rc, double grad_over_2h,
                                          double third, double rho)
{
    return sp_div(grad_over_2h, rho) + rc.kappa * sp_div(third, rc.delta_space_three_three);
}

// Forms of the fused step: with walls or solid nodes (their link words: the
// propagation reflects the links out of a solid, and solid nodes stay empty)
// and with a body force. Each is its own kernel, chosen once per run, so the
// periodic step keeps its loop as it is.

// a where `pick_a` is 1, b where it is 0, without a branch: on the cpu backend the bits
// are blended, so that the compiler cannot sink the computation of a value
// into a branch of its own (which would keep the loop from vectorising).
__device__ FORCE_INLINE double lean_select(unsigned pick_a, double a, double b)
{
#ifdef __CUDACC__
    return pick_a ? a : b;
#else
    const unsigned long long mask = 0ull - static_cast<unsigned long long>(pick_a);
    unsigned long long bits_a, bits_b;
    std::memcpy(&bits_a, &a, sizeof a);
    std::memcpy(&bits_b, &b, sizeof b);
    const unsigned long long bits = (bits_a & mask) | (bits_b & ~mask);
    double r;
    std::memcpy(&r, &bits, sizeof r);
    return r;
#endif
}

// The isotropic 9-point Laplacian of plane q at cell l:
// (4 (axis neighbours) + (diagonal neighbours) - 20 centre) / (6 h^2).
__device__ FORCE_INLINE double lean_laplacian(const lattice_constants &rc, const double *q, int l, int row)
{
    const double axes = (q[l + 1] + q[l - 1]) + (q[l + row] + q[l - row]);
    const double diagonals = (q[l + row + 1] + q[l + row - 1]) + (q[l - row + 1] + q[l - row - 1]);
    return rc.laplacian_scale * ((4.0 * axes + diagonals) - 20.0 * q[l]);
}

// The isotropic 19-point Laplacian of D3Q19 at cell l of a box:
// (2 (axis neighbours) + (edge neighbours) - 24 centre) / (6 h^2), which is
// the 9-point one for a plane that does not vary along z.
__device__ FORCE_INLINE double lean_laplacian3(const lattice_constants &rc, const double *q, int l)
{
    const int x = 1, y = rc.row, z = rc.slab;
    const double axes = ((q[l + x] + q[l - x]) + (q[l + y] + q[l - y])) + (q[l + z] + q[l - z]);
    const double edges = (((q[l + x + y] + q[l - x - y]) + (q[l + x - y] + q[l - x + y])) +
                          ((q[l + x + z] + q[l - x - z]) + (q[l + x - z] + q[l - x + z]))) +
                         ((q[l + y + z] + q[l - y - z]) + (q[l + y - z] + q[l - y + z]));
    return rc.laplacian_scale * ((2.0 * axes + edges) - 24.0 * q[l]);
}

// One time step of node (ix, iy): from the old level `in` to the new level
// `out` (both interiors; the images of `out` are refreshed afterwards).
template <bool Walls, bool Gravity, scheme_kind Scheme = scheme_kind::upwind>
__device__ FORCE_INLINE void lean_node(const step_constants &rc, int ix, int iy,
                                       const double *__restrict__ in, double *__restrict__ out,
                                       const unsigned *__restrict__ links)
{
    const int row = rc.row;
    const int plane = rc.plane;
    const int l = lean_node_cell(rc, ix, iy);
    const double *rho_in = in + kLeanN * plane;
    const double *dp_in = in + kLeanDp * plane;

    // The old level at the node: distributions, and the velocity from their
    // moments (the momentum summed as periodic_boundary sums it; the density
    // stored with them is the same sum).
    double f[9];
    double jx = 0.0;
    double jy = 0.0;
    UNROLL_FULLY for (int i = 0; i < 9; ++i)
    {
        f[i] = in[i * plane + l];
        jx += f[i] * rc.cx[i];
        jy += f[i] * rc.cy[i];
    }
    const double rho = rho_in[l];
    const double ux = sp_div(jx, rho);
    const double uy = sp_div(jy, rho);

    // Force per unit mass: fourth-order pressure gradient over the density
    // and the surface-tension term kappa grad(laplacian(rho)); with gravity,
    // g (1 - n_ref / n): the weight of the fluid less that of a reference
    // density (0: the whole weight).
    const double gx = 8.0 * lean_diff_x(dp_in, l, 1, row) - lean_diff_x(dp_in, l, 2, row);
    const double gy = 8.0 * lean_diff_y(dp_in, l, 1, row) - lean_diff_y(dp_in, l, 2, row);
    double ax, ay;
    if (Scheme == scheme_kind::upwind) {
        const double tx = lean_diff_x(rho_in, l, 2, row) - 2.0 * lean_diff_x(rho_in, l, 1, row);
        const double ty = lean_diff_y(rho_in, l, 2, row) - 2.0 * lean_diff_y(rho_in, l, 1, row);
        ax = lean_force(rc, sp_div(gx, rc.two_delta_space), tx, rho);
        ay = lean_force(rc, sp_div(gy, rc.two_delta_space), ty, rho);
    } else {
        // The surface-tension term as the fourth-order isotropic gradient of
        // the isotropic Laplacian (no response at the grid scale), with the
        // dispersion of the Lax-Wendroff propagation folded into kappa.
        const double *lap_in = in + kLeanLap * plane;
        const double lx = (8.0 * lean_diff_x(lap_in, l, 1, row) - lean_diff_x(lap_in, l, 2, row)) * rc.inv_two_h;
        const double ly = (8.0 * lean_diff_y(lap_in, l, 1, row) - lean_diff_y(lap_in, l, 2, row)) * rc.inv_two_h;
        const double k = rc.kappa + rc.dispersion / rho;
        ax = sp_div(sp_div(gx, rc.two_delta_space), rho) + k * lx;
        ay = sp_div(sp_div(gy, rc.two_delta_space), rho) + k * ly;
    }
    if (Gravity) {
        ax += rc.gravity_x - rc.gravity_ref_x / rho;
        ay += rc.gravity_y - rc.gravity_ref_y / rho;
    }

    // Second-order equilibria; the base term 1 - u^2 / (2 cs^2) first.
    double feq[9];
    const double base = 1.0 - sp_div(ux * ux + uy * uy, rc.twochic2);
    UNROLL_FULLY for (int i = 1; i < 9; ++i)
    {
        const double cu = rc.cx[i] * ux + rc.cy[i] * uy;
        feq[i] = rc.w[i] * (rho * (sp_div(cu * cu, rc.twochi2c4) + (sp_div(cu, rc.chic2) + base)));
    }
    feq[0] = base * (rc.w[0] * rho);

    // Upwind cell of velocity i: the home cell minus e_i, in the velocity
    // order rest, +x, +y, -x, -y, (+,+), (-,+), (-,-), (+,-); opposite[i]
    // the velocity -e_i.
    const int upwind[9] = {0, -1, -row, 1, row, -row - 1, -row + 1, row + 1, row - 1};
    const int opposite[9] = {0, 3, 4, 1, 2, 7, 8, 5, 6};
    const unsigned link = Walls ? links[l] : 0u;

    // Lax-Wendroff: along each velocity k, the second difference of the
    // equilibria (the Lax-Wendroff flux of the equilibrium part, beyond the
    // upwind one) and their fourth difference (a hyperviscosity that damps
    // the grid-scale mode which centred differences leave alone), of their
    // part linear in the density and momentum, w_k (n + c_k . j / cs^2), so
    // that the differences are those of n and of s = c_k . j along the four
    // lines through the node, one and two nodes either way. Where a node on
    // the line is solid, it shows its mirror image across the wall, with the
    // opposite velocity (s of the opposite sign), as the propagation reflects
    // the distributions.
    double lw[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    if (Scheme == scheme_kind::lax_wendroff) {
        const double *jx_in = in + kLeanJx * plane;
        const double *jy_in = in + kLeanJy * plane;
        const int lines[4] = {1, 2, 5, 6};  // +x, +y, (+,+), (-,+)
        UNROLL_FULLY for (int m = 0; m < 4; ++m)
        {
            const int k = lines[m], kb = opposite[k];
            const int d = -upwind[k];  // x + e_k
            // s = c_k . j / c, with the velocity's components known here:
            // one plane of the momentum along the axes, two along diagonals
            const auto along = [&](double x_part, double y_part) {
                return lean_ex(k) == 0 ? lean_ey(k) * y_part
                                       : lean_ey(k) == 0 ? lean_ex(k) * x_part
                                                         : lean_ex(k) * x_part + lean_ey(k) * y_part;
            };
            const auto s_at = [&](int q) {
                return along(lean_ex(k) != 0 ? jx_in[q] : 0.0, lean_ey(k) != 0 ? jy_in[q] : 0.0);
            };
            const double n0 = rho, s0 = along(jx, jy);
            double n1 = rho_in[l + d], s1 = s_at(l + d), n2 = rho_in[l + 2 * d], s2 = s_at(l + 2 * d);
            double m1 = rho_in[l - d], t1 = s_at(l - d), m2 = rho_in[l - 2 * d], t2 = s_at(l - 2 * d);
            if (Walls) {
                // (bit i: x - e_i solid; bit 8 + i: x - 2 e_i solid)
                const unsigned ahead = (link >> kb) & 1u, behind = (link >> k) & 1u;
                const unsigned ahead2 = (link >> (8 + kb)) & 1u, behind2 = (link >> (8 + k)) & 1u;
                // x + 2 e_k beyond a wall after x + e_k: the mirror of x + e_k
                n2 = lean_select(ahead2, n1, n2);
                s2 = lean_select(ahead2, -s1, s2);
                m2 = lean_select(behind2, m1, m2);
                t2 = lean_select(behind2, -t1, t2);
                // x + e_k beyond a wall: x + e_k mirrors x, x + 2 e_k mirrors
                // x - e_k (or x, where that is solid too)
                n2 = lean_select(ahead, lean_select(behind, n0, m1), n2);
                s2 = lean_select(ahead, lean_select(behind, -s0, -t1), s2);
                m2 = lean_select(behind, lean_select(ahead, n0, n1), m2);
                t2 = lean_select(behind, lean_select(ahead, -s0, -s1), t2);
                n1 = lean_select(ahead, n0, n1);
                s1 = lean_select(ahead, -s0, s1);
                m1 = lean_select(behind, n0, m1);
                t1 = lean_select(behind, -s0, t1);
            }
            const double second_n = (n1 - 2.0 * n0) + m1;
            const double second_s = (s1 - 2.0 * s0) + t1;
            const double fourth_n = ((n2 + m2) - 4.0 * (n1 + m1)) + 6.0 * n0;
            const double fourth_s = ((s2 + t2) - 4.0 * (s1 + t1)) + 6.0 * s0;
            const double even = rc.lw_coefficient * second_n + rc.hyper * fourth_n;
            const double odd =
                (rc.lw_coefficient * second_s + rc.hyper * fourth_s) * rc.c_over_cs2;
            lw[k] = rc.w[k] * (even + odd);
            lw[kb] = rc.w[k] * (even - odd);
        }
    }

    // Propagation (a pull from the old level; the rest distribution stays;
    // a link out of a solid brings the node's own opposite distribution back),
    // then BGK relaxation and forcing at the node; the new density is summed
    // from the new distributions in the order of the moment loop. Solid
    // nodes stay empty.
    const double rate = Scheme == scheme_kind::upwind ? sp_div(rc.delta_time, rc.tau) : rc.rate;
    double n = 0.0;
    double jx_out = 0.0, jy_out = 0.0;
    UNROLL_FULLY for (int i = 0; i < 9; ++i)
    {
        double upstream = in[i * plane + l + upwind[i]];
        if (Walls && i > 0) upstream = lean_select((link >> i) & 1u, f[opposite[i]], upstream);
        double moved = i == 0 ? f[0] : f[i] - rc.cfl * (f[i] - upstream);
        if (Scheme == scheme_kind::lax_wendroff) moved -= lw[i];
        double g = moved - (rate * (f[i] - feq[i]) -
                            (ax * (rc.cx[i] - ux) + ay * (rc.cy[i] - uy)) * (feq[i] * rc.dtimetemp));
        if (Walls) g = lean_select(link & kLinkSolid, 0.0, g);
        out[i * plane + l] = g;
        n += g;
        if (Scheme == scheme_kind::lax_wendroff) {
            jx_out += g * rc.cx[i];
            jy_out += g * rc.cy[i];
        }
    }
    // (a solid node keeps a density of 1: its own step then computes no 0 / 0)
    if (Walls) n = lean_select(link & kLinkSolid, 1.0, n);
    out[kLeanN * plane + l] = n;
    out[kLeanDp * plane + l] = lean_pressure_difference(rc, rho);
    if (Scheme == scheme_kind::lax_wendroff) {
        // What the next step reads of this level at its neighbours: the
        // momentum, summed as the next step sums it at this node.
        out[kLeanJx * plane + l] = jx_out;
        out[kLeanJy * plane + l] = jy_out;
    }
}

// The periodic step of every node (the threads past the lattice compute
// padding).
SIMD_KERNEL(lean_step, const double *__restrict__ in, double *__restrict__ out,
            CONSTANTS_PARAM(step_constants) rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    lean_node<false, false>(rc, ix, iy, in, out, nullptr);
}

// The other forms, with the link words of the padded plane.
template <bool Walls, bool Gravity, scheme_kind Scheme>
SIMD_KERNEL(lean_step_form, const double *__restrict__ in, double *__restrict__ out,
            const unsigned *__restrict__ links, CONSTANTS_PARAM(step_constants) rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    lean_node<Walls, Gravity, Scheme>(rc, ix, iy, in, out, links);
}

// Ghost densities of the solid cells next to the fluid, after a step into
// `out` (from `in`) and the refresh of out's images: the density, a weighted
// mean of fluid densities of `out` plus the wetting shift, and the pressure
// difference, lagged as in the fluid: from the ghost density of `in`; with
// the Lax-Wendroff scheme also the (lagged) Laplacian, the same mean of the
// fluid's without a shift. boundaries.h has the table and its rules.
__global__ void lean_ghosts(double *out, const double *in, const int *cells, const int *first,
                            const int *sources, const double *weights, const double *shifts,
                            int count, const lattice_constants rc)
{
    const int stride = gridDim.x * blockDim.x;
    double *rho = out + rc.density_plane * rc.plane;
    for (int g = blockIdx.x * blockDim.x + threadIdx.x; g < count; g += stride) {
        const int cell = cells[g];
        double mean = 0.0;
        for (int j = first[g]; j < first[g + 1]; ++j)
            mean += weights[j] * rho[sources[j]];
        out[rc.difference_plane * rc.plane + cell] =
            lean_pressure_difference(rc, in[rc.density_plane * rc.plane + cell]);
        rho[cell] = mean + shifts[g];
    }
}

// The Laplacian of the Lax-Wendroff scheme at the ghost cells: next to the
// fluid the isotropic Laplacian of the (ghost) densities, as in the fluid; a
// cell further, where that stencil would leave the padded plane, the mean of
// the fluid's Laplacians the ghost's density is formed from; in the periodic
// images of a direction without walls, none: the images bring it after.
template <int Dimensions>
__global__ void lean_ghosts_laplacian(double *level, const int *cells, const int *first,
                                      const int *sources, const double *weights,
                                      const int *layers, int count, const lattice_constants rc)
{
    const int stride = gridDim.x * blockDim.x;
    double *lap = level + rc.laplacian_plane * rc.plane;
    const double *rho = level + rc.density_plane * rc.plane;
    for (int g = blockIdx.x * blockDim.x + threadIdx.x; g < count; g += stride) {
        if (layers[g] == 0) continue;  // (the images bring it)
        if (layers[g] == 1) {
            lap[cells[g]] = Dimensions == 2 ? lean_laplacian(rc, rho, cells[g], rc.row)
                                            : lean_laplacian3(rc, rho, cells[g]);
        } else {
            double mean = 0.0;
            for (int j = first[g]; j < first[g + 1]; ++j)
                mean += weights[j] * lap[sources[j]];
            lap[cells[g]] = mean;
        }
    }
}

// The Laplacian plane of a level of the Lax-Wendroff scheme from its density
// (whose images and ghosts stand), at every cell the step computes.
SIMD_KERNEL(lean_laplacian_pass, double *__restrict__ level, const lattice_constants rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    const int l = lean_node_cell(rc, ix, iy);
    level[kLeanLap * rc.plane + l] = lean_laplacian(rc, level + kLeanN * rc.plane, l, rc.row);
}

// Cells of the periodic images: the border nw wide around the lattice, the
// top and bottom bands first, then the left and right ones. Image cell t
// (0 .. lean_image_count() - 1) takes the value of the node at its position
// modulo the lattice along the directions without walls (so lattices
// narrower than 2 nw wrap more than once); behind a wall it stays as the
// ghosts make it.
__device__ FORCE_INLINE int lean_image_count(const lattice_constants &rc)
{
    return 2 * rc.halo * (rc.nodes_x + 2 * rc.halo) + 2 * rc.halo * rc.nodes_y;
}

__device__ FORCE_INLINE void lean_image_cells(const lattice_constants &rc, int t, int *to, int *from)
{
    const int width = rc.nodes_x + 2 * rc.halo;
    const int bands = 2 * rc.halo * width;
    int lx, ly;
    if (t < bands) {
        const int band_row = t / width;  // 0 .. 2 nw - 1
        lx = t % width;
        ly = band_row < rc.halo ? band_row : rc.nodes_y + band_row;
    } else {
        const int u = t - bands;
        const int band_column = u % (2 * rc.halo);
        lx = band_column < rc.halo ? band_column : rc.nodes_x + band_column;
        ly = rc.halo + u / (2 * rc.halo);
    }
    // (behind a wall, the cell itself: the ghosts fill it)
    const int sx = rc.walls & 1 ? lx - rc.halo : ((lx - rc.halo) % rc.nodes_x + rc.nodes_x) % rc.nodes_x;
    const int sy = rc.walls & 2 ? ly - rc.halo : ((ly - rc.halo) % rc.nodes_y + rc.nodes_y) % rc.nodes_y;
    *to = lean_cell(rc, lx, ly);
    *from = lean_node_cell(rc, sx, sy);
}

// Periodic images of plane p of `buffer`: one thread per image cell.
__global__ void lean_images_plane(double *buffer, int p, const lattice_constants rc)
{
    const int stride = gridDim.x * blockDim.x;
    for (int t = blockIdx.x * blockDim.x + threadIdx.x; t < lean_image_count(rc); t += stride) {
        int to, from;
        lean_image_cells(rc, t, &to, &from);
        buffer[p * rc.plane + to] = buffer[p * rc.plane + from];
    }
}

// Periodic images of the planes of `buffer` (rc.planes of them).
__global__ void lean_images(double *buffer, const lattice_constants rc)
{
    const int stride = gridDim.x * blockDim.x;
    for (int t = blockIdx.x * blockDim.x + threadIdx.x; t < lean_image_count(rc); t += stride) {
        int to, from;
        lean_image_cells(rc, t, &to, &from);
        for (int p = 0; p < rc.planes; ++p)
            buffer[p * rc.plane + to] = buffer[p * rc.plane + from];
    }
}

// The first level from a node field array's slots: the distributions as
// they stand in `state`, their sum as its density, and the pressure
// difference from `density_before` (the density the field array holds,
// which periodic_boundary would use), which is also stored as the density
// plane of `before`, for a snapshot taken before any step.
SIMD_KERNEL(lean_start, double *__restrict__ state, double *__restrict__ before,
            CONSTANTS_PARAM(step_constants) rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    const int l = lean_node_cell(rc, ix, iy);
    const int plane = rc.plane;
    double n = 0.0;
    UNROLL_FULLY for (int i = 0; i < 9; ++i) n += state[i * plane + l];
    state[kLeanN * plane + l] = n;
    state[kLeanDp * plane + l] = lean_pressure_difference(rc, before[kLeanN * plane + l]);
}

// The first level of the Lax-Wendroff scheme: as lean_start, and the
// momentum its step reads at the neighbours, summed as the step sums it.
SIMD_KERNEL(lean_start_lw, double *__restrict__ state, const double *__restrict__ before,
            CONSTANTS_PARAM(step_constants) rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    const int l = lean_node_cell(rc, ix, iy);
    const int plane = rc.plane;
    double n = 0.0, jx = 0.0, jy = 0.0;
    UNROLL_FULLY for (int i = 0; i < 9; ++i)
    {
        const double f = state[i * plane + l];
        n += f;
        jx += f * rc.cx[i];
        jy += f * rc.cy[i];
    }
    state[kLeanN * plane + l] = n;
    state[kLeanDp * plane + l] = lean_pressure_difference(rc, before[kLeanN * plane + l]);
    state[kLeanJx * plane + l] = jx;
    state[kLeanJy * plane + l] = jy;
}

// Copies between a plane of nodes_x x nodes_y values (x fastest, as a slot of
// the node field array) and the interior of a padded plane.
__global__ void lean_unpack(const double *nodes_plane, double *padded, const lattice_constants rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    if (ix < rc.nodes_x && iy < rc.nodes_y)
        padded[lean_node_cell(rc, ix, iy)] = nodes_plane[iy * rc.nodes_x + ix];
}

__global__ void lean_pack(const double *padded, double *nodes_plane, const lattice_constants rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    if (ix < rc.nodes_x && iy < rc.nodes_y)
        nodes_plane[iy * rc.nodes_x + ix] = padded[lean_node_cell(rc, ix, iy)];
}

// The velocity that a snapshot shows, u = j / n: the momentum of the
// distributions of `level` summed in the step's order and divided by the
// density plane of `density_level` (the same level after a step; before the
// first one, the density of the start), into (ux, uy) pairs of the nodes.
__global__ void lean_pack_velocity(const double *level, const double *density_level,
                                   double *pairs, CONSTANTS_PARAM(step_constants) rc)
{
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x);
    const int iy = static_cast<int>(blockIdx.x * blockDim.y) + static_cast<int>(threadIdx.y);
    if (ix < rc.nodes_x && iy < rc.nodes_y) {
        const int l = lean_node_cell(rc, ix, iy);
        double jx = 0.0, jy = 0.0;
        for (int i = 0; i < 9; i++) {
            jx += level[i * rc.plane + l] * rc.cx[i];
            jy += level[i * rc.plane + l] * rc.cy[i];
        }
        const double rho = density_level[kLeanN * rc.plane + l];
        const int p = iy * rc.nodes_x + ix;
        pairs[2 * p] = sp_div(jx, rho);
        pairs[2 * p + 1] = sp_div(jy, rho);
    }
}

}  // namespace lean
