// The team of an MPI job (mpi_team.h). Standard MPI-3 only (Open MPI and
// MPICH alike); the CUDA-aware query of Open MPI where its header has it.
#include "mpi_team.h"

#include <mpi.h>
#if __has_include(<mpi-ext.h>)
#include <mpi-ext.h>
#endif
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace lean {

namespace {

// Messages and collective transfers of at most this many bytes (MPI counts
// are ints).
constexpr std::size_t kPiece = std::size_t{1} << 30;

// Tags: halos going down and up each direction; the gathers'.
int halo_tag(int d, bool down)
{
    return 2 * d + (down ? 0 : 1);
}
constexpr int kGatherTag = 16;

std::string mpi_failure(int code)
{
    char text[MPI_MAX_ERROR_STRING];
    int length = 0;
    if (MPI_Error_string(code, text, &length) != MPI_SUCCESS) return "MPI error " + std::to_string(code);
    return std::string(text, static_cast<std::size_t>(length));
}

// A file of the job, through MPI-IO: opened, flushed and closed by every
// process together; headers by one process, each process its block's
// bytes.
class mpi_file final : public shared_file {
public:
    explicit mpi_file(MPI_File file) : file_(file) {}
    ~mpi_file() override
    {
        if (file_ != MPI_FILE_NULL) MPI_File_close(&file_);
    }

    std::string write_at(std::uint64_t offset, const void *data, std::size_t bytes) override
    {
        const char *p = static_cast<const char *>(data);
        for (std::size_t done = 0; done < bytes;) {
            const int n = static_cast<int>(std::min(bytes - done, kPiece));
            MPI_Status status;
            const int code = MPI_File_write_at(file_, static_cast<MPI_Offset>(offset + done),
                                               p + done, n, MPI_BYTE, &status);
            if (code != MPI_SUCCESS) return mpi_failure(code);
            done += static_cast<std::size_t>(n);
        }
        return "";
    }

    std::string read_at(std::uint64_t offset, void *data, std::size_t bytes) override
    {
        char *p = static_cast<char *>(data);
        for (std::size_t done = 0; done < bytes;) {
            const int n = static_cast<int>(std::min(bytes - done, kPiece));
            MPI_Status status;
            const int code = MPI_File_read_at(file_, static_cast<MPI_Offset>(offset + done),
                                              p + done, n, MPI_BYTE, &status);
            if (code != MPI_SUCCESS) return mpi_failure(code);
            int got = 0;
            MPI_Get_count(&status, MPI_BYTE, &got);
            if (got != n) return "shorter than expected";
            done += static_cast<std::size_t>(n);
        }
        return "";
    }

    std::string write_block(std::uint64_t offset, const block &b, int per_node, int element,
                            const void *data) override
    {
        return transfer(offset, b, per_node, element, const_cast<void *>(data), true);
    }

    std::string read_block(std::uint64_t offset, const block &b, int per_node, int element,
                           void *data) override
    {
        return transfer(offset, b, per_node, element, data, false);
    }

    std::string size(std::uint64_t &bytes) override
    {
        MPI_Offset size = 0;
        const int code = MPI_File_get_size(file_, &size);
        if (code != MPI_SUCCESS) return mpi_failure(code);
        bytes = static_cast<std::uint64_t>(size);
        return "";
    }

    std::string sync() override
    {
        const int code = MPI_File_sync(file_);
        return code == MPI_SUCCESS ? "" : mpi_failure(code);
    }

    std::string close() override
    {
        const int code = MPI_File_close(&file_);
        file_ = MPI_FILE_NULL;
        return code == MPI_SUCCESS ? "" : mpi_failure(code);
    }

private:
    // The block's runs of bytes, each by this process at its offset: no
    // process touches another's bytes, which a collective write through a
    // view of the block does not promise with every MPI library (Open MPI
    // 4.1's OMPIO lost rows of interleaved blocks now and then).
    std::string transfer(std::uint64_t offset, const block &b, int per_node, int element,
                         void *data, bool write)
    {
        char *p = static_cast<char *>(data);
        return block_segments(offset, b, per_node, element,
                              [&](std::uint64_t at, std::size_t from, std::size_t bytes) {
                                  return write ? write_at(at, p + from, bytes)
                                               : read_at(at, p + from, bytes);
                              });
    }

    MPI_File file_;
};

}  // namespace

struct mpi_team::handles {
    MPI_Comm comm = MPI_COMM_WORLD;
    bool cartesian = false;
};

mpi_team::mpi_team(int *argc, char ***argv) : h_(std::make_unique<handles>())
{
    int provided = 0;
    MPI_Init_thread(argc, argv, MPI_THREAD_FUNNELED, &provided);
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);

    MPI_Comm local;
    MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, rank_, MPI_INFO_NULL, &local);
    MPI_Comm_rank(local, &local_rank_);
    MPI_Comm_size(local, &local_size_);
    MPI_Comm_free(&local);

    // The cores this process may run on (its binding), shared with the
    // others of its machine where they are not bound apart.
    cpu_set_t set;
    int own = 1;
    if (sched_getaffinity(0, sizeof set, &set) == 0) own = CPU_COUNT(&set);
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    const int share = online > 0 ? static_cast<int>(online / local_size_) : 1;
    cores_ = std::max(1, std::min(own, share));

    char version[MPI_MAX_LIBRARY_VERSION_STRING];
    int length = 0;
    MPI_Get_library_version(version, &length);
    library_.assign(version, static_cast<std::size_t>(length));
    library_ = library_.substr(0, library_.find_first_of(",\n"));
