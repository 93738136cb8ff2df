// The fused step of a three-dimensional vdwflow run: the physics of the
// two-dimensional step (step.cuh) on D3Q19 (velocity_set.h): the van der
// Waals pressure, its fourth-order gradient and the surface tension from the
// velocity set's own isotropic differences, the second-order equilibria, the
// upwind or Lax-Wendroff propagation, and the relaxation with forcing. A
// state that does not vary along z steps as the two-dimensional one, to the
// rounding of the regrouped sums (the stencils sum over their z neighbours
// to the 2-D ones).
//
// State: two levels of kLean3Planes (kLean3PlanesLW) planes, each a box of
// padded cells: the lattice and kHalo cells on every side (periodic images,
// or ghosts behind walls), and the cells that the launch geometry covers
// past the last column and row. Include after step.cuh.
#pragma once

#include <cstdint>

#include "velocity_set.h"

namespace lean {

using V3 = d3q19;

// The offset of velocity i's neighbour in a box of rows `row` and layers `slab`.
__device__ FORCE_INLINE int lean_offset3(int i, int row, int slab)
{
    return V3::ex(i) + V3::ey(i) * row + V3::ez(i) * slab;
}

// The velocity set's differences at distance d, one component per axis:
// D_d q = sum_i w_i e_i q(x + d e_i), axis neighbours 1/18, edge neighbours
// 1/36. (8 D_1 - D_2) / 2h is the gradient and (D_2 - 2 D_1) / (h^3/3) the
// gradient of the Laplacian, exact for polynomials up to degree four.
__device__ FORCE_INLINE void lean_diff3(const double *q, int l, int d, int row, int slab,
                                        double &dx, double &dy, double &dz)
{
    constexpr double a = 1.0 / 18.0, e = 1.0 / 36.0;
    const int X = d, Y = d * row, Z = d * slab;
    dx = a * (q[l + X] - q[l - X]) +
         e * (((q[l + X + Y] - q[l - X - Y]) + (q[l + X - Y] - q[l - X + Y])) +
              ((q[l + X + Z] - q[l - X - Z]) + (q[l + X - Z] - q[l - X + Z])));
    dy = a * (q[l + Y] - q[l - Y]) +
         e * (((q[l + X + Y] - q[l - X - Y]) + (q[l - X + Y] - q[l + X - Y])) +
              ((q[l + Y + Z] - q[l - Y - Z]) + (q[l + Y - Z] - q[l - Y + Z])));
    dz = a * (q[l + Z] - q[l - Z]) +
         e * (((q[l + X + Z] - q[l - X - Z]) + (q[l - X + Z] - q[l + X - Z])) +
              ((q[l + Y + Z] - q[l - Y - Z]) + (q[l - Y + Z] - q[l + Y - Z])));
}

// c_i . v / c: the sum of the components of v that velocity i has, signed.
__device__ FORCE_INLINE double lean_along3(int i, double vx, double vy, double vz)
{
    double s = 0.0;
    bool any = false;
    const auto add = [&](int e, double v) {
        if (e == 0) return;
        const double signed_v = e > 0 ? v : -v;
        s = any ? s + signed_v : signed_v;
        any = true;
    };
    add(V3::ex(i), vx);
    add(V3::ey(i), vy);
    add(V3::ez(i), vz);
    return s;
}

// The speed component c e_a of velocity i.
__device__ FORCE_INLINE double lean_speed3(int e, double c)
{
    return e == 0 ? 0.0 : e > 0 ? c : -c;
}

// Bits of a three-dimensional cell's link word: bit 0 the cell is solid;
// bit i (1 .. 18) the cell minus e_i is solid; bit 18 + i the cell minus
// 2 e_i is solid.
constexpr int kLink3Second = 18;

// One time step of node (ix, iy, iz).
template <bool Walls, bool Gravity, scheme_kind Scheme>
__device__ FORCE_INLINE void lean_node3(const step_constants3 &rc, int ix, int iy, int iz,
                                        const double *__restrict__ in, double *__restrict__ out,
                                        const unsigned long long *__restrict__ links)
{
    const int row = rc.row, slab = rc.slab;
    const std::int64_t plane = rc.plane;
    const int l = rc.origin + ix + iy * row + iz * slab;
    const double *rho_in = in + kLean3N * plane;
    const double *dp_in = in + kLean3Dp * plane;

    double f[19];
    double jx = 0.0, jy = 0.0, jz = 0.0;
    UNROLL_FULLY for (int i = 0; i < 19; ++i)
    {
        f[i] = in[i * plane + l];
        if (V3::ex(i) != 0) jx += V3::ex(i) > 0 ? f[i] : -f[i];
        if (V3::ey(i) != 0) jy += V3::ey(i) > 0 ? f[i] : -f[i];
        if (V3::ez(i) != 0) jz += V3::ez(i) > 0 ? f[i] : -f[i];
    }
    jx *= rc.c;
    jy *= rc.c;
    jz *= rc.c;
    const double rho = rho_in[l];
    const double ux = sp_div(jx, rho), uy = sp_div(jy, rho), uz = sp_div(jz, rho);

    // Force per unit mass: the fourth-order gradient of the pressure
    // difference over the density and the surface-tension term (the
    // gradient of the Laplacian); with gravity, g (1 - n_ref / n).
    double g1x, g1y, g1z, g2x, g2y, g2z;
    lean_diff3(dp_in, l, 1, row, slab, g1x, g1y, g1z);
    lean_diff3(dp_in, l, 2, row, slab, g2x, g2y, g2z);
    const double gx = 8.0 * g1x - g2x, gy = 8.0 * g1y - g2y, gz = 8.0 * g1z - g2z;
    double ax, ay, az;
    if (Scheme == scheme_kind::upwind) {
        double r1x, r1y, r1z, r2x, r2y, r2z;
        lean_diff3(rho_in, l, 1, row, slab, r1x, r1y, r1z);
        lean_diff3(rho_in, l, 2, row, slab, r2x, r2y, r2z);
        const auto force = [&](double grad, double third) {
            return sp_div(sp_div(grad, rc.two_delta_space), rho) +
                   rc.kappa * sp_div(third, rc.delta_space_three_three);
        };
        ax = force(gx, r2x - 2.0 * r1x);
        ay = force(gy, r2y - 2.0 * r1y);
        az = force(gz, r2z - 2.0 * r1z);
    } else {
        // The isotropic gradient of the isotropic Laplacian, the dispersion
        // of the Lax-Wendroff propagation folded into kappa.
        const double *lap_in = in + kLean3Lap * plane;
        double l1x, l1y, l1z, l2x, l2y, l2z;
        lean_diff3(lap_in, l, 1, row, slab, l1x, l1y, l1z);
        lean_diff3(lap_in, l, 2, row, slab, l2x, l2y, l2z);
        const double k = rc.kappa + rc.dispersion / rho;
        ax = sp_div(sp_div(gx, rc.two_delta_space), rho) + k * ((8.0 * l1x - l2x) * rc.inv_two_h);
        ay = sp_div(sp_div(gy, rc.two_delta_space), rho) + k * ((8.0 * l1y - l2y) * rc.inv_two_h);
        az = sp_div(sp_div(gz, rc.two_delta_space), rho) + k * ((8.0 * l1z - l2z) * rc.inv_two_h);
    }
    if (Gravity) {
        ax += rc.gravity_x - rc.gravity_ref_x / rho;
        ay += rc.gravity_y - rc.gravity_ref_y / rho;
        az += rc.gravity_z - rc.gravity_ref_z / rho;
    }

    // Second-order equilibria.
    double feq[19];
    const double base = 1.0 - sp_div(ux * ux + uy * uy + uz * uz, rc.twochic2);
    UNROLL_FULLY for (int i = 1; i < 19; ++i)
    {
        const double cu = rc.c * lean_along3(i, ux, uy, uz);
        feq[i] = V3::weight(i) * (rho * (sp_div(cu * cu, rc.twochi2c4) + (sp_div(cu, rc.chic2) + base)));
    }
    feq[0] = base * (V3::weight(0) * rho);

    const unsigned long long link = Walls ? links[l] : 0ull;
    const auto bit = [&](int b) { return static_cast<unsigned>((link >> b) & 1ull); };

    // Lax-Wendroff: along each of the nine lines through the node (a
    // velocity and its opposite) the second and fourth differences of the
    // equilibria's part linear in n and j, as in two dimensions; solid nodes
    // on a line show their mirror images across the wall.
    double lw[19];
    UNROLL_FULLY for (int i = 0; i < 19; ++i) lw[i] = 0.0;
    if (Scheme == scheme_kind::lax_wendroff) {
        const double *jx_in = in + kLean3Jx * plane;
        const double *jy_in = in + kLean3Jy * plane;
        const double *jz_in = in + kLean3Jz * plane;
        UNROLL_FULLY for (int m = 0; m < 9; ++m)
        {
            const int k = 2 * m + 1, kb = k + 1;
            const int d = lean_offset3(k, row, slab);  // x + e_k
            const auto s_at = [&](int q) { return lean_along3(k, jx_in[q], jy_in[q], jz_in[q]); };
            const double n0 = rho, s0 = lean_along3(k, jx, jy, jz);
            double n1 = rho_in[l + d], s1 = s_at(l + d), n2 = rho_in[l + 2 * d], s2 = s_at(l + 2 * d);
            double m1 = rho_in[l - d], t1 = s_at(l - d), m2 = rho_in[l - 2 * d], t2 = s_at(l - 2 * d);
            if (Walls) {
                const unsigned ahead = bit(kb), behind = bit(k);
                const unsigned ahead2 = bit(kLink3Second + kb), behind2 = bit(kLink3Second + k);
                n2 = lean_select(ahead2, n1, n2);
                s2 = lean_select(ahead2, -s1, s2);
                m2 = lean_select(behind2, m1, m2);
                t2 = lean_select(behind2, -t1, t2);
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
            const double odd = (rc.lw_coefficient * second_s + rc.hyper * fourth_s) * rc.c_over_cs2;
            lw[k] = V3::weight(k) * (even + odd);
            lw[kb] = V3::weight(k) * (even - odd);
        }
    }

    // Propagation (a pull from the old level; a link out of a solid brings
    // the node's own opposite distribution back), relaxation and forcing.
    const double rate = Scheme == scheme_kind::upwind ? sp_div(rc.delta_time, rc.tau) : rc.rate;
    double n = 0.0, jx_out = 0.0, jy_out = 0.0, jz_out = 0.0;
    UNROLL_FULLY for (int i = 0; i < 19; ++i)
    {
        double moved = f[0];
        if (i > 0) {
            double upstream = in[i * plane + l - lean_offset3(i, row, slab)];
            if (Walls) upstream = lean_select(bit(i), f[V3::opposite(i)], upstream);
            moved = f[i] - rc.cfl * (f[i] - upstream);
        }
        if (Scheme == scheme_kind::lax_wendroff) moved -= lw[i];
        const double force = ax * (lean_speed3(V3::ex(i), rc.c) - ux) +
                             ay * (lean_speed3(V3::ey(i), rc.c) - uy) +
                             az * (lean_speed3(V3::ez(i), rc.c) - uz);
        double g = moved - (rate * (f[i] - feq[i]) - force * (feq[i] * rc.dtimetemp));
        if (Walls) g = lean_select(static_cast<unsigned>(link & 1ull), 0.0, g);
        out[i * plane + l] = g;
        n += g;
        if (Scheme == scheme_kind::lax_wendroff) {
            if (V3::ex(i) != 0) jx_out += V3::ex(i) > 0 ? g : -g;
            if (V3::ey(i) != 0) jy_out += V3::ey(i) > 0 ? g : -g;
            if (V3::ez(i) != 0) jz_out += V3::ez(i) > 0 ? g : -g;
        }
    }
    if (Walls) n = lean_select(static_cast<unsigned>(link & 1ull), 1.0, n);
    out[kLean3N * plane + l] = n;
    out[kLean3Dp * plane + l] = lean_pressure_difference(rc, rho);
    if (Scheme == scheme_kind::lax_wendroff) {
        out[kLean3Jx * plane + l] = jx_out * rc.c;
        out[kLean3Jy * plane + l] = jy_out * rc.c;
        out[kLean3Jz * plane + l] = jz_out * rc.c;
    }
}

// The node of a thread: x across the block's row of a strip; y and z from
// the grid's x, which walks the lattice in pencils of kPencil blocks of rows
// marched along z, so that the layers a step reads around the current one
// (two each way of the density and the pressure difference, one of the
// distributions) stay in a core's cache for the rows next along.
constexpr int kPencil = 4;
#define LEAN_NODE3                                                                            \
    const int ix = static_cast<int>(blockIdx.y * blockDim.x) + static_cast<int>(threadIdx.x); \
    const int y_blocks = (rc.nodes_y + static_cast<int>(blockDim.y) - 1) /                    \
                         static_cast<int>(blockDim.y);                                        \
    const int pencil_ = static_cast<int>(blockIdx.x) / (kPencil * rc.nodes_z);                 \
    const int in_pencil_ = static_cast<int>(blockIdx.x) - pencil_ * kPencil * rc.nodes_z;      \
    const int width_ = y_blocks - pencil_ * kPencil < kPencil ? y_blocks - pencil_ * kPencil   \
                                                             : kPencil;                       \
    const int iz = in_pencil_ / width_;                                                       \
    const int iy = (pencil_ * kPencil + in_pencil_ % width_) * static_cast<int>(blockDim.y) +  \
                   static_cast<int>(threadIdx.y)

template <bool Walls, bool Gravity, scheme_kind Scheme>
SIMD_KERNEL(lean_step3, const double *__restrict__ in, double *__restrict__ out,
            const unsigned long long *__restrict__ links, CONSTANTS_PARAM(step_constants3) rc)
{
    LEAN_NODE3;
    lean_node3<Walls, Gravity, Scheme>(rc, ix, iy, iz, in, out, links);
}

// The Laplacian plane of a level (its density's images and ghosts standing).
SIMD_KERNEL(lean_laplacian_pass3, double *__restrict__ level, const lattice_constants rc)
{
    LEAN_NODE3;
    const int l = rc.origin + ix + iy * rc.row + iz * rc.slab;
    level[static_cast<std::int64_t>(kLean3Lap) * rc.plane + l] =
        lean_laplacian3(rc, level + static_cast<std::int64_t>(kLean3N) * rc.plane, l);
}

// The first level from the distributions as they stand in `state`: their
// sum as its density (and with the Lax-Wendroff scheme the momentum), the
// pressure difference from the density of `before`.
template <scheme_kind Scheme>
SIMD_KERNEL(lean_start3, double *__restrict__ state, const double *__restrict__ before,
            CONSTANTS_PARAM(step_constants3) rc)
{
    LEAN_NODE3;
    const int l = rc.origin + ix + iy * rc.row + iz * rc.slab;
    const std::int64_t plane = rc.plane;
    double n = 0.0, jx = 0.0, jy = 0.0, jz = 0.0;
    UNROLL_FULLY for (int i = 0; i < 19; ++i)
    {
        const double f = state[i * plane + l];
        n += f;
        if (V3::ex(i) != 0) jx += V3::ex(i) > 0 ? f : -f;
        if (V3::ey(i) != 0) jy += V3::ey(i) > 0 ? f : -f;
        if (V3::ez(i) != 0) jz += V3::ez(i) > 0 ? f : -f;
    }
    state[kLean3N * plane + l] = n;
    state[kLean3Dp * plane + l] = lean_pressure_difference(rc, before[kLean3N * plane + l]);
    if (Scheme == scheme_kind::lax_wendroff) {
        state[kLean3Jx * plane + l] = jx * rc.c;
        state[kLean3Jy * plane + l] = jy * rc.c;
        state[kLean3Jz * plane + l] = jz * rc.c;
    }
}

// Cells of the periodic images of a box: the layers rc.halo thick below and
// above the lattice in z, then the rows in front of and behind it in y,
// then the columns left and right of it in x. Image cell t takes the value
// of the cell at its position modulo the lattice along the directions
// without walls (behind a wall it stays as the ghosts make it).
__device__ FORCE_INLINE long long lean_image_count3(const lattice_constants &rc)
{
    const long long X = rc.nodes_x + 2 * rc.halo, Y = rc.nodes_y + 2 * rc.halo;
    return 2LL * rc.halo * X * Y + 2LL * rc.halo * X * rc.nodes_z + 2LL * rc.halo * rc.nodes_y * rc.nodes_z;
}

__device__ FORCE_INLINE void lean_image_cells3(const lattice_constants &rc, long long t, int *to,
                                               int *from)
{
    const long long X = rc.nodes_x + 2 * rc.halo, Y = rc.nodes_y + 2 * rc.halo;
    const long long layers = 2LL * rc.halo * X * Y, rows = 2LL * rc.halo * X * rc.nodes_z;
    int lx, ly, lz;
    if (t < layers) {
        const int layer = static_cast<int>(t / (X * Y));  // 0 .. 2 rc.halo - 1
        const long long u = t % (X * Y);
        lz = layer < rc.halo ? layer : rc.nodes_z + layer;
        ly = static_cast<int>(u / X);
        lx = static_cast<int>(u % X);
    } else if (t < layers + rows) {
        const long long u = t - layers;
        const int band = static_cast<int>(u / (X * rc.nodes_z));  // 0 .. 2 rc.halo - 1
        const long long v = u % (X * rc.nodes_z);
        ly = band < rc.halo ? band : rc.nodes_y + band;
        lz = rc.halo + static_cast<int>(v / X);
        lx = static_cast<int>(v % X);
    } else {
        const long long u = t - layers - rows;
        const int band = static_cast<int>(u % (2 * rc.halo));
        const long long v = u / (2 * rc.halo);
        lx = band < rc.halo ? band : rc.nodes_x + band;
        ly = rc.halo + static_cast<int>(v % rc.nodes_y);
        lz = rc.halo + static_cast<int>(v / rc.nodes_y);
    }
    // (behind a wall, the cell itself: the ghosts fill it)
    const int sx = rc.walls & 1 ? lx - rc.halo : ((lx - rc.halo) % rc.nodes_x + rc.nodes_x) % rc.nodes_x;
    const int sy = rc.walls & 2 ? ly - rc.halo : ((ly - rc.halo) % rc.nodes_y + rc.nodes_y) % rc.nodes_y;
    const int sz = rc.walls & 4 ? lz - rc.halo : ((lz - rc.halo) % rc.nodes_z + rc.nodes_z) % rc.nodes_z;
    *to = lx + ly * rc.row + lz * rc.slab;
    *from = rc.origin + sx + sy * rc.row + sz * rc.slab;
}

// Periodic images of plane p (all planes: p < 0) of a level.
__global__ void lean_images3(double *buffer, int p, const lattice_constants rc)
{
    const long long stride = static_cast<long long>(gridDim.x) * blockDim.x;
    const long long count = lean_image_count3(rc);
    const std::int64_t plane = rc.plane;
    for (long long t = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; t < count;
         t += stride) {
        int to, from;
        lean_image_cells3(rc, t, &to, &from);
        if (p >= 0) {
            buffer[p * plane + to] = buffer[p * plane + from];
        } else {
            for (int q = 0; q < rc.planes; ++q) buffer[q * plane + to] = buffer[q * plane + from];
        }
    }
}

// Copies between a plane of nodes (x fastest, then y, then z) and the
// interior of a padded box plane.
__global__ void lean_unpack3(const double *nodes, double *padded, const lattice_constants rc)
{
    LEAN_NODE3;
    if (ix < rc.nodes_x && iy < rc.nodes_y)
        padded[rc.origin + ix + iy * rc.row + iz * rc.slab] =
            nodes[(static_cast<std::int64_t>(iz) * rc.nodes_y + iy) * rc.nodes_x + ix];
}

__global__ void lean_pack3(const double *padded, double *nodes, const lattice_constants rc)
{
    LEAN_NODE3;
    if (ix < rc.nodes_x && iy < rc.nodes_y)
        nodes[(static_cast<std::int64_t>(iz) * rc.nodes_y + iy) * rc.nodes_x + ix] =
            padded[rc.origin + ix + iy * rc.row + iz * rc.slab];
}

// The velocity a snapshot shows, u = j / n (the distributions of `level`,
// the density of `density_level`), into (ux, uy, uz) triples of the nodes.
__global__ void lean_pack_velocity3(const double *level, const double *density_level,
                                    double *triples, CONSTANTS_PARAM(step_constants3) rc)
{
    LEAN_NODE3;
    if (ix < rc.nodes_x && iy < rc.nodes_y) {
        const int l = rc.origin + ix + iy * rc.row + iz * rc.slab;
        const std::int64_t plane = rc.plane;
        double jx = 0.0, jy = 0.0, jz = 0.0;
        for (int i = 0; i < 19; i++) {
            const double f = level[i * plane + l];
            if (V3::ex(i) != 0) jx += V3::ex(i) > 0 ? f : -f;
            if (V3::ey(i) != 0) jy += V3::ey(i) > 0 ? f : -f;
            if (V3::ez(i) != 0) jz += V3::ez(i) > 0 ? f : -f;
        }
        const double rho = density_level[kLean3N * plane + l];
        const std::int64_t p = (static_cast<std::int64_t>(iz) * rc.nodes_y + iy) * rc.nodes_x + ix;
        triples[3 * p] = sp_div(jx * rc.c, rho);
        triples[3 * p + 1] = sp_div(jy * rc.c, rho);
        triples[3 * p + 2] = sp_div(jz * rc.c, rho);
    }
}

}  // namespace lean
