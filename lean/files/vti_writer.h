// Snapshots as VTK XML image data (.vti: density, velocity, pressure, in
// binary) and the ParaView collection (.pvd) that lists them with their
// times, so that a run opens as one animation.
#pragma once

#include <cstdint>
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

// Where write_file puts what, for writers that place the arrays themselves
// (a lattice written by several processes): the XML head up to the "_"
// before the appended data; each array's byte count (8 bytes,
// little-endian) at `at`, its values after it; the tail; the file's size.
// The fields' pointers only say which arrays there are.
struct layout {
    struct array {
        const char *name;     // "density", "velocity", "pressure", "solid"
        std::uint64_t at;     // offset of its byte count
        std::uint64_t bytes;  // of its values
    };
    std::string head, tail;
    std::vector<array> arrays;
    std::uint64_t nodes = 0, size = 0;
};
// 0, or EINVAL / EFBIG as write_file refuses the fields.
int layout_of(const fields &f, int step, double time, layout &out);

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