#if defined(MPIX_CUDA_AWARE_SUPPORT) && MPIX_CUDA_AWARE_SUPPORT
    cuda_aware_ = MPIX_Query_cuda_support() == 1;
#endif
    library_ += cuda_aware_ ? ", CUDA-aware" : ", not CUDA-aware";
}

mpi_team::~mpi_team()
{
    int finalized = 0;
    MPI_Finalized(&finalized);
    if (finalized) return;
    if (h_->cartesian) MPI_Comm_free(&h_->comm);
    MPI_Finalize();
}

void mpi_team::arrange(const int ranks[3], const bool periodic[3], int coords[3])
{
    int dims[3], periods[3];
    for (int d = 0; d < 3; d++) {
        dims[d] = ranks[d];
        periods[d] = periodic[d] ? 1 : 0;
    }
    // (reorder 0: the first process stays the one that speaks)
    MPI_Cart_create(MPI_COMM_WORLD, 3, dims, periods, 0, &h_->comm);
    h_->cartesian = true;
    MPI_Cart_coords(h_->comm, rank_, 3, coords);
    for (int d = 0; d < 3; d++) {
        int lower, upper;
        MPI_Cart_shift(h_->comm, d, 1, &lower, &upper);
        neighbours_[d][0] = ranks[d] > 1 && lower != MPI_PROC_NULL ? lower : -1;
        neighbours_[d][1] = ranks[d] > 1 && upper != MPI_PROC_NULL ? upper : -1;
    }
}

void mpi_team::coords_of(int rank, int coords[3]) const
{
    if (!h_->cartesian) {
        coords[0] = coords[1] = coords[2] = 0;
        return;
    }
    MPI_Cart_coords(h_->comm, rank, 3, coords);
}

bool mpi_team::has_neighbour(int d, int side) const
{
    return neighbours_[d][side] >= 0;
}

void mpi_team::exchange(int d, const double *to_lower, const double *to_upper, double *from_lower,
                        double *from_upper, std::size_t count)
{
    MPI_Request requests[4];
    int n = 0;
    const int lower = neighbours_[d][0], upper = neighbours_[d][1];
    const int values = static_cast<int>(count);
    if (lower >= 0)
        MPI_Irecv(from_lower, values, MPI_DOUBLE, lower, halo_tag(d, false), h_->comm, &requests[n++]);
    if (upper >= 0)
        MPI_Irecv(from_upper, values, MPI_DOUBLE, upper, halo_tag(d, true), h_->comm, &requests[n++]);
    if (lower >= 0)
        MPI_Isend(to_lower, values, MPI_DOUBLE, lower, halo_tag(d, true), h_->comm, &requests[n++]);
    if (upper >= 0)
        MPI_Isend(to_upper, values, MPI_DOUBLE, upper, halo_tag(d, false), h_->comm, &requests[n++]);
    MPI_Waitall(n, requests, MPI_STATUSES_IGNORE);
}

int mpi_team::max_all(int value)
{
    int result = value;
    MPI_Allreduce(&value, &result, 1, MPI_INT, MPI_MAX, h_->comm);
    return result;
}

std::uint32_t mpi_team::xor_all(std::uint32_t value)
{
    std::uint32_t result = value;
    MPI_Allreduce(&value, &result, 1, MPI_UINT32_T, MPI_BXOR, h_->comm);
    return result;
}

void mpi_team::broadcast(void *data, std::size_t bytes)
{
    char *p = static_cast<char *>(data);
    for (std::size_t done = 0; done < bytes; done += kPiece)
        MPI_Bcast(p + done, static_cast<int>(std::min(bytes - done, kPiece)), MPI_BYTE, 0, h_->comm);
}

void mpi_team::send_to_first(const void *data, std::size_t bytes)
{
    const char *p = static_cast<const char *>(data);
    for (std::size_t done = 0; done < bytes; done += kPiece)
        MPI_Send(p + done, static_cast<int>(std::min(bytes - done, kPiece)), MPI_BYTE, 0,
                 kGatherTag, h_->comm);
}

void mpi_team::receive_from(int rank, void *data, std::size_t bytes)
{
    char *p = static_cast<char *>(data);
    for (std::size_t done = 0; done < bytes; done += kPiece)
        MPI_Recv(p + done, static_cast<int>(std::min(bytes - done, kPiece)), MPI_BYTE, rank,
                 kGatherTag, h_->comm, MPI_STATUS_IGNORE);
}

void mpi_team::barrier()
{
    MPI_Barrier(h_->comm);
}

std::unique_ptr<shared_file> mpi_team::open_shared(const std::string &path, bool write,
                                                   std::string &error)
{
    MPI_File file = MPI_FILE_NULL;
    const int mode = write ? MPI_MODE_WRONLY | MPI_MODE_CREATE : MPI_MODE_RDONLY;
    int code = MPI_File_open(h_->comm, path.c_str(), mode, MPI_INFO_NULL, &file);
    if (code == MPI_SUCCESS && write) code = MPI_File_set_size(file, 0);
    error = code == MPI_SUCCESS ? "" : mpi_failure(code);
    // (every process, or none: a process that could not open it says so to all)
    const int failed = max_all(code == MPI_SUCCESS ? 0 : rank_ + 1);
    if (failed == 0) return std::make_unique<mpi_file>(file);
    if (file != MPI_FILE_NULL) MPI_File_close(&file);
    if (error.empty()) error = "it failed on process " + std::to_string(failed - 1);
    return nullptr;
}

void mpi_team::abort(int status)
{
    MPI_Abort(h_->comm, status);
    std::_Exit(status);
}

}  // namespace lean
