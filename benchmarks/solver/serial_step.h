// The solver's time step written by hand as plain serial C++: the same two
// passes as periodic_boundary and lb_time_step, with the same arithmetic in
// the same order (so the same bits), on host arrays of the same layout, and
// without the runtime. It writes what the kernels write, the force and
// equilibrium planes of the halo lattice included, so that it moves the same
// bytes; values a kernel stores and reads back it keeps in locals. The
// reference against which the kernels' speed on the cpu backend is judged.
//
// Reads the run configuration from the host globals (lb_input and
// init_base_vectors must have run). Needs nodes_x, nodes_y >= 2 (the halo
// width), like the solver.
#pragma once

#include <cstddef>

#include "kernels/sp_div.cuh"
#include "run_config.h"

namespace serial {

// Values the device code gives itself rather than receiving from the host.
constexpr double kVanDerWaalsA = 1.125;
constexpr double kAxisWeight = 0.1111111111111111;
constexpr double kDiagWeight = 0.027777777777777776;

// Isotropic differences at distance d (cells) around cell l of plane q, row
// pitch w: Dx_d and Dy_d of the force stencils.
inline double diff_x(const double *q, int l, int d, int w)
{
    const int dy = d * w;
    return kAxisWeight * (q[l + d] - q[l - d]) +
           kDiagWeight * (q[l + d + dy] + q[l + d - dy] - q[l - d + dy] - q[l - d - dy]);
}

inline double diff_y(const double *q, int l, int d, int w)
{
    const int dy = d * w;
    return kAxisWeight * (q[l + dy] - q[l - dy]) +
           kDiagWeight * (q[l + d + dy] + q[l - d + dy] - q[l - d - dy] - q[l + d - dy]);
}

// Equation of state, moments and the home cells of the halo lattice, node by
// node; then the periodic border, plane by plane.
inline void node_field_pass(double *__restrict gf, double *__restrict halo,
                            const double *__restrict cx, const double *__restrict cy)
{
    const int nx = hnodes_x, ny = hnodes_y, w = hlnodes_x, nw = hnw;
    const std::size_t N = static_cast<std::size_t>(hnodes);
    const std::size_t L = static_cast<std::size_t>(hlnodes);
    const int q = hnvelocities;
    const double tf = htfluid, tc_a = htcritical * kVanDerWaalsA;

    for (int iy = 0; iy < ny; ++iy) {
        for (int ix = 0; ix < nx; ++ix) {
            const std::size_t n = static_cast<std::size_t>(iy) * nx + ix;
            const std::size_t l = static_cast<std::size_t>(nw + ix) + static_cast<std::size_t>(iy + nw) * w;

            const double rho = gf[hkn * N + n];
            const double pid = rho * tf;
            const double pwaals = sp_div(pid * hthree, hthree - rho) - (tc_a * rho) * rho;
            const double dpress = pid - pwaals;

            double density = hzero, jx = hzero, jy = hzero;
            for (int k = 0; k < q; ++k) {
                const double f = gf[k * N + n];
                density += f;
                jx += f * cx[k];
                jy += f * cy[k];
                halo[k * L + l] = f;
            }
            const double ux = sp_div(jx, density);
            const double uy = sp_div(jy, density);

            gf[hkpid * N + n] = pid;
            gf[hkpwaals * N + n] = pwaals;
            gf[hkdpress * N + n] = dpress;
            gf[hkn * N + n] = density;
            gf[hkux * N + n] = ux;
            gf[hkuy * N + n] = uy;
            halo[hkn * L + l] = density;
            halo[hkux * L + l] = ux;
            halo[hkuy * L + l] = uy;
            halo[hkpid * L + l] = pid;
            halo[hkpwaals * L + l] = pwaals;
            halo[hkdpress * L + l] = dpress;
            halo[hkforcex * L + l] = gf[hkforcex * N + n];
            halo[hkforcey * L + l] = gf[hkforcey * N + n];
        }
    }

    // Periodic border: first the left and right columns of the inner rows,
    // then whole padded rows (corners included) below and above.
    for (int v = 0; v < hkfeq; ++v) {
        double *p = halo + v * L;
        for (int ly = nw; ly < ny + nw; ++ly) {
            double *row = p + static_cast<std::size_t>(ly) * w;
            for (int lx = 0; lx < nw; ++lx) {
                row[lx] = row[lx + nx];
                row[nx + nw + lx] = row[nw + lx];
            }
        }
        for (int ly = 0; ly < nw; ++ly) {
            double *low = p + static_cast<std::size_t>(ly) * w;
            double *high = p + static_cast<std::size_t>(ny + nw + ly) * w;
            for (int lx = 0; lx < w; ++lx) {
                low[lx] = low[lx + static_cast<std::size_t>(ny) * w];
                high[lx] = high[lx - static_cast<std::ptrdiff_t>(ny) * w];
            }
        }
    }
}

// Force, equilibria, upwind propagation and collision with forcing, node by
// node, from the halo lattice into the node field array.
inline void collision_pass(double *__restrict gf, double *__restrict halo,
                           const double *__restrict cx, const double *__restrict cy,
                           const double *__restrict cw)
{
    const int nx = hnodes_x, ny = hnodes_y, w = hlnodes_x, nw = hnw;
    const std::size_t N = static_cast<std::size_t>(hnodes);
    const std::size_t L = static_cast<std::size_t>(hlnodes);
    const double *rho_p = halo + hkn * L;
    const double *dp = halo + hkdpress * L;
    const int up[9] = {0, -1, -w, 1, w, -w - 1, -w + 1, w + 1, w - 1};
    const double rate = sp_div(hdelta_time, htau);

    for (int iy = 0; iy < ny; ++iy) {
        for (int ix = 0; ix < nx; ++ix) {
            const std::size_t n = static_cast<std::size_t>(iy) * nx + ix;
            const int l = nw + ix + (iy + nw) * w;

            const double gx = height * diff_x(dp, l, 1, w) - diff_x(dp, l, 2, w);
            const double gy = height * diff_y(dp, l, 1, w) - diff_y(dp, l, 2, w);
            const double tx = diff_x(rho_p, l, 2, w) - htwo * diff_x(rho_p, l, 1, w);
            const double ty = diff_y(rho_p, l, 2, w) - htwo * diff_y(rho_p, l, 1, w);
            const double rho = rho_p[l];
            const double ax = sp_div(sp_div(gx, htwo_delta_space), rho) +
                              hkappa * sp_div(tx, hdelta_space_three_three);
            const double ay = sp_div(sp_div(gy, htwo_delta_space), rho) +
                              hkappa * sp_div(ty, hdelta_space_three_three);
            halo[hkforcex * L + l] = ax;
            halo[hkforcey * L + l] = ay;

            const double ux = halo[hkux * L + l];
            const double uy = halo[hkuy * L + l];
            double feq[9];
            const double base = hone - sp_div(ux * ux + uy * uy, htwochic2);
            for (int i = 1; i < 9; ++i) {
                const double cu = cx[i] * ux + cy[i] * uy;
                feq[i] = cw[i] * (rho * (sp_div(cu * cu, htwochi2c4) + (sp_div(cu, hchic2) + base)));
            }
            feq[0] = base * (cw[0] * rho);

            for (int i = 0; i < 9; ++i) {
                const double f = halo[i * L + l];
                const double moved = i == 0 ? f : f - hcfl * (f - halo[i * L + l + up[i]]);
                halo[(hkfeq + i) * L + l] = feq[i];
                gf[i * N + n] =
                    moved - (rate * (f - feq[i]) -
                             (ax * (cx[i] - ux) + ay * (cy[i] - uy)) * (feq[i] * hdtimetemp));
            }
        }
    }
}

// One time step: both passes.
inline void step(double *gf, double *halo, const double *cx, const double *cy, const double *cw)
{
    node_field_pass(gf, halo, cx, cy);
    collision_pass(gf, halo, cx, cy, cw);
}

}  // namespace serial
