// The team of an MPI job (team.h): MPI started with the object and finished
// with it; after arrange(), a Cartesian communicator of the process grid.
// Only the thread that made it calls MPI.
#pragma once

#include "team.h"

namespace lean {

class mpi_team final : public team {
public:
    mpi_team(int *argc, char ***argv);
    ~mpi_team() override;
    mpi_team(const mpi_team &) = delete;
    mpi_team &operator=(const mpi_team &) = delete;

    int rank() const override { return rank_; }
    int size() const override { return size_; }
    int local_rank() const override { return local_rank_; }
    int local_size() const override { return local_size_; }

    void arrange(const int ranks[3], const bool periodic[3], int coords[3]) override;
    void coords_of(int rank, int coords[3]) const override;
    bool has_neighbour(int d, int side) const override;
    void exchange(int d, const double *to_lower, const double *to_upper, double *from_lower,
                  double *from_upper, std::size_t count) override;
    bool passes_device_memory() const override { return cuda_aware_; }

    int max_all(int value) override;
    std::uint32_t xor_all(std::uint32_t value) override;
    void broadcast(void *data, std::size_t bytes) override;
    void send_to_first(const void *data, std::size_t bytes) override;
    void receive_from(int rank, void *data, std::size_t bytes) override;
    void barrier() override;

    std::unique_ptr<shared_file> open_shared(const std::string &path, bool write,
                                             std::string &error) override;
    [[noreturn]] void abort(int status) override;

    // Cores for the worker threads of each process on the cpu backend: its
    // own, shared with the processes of its machine that share them.
    int cores() const { return cores_; }
    // The MPI library, in one line ("Open MPI v4.1.4, CUDA-aware: no").
    const std::string &library() const { return library_; }

private:
    struct handles;
    std::unique_ptr<handles> h_;
    int rank_ = 0, size_ = 1, local_rank_ = 0, local_size_ = 1, cores_ = 1;
    int neighbours_[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    bool cuda_aware_ = false;
    std::string library_;
};

}  // namespace lean
