// Snapshots as VTK XML image data (.vti: density, velocity, pressure, in
// binary) and the ParaView collection (.pvd) that lists them with their
// times, so that a run opens as one animation.
#pragma once

#include <string>
#include <vector>

namespace vti {

// One snapshot's fields on nx x ny x nz nodes, each nx * ny * nz values, x
// fastest: node (ix, iy, iz) at (iz * ny + iy) * nx + ix.
struct fields {
    int nx = 0, ny = 0;
    int nz = 1;                            // 1: a two-dimensional lattice
    double spacing = 0.0;                  // distance between nodes
    const double *density = nullptr;
    const double *velocity_x = nullptr;
    const double *velocity_y = nullptr;
    const double *velocity_z = nullptr;    // null: 0 (given: x and y are too)
    const double *pressure = nullptr;
    const unsigned char *solid = nullptr;  // 1 solid, 0 fluid; null: no solid nodes
};

// Writes one .vti file: ImageData, origin 0, the given spacing, point data
// "density", "velocity" (3 components, z = 0 without velocity_z), "pressure"
// as Float64 and, with a mask, "solid" as UInt8; appended raw binary with
// 64-bit block headers; field data "TimeValue" (time) and "step". Returns 0,
// or the errno of the first write or the close that failed (the file is then
// incomplete).
int write_file(const char *path, const fields &f, int step, double time);

struct entry {
    double time;
    std::string file;  // name relative to the .pvd's folder
};

// Writes the collection listing `entries` in order: to path + ".tmp",
// flushed, then renamed onto path, so that a reader finds the old or the
// new collection, complete. Returns 0 or the errno of what failed (the old
// collection then stays).
int write_collection(const char *path, const std::vector<entry> &entries);

}  // namespace vti
