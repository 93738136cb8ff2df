// Pieces of periodic_boundary and lb_time_step that the three kernel variants
// share: the periodic images of the halo copy, the isotropic differences of
// the force stencils, and the equilibria, propagation and collision that
// follow the force. Include after device_constants.cuh.
#pragma once

#include "../device_constants.cuh"
#include "sp_div.cuh"

// ---------------------------------------------------------------------------
// Halo copy. b is the home cell of a node within its plane (plane offset
// included); period_y = lnodes_x * nodes_y is one period in y, in padded
// cells. The images are written in a fixed order: right, left, upper (with
// its corners), lower (with its corners). Each test stands on its own, so a
// node near two opposite edges (a lattice narrower than 2 nw) lands in both.

// Whether node (ix, iy) lies within nw of an edge, so that it has periodic
// images; formed once per node, it spares interior nodes the image tests of
// every plane.
__device__ inline bool has_images(int ix, int iy)
{
    return ix < nw || ix > nodes_x - nw - 1 || iy < nw || iy > nodes_y - nw - 1;
}

// Writes value at the home cell b and at each periodic image of it; with
// may_have_images false (from has_images) the node has none and the image
// tests are skipped.
__device__ inline void store_with_images(double *dgf_two, int b, double value, int ix, int iy,
                                         int period_y, bool may_have_images)
{
    dgf_two[b] = value;
    if (!may_have_images) return;
    if (ix < nw) dgf_two[b + nodes_x] = value;
    if (ix > nodes_x - nw - 1) dgf_two[b - nodes_x] = value;
    if (iy < nw) {
        dgf_two[b + period_y] = value;
        if (ix < nw) dgf_two[b + period_y + nodes_x] = value;
        if (ix > nodes_x - nw - 1) dgf_two[b + period_y - nodes_x] = value;
    }
    if (iy > nodes_y - nw - 1) {
        dgf_two[b - period_y] = value;
        if (ix < nw) dgf_two[b - period_y + nodes_x] = value;
        if (ix > nodes_x - nw - 1) dgf_two[b - period_y - nodes_x] = value;
    }
}

// Copies the home cell b, already written, to each periodic image, reading
// the home cell again for every image; nothing when may_have_images is false.
__device__ inline void copy_home_to_images(double *dgf_two, int b, int ix, int iy, int period_y,
                                           bool may_have_images)
{
    if (!may_have_images) return;
    if (ix < nw) dgf_two[b + nodes_x] = dgf_two[b];
    if (ix > nodes_x - nw - 1) dgf_two[b - nodes_x] = dgf_two[b];
    if (iy < nw) {
        dgf_two[b + period_y] = dgf_two[b];
        if (ix < nw) dgf_two[b + period_y + nodes_x] = dgf_two[b];
        if (ix > nodes_x - nw - 1) dgf_two[b + period_y - nodes_x] = dgf_two[b];
    }
    if (iy > nodes_y - nw - 1) {
        dgf_two[b - period_y] = dgf_two[b];
        if (ix < nw) dgf_two[b - period_y + nodes_x] = dgf_two[b];
        if (ix > nodes_x - nw - 1) dgf_two[b - period_y - nodes_x] = dgf_two[b];
    }
}

// ---------------------------------------------------------------------------
// Work distribution of both kernels: a grid-stride loop over the nodes. The
// first node and the stride are formed in unsigned 32-bit arithmetic and
// widened to the 64-bit node index.
__device__ inline long long first_node()
{
    return static_cast<unsigned int>(blockIdx.x * blockDim.x + threadIdx.x);
}

__device__ inline long long node_stride()
{
    return static_cast<unsigned int>(gridDim.x * blockDim.x);
}

// Home cell of node (ix, iy) within a plane of the halo lattice.
__device__ inline int home_cell(int ix, int iy)
{
    return nw + ix + (iy + nw) * lnodes_x;
}

// ---------------------------------------------------------------------------
// periodic_boundary: slot offsets in the node field array (multiples of
// nodes), formed once per thread before the node loop, and one period in y of
// the halo lattice.
struct pb_offsets {
    int kn, kux, kuy, kpid, kpwaals, kdpress;
    int period_y;
};

__device__ inline pb_offsets pb_make_offsets()
{
    pb_offsets o;
    o.kn = kn * nodes;
    o.kux = kux * nodes;
    o.kuy = kuy * nodes;
    o.kpid = kpid * nodes;
    o.kpwaals = kpwaals * nodes;
    o.kdpress = kdpress * nodes;
    o.period_y = lnodes_x * nodes_y;
    return o;
}

