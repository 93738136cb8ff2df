// vdwflow's three-dimensional step (the periodic upwind form) written as a
// plain serial loop over the nodes: the same arithmetic in the same order as
// the kernel (so the same bits), on host arrays of the same padded layout,
// then the periodic images, plane by plane. The reference against which the
// kernel's speed on the cpu backend is judged, and a transcription to hold
// the kernel to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/sp_div.cuh"

namespace serial3 {

// D3Q19: rest, the axes (+x, -x, +y, -y, +z, -z), the edges in pairs of
// opposites: (+x+y), (-x-y), (+x-y), (-x+y), (+x+z), (-x-z), (+x-z), (-x+z),
// (+y+z), (-y-z), (+y-z), (-y+z).
constexpr int kEx[19] = {0, 1, -1, 0, 0, 0, 0, 1, -1, 1, -1, 1, -1, 1, -1, 0, 0, 0, 0};
constexpr int kEy[19] = {0, 0, 0, 1, -1, 0, 0, 1, -1, -1, 1, 0, 0, 0, 0, 1, -1, 1, -1};
constexpr int kEz[19] = {0, 0, 0, 0, 0, 1, -1, 0, 0, 0, 0, 1, -1, -1, 1, 1, -1, -1, 1};
inline double weight(int i) { return i == 0 ? 1.0 / 3.0 : i <= 6 ? 1.0 / 18.0 : 1.0 / 36.0; }

// A run's values the step needs.
struct params {
    int nx, ny, nz, halo, row, slab;
    std::int64_t plane;  // cells of a level's plane (the padded box)
    double c, tfluid, tcritical, kappa, delta_time, tau, cfl, dtimetemp;
    double chic2, twochic2, twochi2c4, two_delta_space, delta_space_three_three;
};

// Planes of a level: the distributions, the density, the pressure difference.
constexpr int kN = 19, kDp = 20;

// The velocity set's differences at distance d around cell l: the axis
// neighbours weighted 1/18, the edge neighbours 1/36, grouped as the
// kernel groups them.
inline void diff(const double *q, std::int64_t l, int d, int row, int slab, double out[3])
{
    const double a = 1.0 / 18.0, e = 1.0 / 36.0;
    const std::int64_t X = d, Y = std::int64_t{d} * row, Z = std::int64_t{d} * slab;
    out[0] = a * (q[l + X] - q[l - X]) +
             e * (((q[l + X + Y] - q[l - X - Y]) + (q[l + X - Y] - q[l - X + Y])) +
                  ((q[l + X + Z] - q[l - X - Z]) + (q[l + X - Z] - q[l - X + Z])));
    out[1] = a * (q[l + Y] - q[l - Y]) +
             e * (((q[l + X + Y] - q[l - X - Y]) + (q[l - X + Y] - q[l + X - Y])) +
                  ((q[l + Y + Z] - q[l - Y - Z]) + (q[l + Y - Z] - q[l - Y + Z])));
    out[2] = a * (q[l + Z] - q[l - Z]) +
             e * (((q[l + X + Z] - q[l - X - Z]) + (q[l - X + Z] - q[l + X - Z])) +
                  ((q[l + Y + Z] - q[l - Y - Z]) + (q[l - Y + Z] - q[l + Y - Z])));
}

// c_i . v / c, as the kernel sums it: the components velocity i has, signed.
inline double along(int i, const double v[3])
{
    const int e[3] = {kEx[i], kEy[i], kEz[i]};
    double s = 0.0;
    bool any = false;
    for (int a = 0; a < 3; ++a) {
        if (e[a] == 0) continue;
        const double signed_v = e[a] > 0 ? v[a] : -v[a];
        s = any ? s + signed_v : signed_v;
        any = true;
    }
    return s;
}

// The periodic images of every plane of a level: every cell of the border
// takes the node at its position modulo the lattice.
inline void images(const params &p, double *level)
{
    const int X = p.nx + 2 * p.halo, Y = p.ny + 2 * p.halo, Z = p.nz + 2 * p.halo;
    const auto wrap = [&](int v, int n) { return ((v - p.halo) % n + n) % n + p.halo; };
    for (int lz = 0; lz < Z; ++lz)
        for (int ly = 0; ly < Y; ++ly)
            for (int lx = 0; lx < X; ++lx) {
                const bool inside = lx >= p.halo && lx < p.nx + p.halo && ly >= p.halo &&
                                    ly < p.ny + p.halo && lz >= p.halo && lz < p.nz + p.halo;
                if (inside) continue;
                const std::int64_t to = lx + std::int64_t{ly} * p.row + std::int64_t{lz} * p.slab;
                const std::int64_t from = wrap(lx, p.nx) + std::int64_t{wrap(ly, p.ny)} * p.row +
                                          std::int64_t{wrap(lz, p.nz)} * p.slab;
                for (int q = 0; q <= kDp; ++q) level[q * p.plane + to] = level[q * p.plane + from];
            }
}

inline double pressure_difference(const params &p, double rho)
{
    const double pid = rho * p.tfluid;
    const double pwaals = sp_div(pid * 3.0, 3.0 - rho) - ((p.tcritical * 1.125) * rho) * rho;
    return pid - pwaals;
}

// The first level from the planes of a state (nineteen distributions and
// the density, x fastest, z slowest): the distributions, their sum, the
// pressure difference of the state's density; with its images.
inline void first_level(const params &p, const std::vector<double> &state, double *level)
{
    const std::size_t nodes = static_cast<std::size_t>(p.nx) * p.ny * p.nz;
    std::size_t k = 0;
    for (int iz = 0; iz < p.nz; ++iz)
        for (int iy = 0; iy < p.ny; ++iy)
            for (int ix = 0; ix < p.nx; ++ix, ++k) {
                const std::int64_t l = (ix + p.halo) + std::int64_t{iy + p.halo} * p.row +
                                       std::int64_t{iz + p.halo} * p.slab;
                double n = 0.0;
                for (int i = 0; i < 19; ++i) {
                    level[i * p.plane + l] = state[i * nodes + k];
                    n += state[i * nodes + k];
                }
                level[kN * p.plane + l] = n;
                level[kDp * p.plane + l] = pressure_difference(p, state[19 * nodes + k]);
            }
    images(p, level);
}

// One step from level `in` to level `out` (both padded boxes of 21 planes),
// then the periodic images of every plane of `out`.
inline void step(const params &p, const double *in, double *out)
{
    const double *rho_in = in + kN * p.plane;
    const double *dp_in = in + kDp * p.plane;
    std::int64_t offset[19];
    for (int i = 0; i < 19; ++i) offset[i] = kEx[i] + std::int64_t{kEy[i]} * p.row + std::int64_t{kEz[i]} * p.slab;
    const double rate = sp_div(p.delta_time, p.tau);

    for (int iz = 0; iz < p.nz; ++iz)
        for (int iy = 0; iy < p.ny; ++iy)
            for (int ix = 0; ix < p.nx; ++ix) {
                const std::int64_t l = (ix + p.halo) + std::int64_t{iy + p.halo} * p.row +
                                       std::int64_t{iz + p.halo} * p.slab;
                double f[19], j[3] = {0.0, 0.0, 0.0};
                for (int i = 0; i < 19; ++i) {
                    f[i] = in[i * p.plane + l];
                    const int e[3] = {kEx[i], kEy[i], kEz[i]};
                    for (int a = 0; a < 3; ++a)
                        if (e[a] != 0) j[a] += e[a] > 0 ? f[i] : -f[i];
                }
                const double rho = rho_in[l];
                double u[3];
                for (int a = 0; a < 3; ++a) u[a] = sp_div(j[a] * p.c, rho);

                double g1[3], g2[3], r1[3], r2[3], force[3];
                diff(dp_in, l, 1, p.row, p.slab, g1);
                diff(dp_in, l, 2, p.row, p.slab, g2);
                diff(rho_in, l, 1, p.row, p.slab, r1);
                diff(rho_in, l, 2, p.row, p.slab, r2);
                for (int a = 0; a < 3; ++a) {
                    const double grad = 8.0 * g1[a] - g2[a];
                    force[a] = sp_div(sp_div(grad, p.two_delta_space), rho) +
                               p.kappa * sp_div(r2[a] - 2.0 * r1[a], p.delta_space_three_three);
                }

                double feq[19];
                const double base = 1.0 - sp_div(u[0] * u[0] + u[1] * u[1] + u[2] * u[2], p.twochic2);
                for (int i = 1; i < 19; ++i) {
                    const double cu = p.c * along(i, u);
                    feq[i] = weight(i) * (rho * (sp_div(cu * cu, p.twochi2c4) + (sp_div(cu, p.chic2) + base)));
                }
                feq[0] = base * (weight(0) * rho);

                double n = 0.0;
                for (int i = 0; i < 19; ++i) {
                    const double moved =
                        i == 0 ? f[0] : f[i] - p.cfl * (f[i] - in[i * p.plane + l - offset[i]]);
                    const int e[3] = {kEx[i], kEy[i], kEz[i]};
                    double push = 0.0;
                    for (int a = 0; a < 3; ++a) {
                        const double speed = e[a] == 0 ? 0.0 : e[a] > 0 ? p.c : -p.c;
                        push = a == 0 ? force[a] * (speed - u[a]) : push + force[a] * (speed - u[a]);
                    }
                    const double g = moved - (rate * (f[i] - feq[i]) - push * (feq[i] * p.dtimetemp));
                    out[i * p.plane + l] = g;
                    n += g;
                }
                out[kN * p.plane + l] = n;
                out[kDp * p.plane + l] = pressure_difference(p, rho);
            }
    images(p, out);
}

}  // namespace serial3
