// The team of a run in one process, and the file of one process (team.h).
#include "team.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lean {

namespace {

std::string failure(int error)
{
    return std::strerror(error);
}

// A file written and read with pread and pwrite, a block a row (or a run of
// whole rows, or layers) at a time.
class local_file final : public shared_file {
public:
    explicit local_file(int fd) : fd_(fd) {}
    ~local_file() override
    {
        if (fd_ >= 0) ::close(fd_);
    }

    std::string write_at(std::uint64_t offset, const void *data, std::size_t bytes) override
    {
        const char *p = static_cast<const char *>(data);
        while (bytes > 0) {
            const ssize_t n = ::pwrite(fd_, p, bytes, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return failure(errno);
            if (n == 0) return failure(EIO);
            p += n;
            offset += static_cast<std::uint64_t>(n);
            bytes -= static_cast<std::size_t>(n);
        }
        return "";
    }

    std::string read_at(std::uint64_t offset, void *data, std::size_t bytes) override
    {
        char *p = static_cast<char *>(data);
        while (bytes > 0) {
            const ssize_t n = ::pread(fd_, p, bytes, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return failure(errno);
            if (n == 0) return "shorter than expected";
            p += n;
            offset += static_cast<std::uint64_t>(n);
            bytes -= static_cast<std::size_t>(n);
        }
        return "";
    }

    std::string write_block(std::uint64_t offset, const block &b, int per_node, int element,
                            const void *data) override
    {
        return rows(offset, b, per_node, element, const_cast<void *>(data), true);
    }

    std::string read_block(std::uint64_t offset, const block &b, int per_node, int element,
                           void *data) override
    {
        return rows(offset, b, per_node, element, data, false);
    }

    std::string size(std::uint64_t &bytes) override
    {
        struct stat st;
        if (::fstat(fd_, &st) != 0) return failure(errno);
        bytes = static_cast<std::uint64_t>(st.st_size);
        return "";
    }

    std::string sync() override { return ::fsync(fd_) == 0 ? "" : failure(errno); }

    std::string close() override
    {
        const int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0 ? "" : failure(errno);
    }

private:
    std::string rows(std::uint64_t offset, const block &b, int per_node, int element, void *data,
                     bool write)
    {
        char *p = static_cast<char *>(data);
        return block_segments(offset, b, per_node, element,
                              [&](std::uint64_t at, std::size_t from, std::size_t bytes) {
                                  return write ? write_at(at, p + from, bytes)
                                               : read_at(at, p + from, bytes);
                              });
    }

    int fd_;
};

}  // namespace

std::string block_segments(
    std::uint64_t offset, const block &b, int per_node, int element,
    const std::function<std::string(std::uint64_t at, std::size_t from, std::size_t bytes)> &each)
{
    const std::uint64_t node = static_cast<std::uint64_t>(per_node) * element;
    const std::uint64_t nx = b.nodes[0], ny = b.nodes[1];
    const bool whole_rows = b.extent[0] == b.nodes[0];
    const bool whole_layers = whole_rows && b.extent[1] == b.nodes[1];
    const int rows_at_once = whole_rows ? b.extent[1] : 1;
    const int layers_at_once = whole_layers ? b.extent[2] : 1;
    std::size_t from = 0;
    for (int z = 0; z < b.extent[2]; z += layers_at_once)
        for (int y = 0; y < b.extent[1]; y += rows_at_once) {
            const std::uint64_t first =
                ((static_cast<std::uint64_t>(b.origin[2] + z) * ny + (b.origin[1] + y)) * nx +
                 b.origin[0]) * node;
            const std::size_t bytes = static_cast<std::size_t>(
                node * b.extent[0] * (whole_rows ? b.extent[1] : 1) * layers_at_once);
            const std::string why = each(offset + first, from, bytes);
            if (!why.empty()) return why;
            from += bytes;
        }
    return "";
}

std::unique_ptr<shared_file> open_local_file(const std::string &path, bool write,
                                             std::string &error)
{
    const int flags = write ? O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC : O_RDONLY | O_CLOEXEC;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        error = failure(errno);
        return nullptr;
    }
    if (!write) {
        struct stat st;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = "not a regular file";
            ::close(fd);
            return nullptr;
        }
    }
    error.clear();
    return std::make_unique<local_file>(fd);
}

void team::arrange(const int[3], const bool[3], int coords[3])
{
    coords[0] = coords[1] = coords[2] = 0;
}

void team::coords_of(int, int coords[3]) const
{
    coords[0] = coords[1] = coords[2] = 0;
}

bool team::has_neighbour(int, int) const
{
    return false;
}

void team::exchange(int, const double *, const double *, double *, double *, std::size_t) {}

void team::send_to_first(const void *, std::size_t) {}

void team::receive_from(int, void *, std::size_t) {}

std::unique_ptr<shared_file> team::open_shared(const std::string &path, bool write,
                                               std::string &error)
{
    return open_local_file(path, write, error);
}

void team::abort(int status)
{
    std::exit(status);
}

}  // namespace lean