// Van der Waals pressure of node n from the density of the previous step,
// p = 3 n T / (3 - n) - a Tc n^2, and its non-ideal part pid - p, evaluated
// in the node field array itself (vdwflow_a and vdwflow_b): the density is
// read from its slot for each use and pid read back from its slot.
__device__ inline void pb_pressures_in_slots(double *dgf_one, const pb_offsets &o, long long n)
{
    dgf_one[o.kpid + n] = dgf_one[o.kn + n] * tfluid;
    dgf_one[o.kpwaals + n] = sp_div(dgf_one[o.kpid + n] * three, three - dgf_one[o.kn + n]) -
                             ((tcritical * awaals) * dgf_one[o.kn + n]) * dgf_one[o.kn + n];
    dgf_one[o.kdpress + n] = dgf_one[o.kpid + n] - dgf_one[o.kpwaals + n];
}

// ---------------------------------------------------------------------------
// Isotropic differences at distance d around home cell l of plane q:
// axis neighbours weighted waxis (1/9), diagonal neighbours wdiag (1/36).
// Dx_d = axis_x + diag_x, Dy_d = axis_y + diag_y. With these weights
// (8 D_1 - D_2) / 2h is the gradient and (D_2 - 2 D_1) / (h^3/3) the gradient
// of the Laplacian, both exact for polynomials up to degree four.

// `row` is the width of a padded row (lnodes_x in the halo lattice).

__device__ FORCE_INLINE double axis_x(const double *q, int l, int d)
{
    return waxis * (q[l + d] - q[l - d]);
}

__device__ FORCE_INLINE double diag_x(const double *q, int l, int d, int row)
{
    const int dy = d * row;
    return wdiag * (q[l + d + dy] + q[l + d - dy] - q[l - d + dy] - q[l - d - dy]);
}

__device__ FORCE_INLINE double axis_y(const double *q, int l, int d, int row)
{
    const int dy = d * row;
    return waxis * (q[l + dy] - q[l - dy]);
}

__device__ FORCE_INLINE double diag_y(const double *q, int l, int d, int row)
{
    const int dy = d * row;
    return wdiag * (q[l + d + dy] + q[l - d + dy] - q[l - d - dy] - q[l + d - dy]);
}

__device__ FORCE_INLINE double diff_x(const double *q, int l, int d, int row)
{
    return axis_x(q, l, d) + diag_x(q, l, d, row);
}

__device__ FORCE_INLINE double diff_y(const double *q, int l, int d, int row)
{
    return axis_y(q, l, d, row) + diag_y(q, l, d, row);
}

// The same on the halo lattice.
__device__ FORCE_INLINE double diag_x(const double *q, int l, int d) { return diag_x(q, l, d, lnodes_x); }
__device__ FORCE_INLINE double axis_y(const double *q, int l, int d) { return axis_y(q, l, d, lnodes_x); }
__device__ FORCE_INLINE double diag_y(const double *q, int l, int d) { return diag_y(q, l, d, lnodes_x); }
__device__ FORCE_INLINE double diff_x(const double *q, int l, int d) { return diff_x(q, l, d, lnodes_x); }
__device__ FORCE_INLINE double diff_y(const double *q, int l, int d) { return diff_y(q, l, d, lnodes_x); }

// ---------------------------------------------------------------------------
// Offsets of lb_time_step, formed once per thread before the node loop:
// planes of the halo lattice (multiples of lnodes), slots of the node field
// array (multiples of nodes) and the upwind cell of each moving velocity.
struct lb_offsets {
    int kn, kux, kuy, kdpress, kforcex, kforcey, kfeq;  // planes
    int plane[9];   // plane of distribution i
    int slot[9];    // slot of distribution i
    int upwind[9];  // upwind cell of velocity i relative to the home cell
    // (the three arrays are indexed with constants only, so they stay in
    // registers on the device)
};

__device__ inline lb_offsets lb_make_offsets()
{
    lb_offsets o;
    o.kn = kn * lnodes;
    o.kux = kux * lnodes;
    o.kuy = kuy * lnodes;
    o.kdpress = kdpress * lnodes;
    o.kforcex = kforcex * lnodes;
    o.kforcey = kforcey * lnodes;
    o.kfeq = kfeq * lnodes;
    for (int i = 0; i < 9; ++i) {
        o.plane[i] = i * lnodes;
        o.slot[i] = i * nodes;
    }
    // The velocity order is built in: rest, +x, +y, -x, -y, then the
    // diagonals (+,+), (-,+), (-,-), (+,-). Upwind is the home cell minus e_i.
    o.upwind[0] = 0;
    o.upwind[1] = -1;
    o.upwind[2] = -lnodes_x;
    o.upwind[3] = 1;
    o.upwind[4] = lnodes_x;
    o.upwind[5] = -lnodes_x - 1;
    o.upwind[6] = -lnodes_x + 1;
    o.upwind[7] = lnodes_x + 1;
    o.upwind[8] = lnodes_x - 1;
    return o;
}

// Force per unit mass at home cell l: pressure gradient over density plus the
// surface-tension term; the (gx / 2h) / rho quotient stays in single
// precision between its two divisions.
__device__ FORCE_INLINE double lb_force(double grad_over_2h, double third, double rho)
{
    return sp_div(grad_over_2h, rho) + kappa * sp_div(third, delta_space_three_three);
}

