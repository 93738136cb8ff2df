// Readers of the files a user hands to vdwflow: an initial density (a numpy
// .npy array, or a PV*.vtk snapshot of an earlier run on the same lattice)
// and a mask of solid nodes (a .npy array, or a PGM image). Every reader
// checks the file against the lattice before it allocates anything, reads
// at most what a file of that lattice can hold, and ends in a result, never
// in a crash, a hang or an exit: a hostile file gives a one-line reason.
//
// Arrays are row-major over the lattice: value (ix, iy, iz) at
// (iz * ny + iy) * nx + ix, x fastest, y up (as the solver's node order). A
// lattice of nz == 1 is two-dimensional; one of nz > 1 takes only .npy
// arrays (the other formats are two-dimensional).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace user_files {

// "" when the file was read; otherwise why not, in a few words without the
// file's name (the caller names the key and the file), e.g.
// "shape (64, 32) does not match the lattice (nodes_y, nodes_x) = (32, 64)".
using reason = std::string;

// An initial density: float64 array of shape (nodes_y, nodes_x), or
// (nodes_z, nodes_y, nodes_x) for nz > 1 (.npy, C or Fortran order), or the
// density of a PV*.vtk snapshot that the solver wrote for a lattice of
// nx x ny nodes. Every value finite and strictly between 0 and 3 (the van
// der Waals fluid's excluded volume). Which of the two by the file's content
// (the .npy magic), not its name.
reason read_density(const char *path, int nx, int ny, int nz, std::vector<double> &density);

// A mask of solid nodes, 1 solid, 0 fluid:
//  - .npy of shape (nodes_y, nodes_x), or (nodes_z, nodes_y, nodes_x) for
//    nz > 1, dtype bool, an integer type or float64 (any non-zero value is
//    solid; a float must be finite);
//  - PGM, plain (P2) or raw (P5), nodes_x wide and nodes_y high, top row the
//    top of the lattice (y = nodes_y - 1): a pixel darker than half the
//    maximum grey value is solid ("black is solid").
reason read_solid_mask(const char *path, int nx, int ny, int nz,
                       std::vector<unsigned char> &solid);

// An initial density that a program hands over as an array of doubles of
// the given shape (the Python package's), checked as a file's: the shape
// (nodes_y, nodes_x), or (nodes_z, nodes_y, nodes_x) for nz > 1, every value
// finite and between 0 and 3.
reason density_array(const std::vector<std::size_t> &shape, const double *values, int nx, int ny,
                     int nz, std::vector<double> &density);
// A mask of solid nodes handed over as an array of the given shape, any
// non-zero value solid.
reason mask_array(const std::vector<std::size_t> &shape, const unsigned char *values, int nx,
                  int ny, int nz, std::vector<unsigned char> &solid);

// The same on bytes in memory (the file readers read the file, bounded, and
// call these; the fuzzers call them directly).
reason parse_density(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                     std::vector<double> &density);
reason parse_solid_mask(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                        std::vector<unsigned char> &solid);

}  // namespace user_files
