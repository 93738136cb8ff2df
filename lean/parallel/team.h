// The processes of one vdwflow run. A run in one process (the program
// without MPI, the Python package) has the team of one that this class is;
// mpi_team.h is the team of an MPI job: a Cartesian grid of processes that
// exchange halos, agree on failures and stops, gather to the first process
// and write shared files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "decomposition.h"

namespace lean {

// A file that every process of a run writes or reads its part of. Each call
// returns "" or what failed, in words.
class shared_file {
public:
    virtual ~shared_file() = default;
    // `bytes` bytes at `offset`, by this process alone (a header).
    virtual std::string write_at(std::uint64_t offset, const void *data, std::size_t bytes) = 0;
    virtual std::string read_at(std::uint64_t offset, void *data, std::size_t bytes) = 0;
    // Every process its block of an array over the lattice, together: the
    // array at `offset`, `per_node` elements of `element` bytes a node (x
    // fastest, then y, then z), `data` the block's, in the same order.
    virtual std::string write_block(std::uint64_t offset, const block &b, int per_node,
                                    int element, const void *data) = 0;
    virtual std::string read_block(std::uint64_t offset, const block &b, int per_node,
                                   int element, void *data) = 0;
    // The file's size in bytes.
    virtual std::string size(std::uint64_t &bytes) = 0;
    // Written through to the disk (every process); closed.
    virtual std::string sync() = 0;
    virtual std::string close() = 0;
};

// The runs of bytes of a block's part of an array over the lattice in the
// file (rows of the block, merged where they follow each other): `each`
// gets the offset in the file, the offset in the block's data and the
// bytes, in order, and returns "" or what failed (which ends the walk).
std::string block_segments(
    std::uint64_t offset, const block &b, int per_node, int element,
    const std::function<std::string(std::uint64_t at, std::size_t from, std::size_t bytes)> &each);

// The file of one process: opened for writing (created, emptied) or reading;
// null with `error` set where it cannot be.
std::unique_ptr<shared_file> open_local_file(const std::string &path, bool write,
                                             std::string &error);

class team {
public:
    virtual ~team() = default;

    // This process and the run's processes; the first, 0, speaks for the run.
    virtual int rank() const { return 0; }
    virtual int size() const { return 1; }
    // This process among those of its machine.
    virtual int local_rank() const { return 0; }
    virtual int local_size() const { return 1; }

    // The process grid: `ranks` processes along x, y, z, periodic along
    // `periodic`; this process's place in it.
    virtual void arrange(const int ranks[3], const bool periodic[3], int coords[3]);
    // The place of process `rank` in the grid.
    virtual void coords_of(int rank, int coords[3]) const;
    // Whether the process has a neighbour below (side 0) or above (side 1)
    // along direction d.
    virtual bool has_neighbour(int d, int side) const;
    // The halos along direction d: `count` values to the neighbour below and
    // above, as many from each; a side without a neighbour sends and
    // receives nothing.
    virtual void exchange(int d, const double *to_lower, const double *to_upper,
                          double *from_lower, double *from_upper, std::size_t count);
    // Whether the halos may pass device memory (a CUDA-aware MPI library).
    virtual bool passes_device_memory() const { return false; }

    // Agreement: the largest value of all processes; the XOR of all.
    virtual int max_all(int value) { return value; }
    virtual std::uint32_t xor_all(std::uint32_t value) { return value; }
    // `bytes` bytes of the first process to every other.
    virtual void broadcast(void *, std::size_t) {}
    // Point to point with the first process (the gathers).
    virtual void send_to_first(const void *data, std::size_t bytes);
    virtual void receive_from(int rank, void *data, std::size_t bytes);
    // Every process here.
    virtual void barrier() {}

    // A file every process writes or reads its part of.
    virtual std::unique_ptr<shared_file> open_shared(const std::string &path, bool write,
                                                     std::string &error);

    // Ends every process of the run now, with `status` (a process that
    // cannot go on alone: the others would wait for it for ever).
    [[noreturn]] virtual void abort(int status);
};

}  // namespace lean