// First-order upwind propagation of distribution i: a pull from the old
// level in the halo lattice; cfl = 1 is an exact one-cell shift.
__device__ inline void lb_propagate(double *dgf_one, const double *dgf_two, const lb_offsets &o,
                                    int i, long long n, int l)
{
    const double f_home = dgf_two[o.plane[i] + l];
    const double f_up = dgf_two[o.plane[i] + l + o.upwind[i]];
    dgf_one[o.slot[i] + n] = f_home - cfl * (f_home - f_up);
}

// Equilibria, propagation and collision with forcing of node n (home cell l),
// once the force stands in planes kforcex, kforcey.
__device__ inline void lb_relax_and_stream(double *dgf_one, double *dgf_two,
                                           const double *cspeed_x, const double *cspeed_y,
                                           const double *cweight, const lb_offsets &o,
                                           long long n, int l)
{
    const double rho = dgf_two[o.kn + l];
    const double ux = dgf_two[o.kux + l];
    const double uy = dgf_two[o.kuy + l];

    // Second-order equilibria. The base term 1 - u^2 / (2 cs^2) waits in the
    // plane of feq_0, which receives feq_0 itself last.
    dgf_two[o.kfeq + l] = one - sp_div(ux * ux + uy * uy, twochic2);
    for (int i = 1, p = o.kfeq + lnodes; i < nvelocities; ++i, p += lnodes) {
        const double cu = cspeed_x[i] * ux + cspeed_y[i] * uy;
        dgf_two[p + l] =
            cweight[i] * (rho * (sp_div(cu * cu, twochi2c4) +
                                 (sp_div(cu, chic2) + dgf_two[o.kfeq + l])));
    }
    dgf_two[o.kfeq + l] = dgf_two[o.kfeq + l] * (cweight[0] * rho);

    // Propagation: the rest distribution stays, the others pull upwind.
    dgf_one[o.slot[0] + n] = dgf_two[o.plane[0] + l];
    lb_propagate(dgf_one, dgf_two, o, 1, n, l);
    lb_propagate(dgf_one, dgf_two, o, 2, n, l);
    lb_propagate(dgf_one, dgf_two, o, 3, n, l);
    lb_propagate(dgf_one, dgf_two, o, 4, n, l);
    lb_propagate(dgf_one, dgf_two, o, 5, n, l);
    lb_propagate(dgf_one, dgf_two, o, 6, n, l);
    lb_propagate(dgf_one, dgf_two, o, 7, n, l);
    lb_propagate(dgf_one, dgf_two, o, 8, n, l);

    // BGK relaxation towards feq and the forcing term feq (a . (c_i - u)) / cs^2,
    // both taken at the node from the values before propagation.
    const double rate = sp_div(delta_time, tau);
    const double ax = dgf_two[o.kforcex + l];
    const double ay = dgf_two[o.kforcey + l];
    for (int i = 0, p = 0, s = 0; i < nvelocities; ++i, p += lnodes, s += nodes) {
        const double feq = dgf_two[o.kfeq + p + l];
        dgf_one[s + n] =
            dgf_one[s + n] -
            (rate * (dgf_two[p + l] - feq) -
             (ax * (cspeed_x[i] - ux) + ay * (cspeed_y[i] - uy)) * (feq * dtimetemp));
    }
}

// The body of lb_time_step in vdwflow_a and vdwflow_b: force, equilibria,
// upwind propagation and collision of every node, with 64-bit node indices.
__device__ inline void lb_time_step_nodes(double *dgf_one, double *dgf_two,
                                          const double *cspeed_x, const double *cspeed_y,
                                          const double *cweight)
{
    const lb_offsets o = lb_make_offsets();
    const double *rho = dgf_two + o.kn;
    const double *dpress = dgf_two + o.kdpress;

    const long long stride = node_stride();
    for (long long n = first_node(); n < nodes; n += stride) {
        const int x = static_cast<int>(n % nodes_x);
        const int y = static_cast<int>(n / nodes_x);
        const int l = home_cell(x, y);

        // Fourth-order pressure gradient and gradient of the Laplacian of
        // the density, as numerators over 2h and h^3/3.
        const double gx = eight * diff_x(dpress, l, 1) - diff_x(dpress, l, 2);
        const double gy = eight * diff_y(dpress, l, 1) - diff_y(dpress, l, 2);
        const double tx = diff_x(rho, l, 2) - two * diff_x(rho, l, 1);
        const double ty = diff_y(rho, l, 2) - two * diff_y(rho, l, 1);

        dgf_two[o.kforcex + l] = lb_force(sp_div(gx, two_delta_space), tx, rho[l]);
        dgf_two[o.kforcey + l] = lb_force(sp_div(gy, two_delta_space), ty, rho[l]);

        lb_relax_and_stream(dgf_one, dgf_two, cspeed_x, cspeed_y, cweight, o, n, l);
    }
}
