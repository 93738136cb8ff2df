// The velocity sets of vdwflow's lattices, for host and device code alike.
//
// Two dimensions: D2Q9 in the order of the other solver programs (rest, +x,
// +y, -x, -y, (+,+), (-,+), (-,-), (+,-)); its steps are step.cuh's lean_ex
// and lean_ey, its weights 4/9, 1/9, 1/36.
//
// Three dimensions: D3Q19, rest, the six axis velocities, the twelve edge
// (face-diagonal) velocities, each moving velocity followed by its opposite:
//    1 +x   2 -x   3 +y   4 -y   5 +z   6 -z
//    7 (+x,+y)  8 (-x,-y)   9 (+x,-y) 10 (-x,+y)
//   11 (+x,+z) 12 (-x,-z)  13 (+x,-z) 14 (-x,+z)
//   15 (+y,+z) 16 (-y,-z)  17 (+y,-z) 18 (-y,+z)
// with weights 1/3, 1/18, 1/36. Summed over the velocities that differ only
// in z they are D2Q9's (4/9 = 1/3 + 2/18, 1/9 = 1/18 + 2/36, 1/36), so that
// a state that does not vary along z steps as the two-dimensional one: the
// stencils built from these weights reduce to the 2-D ones. Its stencils
// are isotropic to fourth order as D2Q9's are (docs/physics.md).
#pragma once

#include <cuda_runtime.h>

namespace lean {

struct d3q19 {
    static constexpr int q = 19;
    __host__ __device__ static constexpr int ex(int i)
    {
        constexpr int e[19] = {0, 1, -1, 0, 0, 0, 0, 1, -1, 1, -1, 1, -1, 1, -1, 0, 0, 0, 0};
        return e[i];
    }
    __host__ __device__ static constexpr int ey(int i)
    {
        constexpr int e[19] = {0, 0, 0, 1, -1, 0, 0, 1, -1, -1, 1, 0, 0, 0, 0, 1, -1, 1, -1};
        return e[i];
    }
    __host__ __device__ static constexpr int ez(int i)
    {
        constexpr int e[19] = {0, 0, 0, 0, 0, 1, -1, 0, 0, 0, 0, 1, -1, -1, 1, 1, -1, -1, 1};
        return e[i];
    }
    __host__ __device__ static constexpr int opposite(int i) { return i == 0 ? 0 : i % 2 ? i + 1 : i - 1; }
    // 1 / 3, 1 / 18, 1 / 36 as the quotients of the host (the same bits on
    // both backends).
    __host__ __device__ static constexpr double weight(int i)
    {
        return i == 0 ? 1.0 / 3.0 : i <= 6 ? 1.0 / 18.0 : 1.0 / 36.0;
    }
};

}  // namespace lean
