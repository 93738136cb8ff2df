// Kernels of the halo of a block of a split lattice (decomposition.h): the
// faces a process sends its neighbours, packed into a buffer and unpacked
// from one, and the images of a direction that is not split. A face of
// direction d is `depth` cells of the padded box along d, whole along the
// other directions (halo included: a direction handled before brings its
// halo's corners along). Include after step.cuh.
#pragma once

#include <cstdint>

namespace lean {

// The cells of a face: depth cells from `from` along d, the padded extent
// (nodes and halo) along the others; cell t of the face, x fastest.
struct face {
    int d, from, depth;
    int size[3];  // cells along x, y, z
    __host__ __device__ long long cells() const
    {
        return static_cast<long long>(size[0]) * size[1] * size[2];
    }
};

__device__ FORCE_INLINE int lean_face_cell(const lattice_constants &rc, const face &f, long long t)
{
    int at[3];
    at[0] = static_cast<int>(t % f.size[0]);
    const long long rest = t / f.size[0];
    at[1] = static_cast<int>(rest % f.size[1]);
    at[2] = static_cast<int>(rest / f.size[1]);
    at[f.d] += f.from;
    return at[0] + at[1] * rc.row + at[2] * rc.slab;
}

// Planes first .. first + planes - 1 of a face of `level` into `buffer`
// (pack) or back (unpack), a plane's face after the other.
__global__ void lean_face_copy(double *level, double *buffer, int first, int planes, face f,
                               bool pack, const lattice_constants rc)
{
    const long long cells = f.cells();
    const long long count = cells * planes;
    const long long stride = static_cast<long long>(gridDim.x) * blockDim.x;
    for (long long t = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; t < count;
         t += stride) {
        const long long p = t / cells;
        double *cell = level + (first + p) * static_cast<std::int64_t>(rc.plane) +
                       lean_face_cell(rc, f, t - p * cells);
        if (pack)
            buffer[t] = *cell;
        else
            *cell = buffer[t];
    }
}

// The images of a direction that is not split (and has no walls): the halo
// cells of the face take the node at their position modulo the lattice
// (more than once round a lattice narrower than the halo).
__global__ void lean_face_wrap(double *level, int first, int planes, face f,
                               const lattice_constants rc)
{
    const int n = f.d == 0 ? rc.nodes_x : f.d == 1 ? rc.nodes_y : rc.nodes_z;
    const int step = f.d == 0 ? 1 : f.d == 1 ? rc.row : rc.slab;
    const long long cells = f.cells();
    const long long count = cells * planes;
    const long long stride = static_cast<long long>(gridDim.x) * blockDim.x;
    for (long long t = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; t < count;
         t += stride) {
        const long long p = t / cells;
        const long long u = t - p * cells;
        const int to = lean_face_cell(rc, f, u);
        // (the face's coordinate along d, from the halo's edge)
        int at[3] = {static_cast<int>(u % f.size[0]), static_cast<int>(u / f.size[0] % f.size[1]),
                     static_cast<int>(u / f.size[0] / f.size[1])};
        const int c = at[f.d] + f.from - rc.halo;
        const int wrapped = (c % n + n) % n;
        double *plane = level + (first + p) * static_cast<std::int64_t>(rc.plane);
        plane[to] = plane[to + (wrapped - c) * step];
    }
}

// The Laplacian of the Lax-Wendroff scheme over a box of padded cells
// (lo .. hi - 1 along each direction), from the density there and a cell
// around: the nodes of a block and its halo's, whose Laplacians the ghosts
// of solid nodes near the block's edge take.
template <int Dimensions>
__global__ void lean_laplacian_box(double *level, int lo_x, int lo_y, int lo_z, int size_x,
                                   int size_y, int size_z, const lattice_constants rc)
{
    const long long count = static_cast<long long>(size_x) * size_y * size_z;
    const long long stride = static_cast<long long>(gridDim.x) * blockDim.x;
    double *lap = level + static_cast<std::int64_t>(rc.laplacian_plane) * rc.plane;
    const double *rho = level + static_cast<std::int64_t>(rc.density_plane) * rc.plane;
    for (long long t = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x; t < count;
         t += stride) {
        const int x = lo_x + static_cast<int>(t % size_x);
        const int y = lo_y + static_cast<int>(t / size_x % size_y);
        const int z = lo_z + static_cast<int>(t / size_x / size_y);
        const int l = x + y * rc.row + z * rc.slab;
        lap[l] = Dimensions == 2 ? lean_laplacian(rc, rho, l, rc.row) : lean_laplacian3(rc, rho, l);
    }
}

}  // namespace lean
