// Checkpoint of a vdwflow run: atomic replacement, checksum, versioned header.
#include "checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "initial_state.h"
#include "reporters.h"

namespace lean {

namespace {

const char kMagic[8] = {'V', 'D', 'W', 'C', 'H', 'K', 'P', 'T'};
const std::uint32_t kByteOrderMark = 0x01020304u;

// The header, field by field at fixed offsets (docs/checkpoint.md).
struct header {
    char magic[8];
    std::uint32_t version;
    std::uint32_t byte_order;
    std::int32_t nodes_x, nodes_y;
    std::int32_t step;
    std::int32_t planes;
    double RTzero, temperature, delta_time, kappa, rho_zero, tau;
    std::int32_t last_iter, niter_cycle, ncycles;  // of the run that wrote it
    // version 2
    std::int32_t walls;
    double wall_wetting;
    double gravity_x, gravity_y;
    double gravity_reference;
    std::uint32_t solid_crc;  // of the solid nodes' bytes; 0 without them
    std::int32_t gravity_reference_mean;
    std::int32_t output;
    std::int32_t scheme;
    // version 3 (three-dimensional lattices; zeros in version 2: one layer)
    std::int32_t nodes_z;
    std::int32_t reserved;
    double gravity_z;
    char unused[kCheckpointHeaderBytes - 160];
};
static_assert(sizeof(header) == kCheckpointHeaderBytes, "the header is 256 bytes");
static_assert(offsetof(header, RTzero) == 32 && offsetof(header, last_iter) == 80 &&
                  offsetof(header, walls) == 92 && offsetof(header, wall_wetting) == 96 &&
                  offsetof(header, solid_crc) == 128 && offsetof(header, output) == 136 &&
                  offsetof(header, scheme) == 140 && offsetof(header, nodes_z) == 144 && offsetof(header, gravity_z) == 152,
              "the header's fields lie at their documented offsets");

std::size_t plane_bytes(const configuration &c)
{
    return c.node_count() * sizeof(double);
}

std::uint32_t solid_checksum(const configuration &c)
{
    return c.solid.empty() ? 0u : crc32_update(0, c.solid.data(), c.solid.size());
}

// The settings a header holds (the keys a resumed run may not change, and
// those kept for the record).
settings settings_of(const header &h)
{
    settings s;
    s.nodes_x = h.nodes_x;
    s.nodes_y = h.nodes_y;
    s.RTzero = h.RTzero;
    s.temperature = h.temperature;
    s.delta_time = h.delta_time;
    s.kappa = h.kappa;
    s.rho_zero = h.rho_zero;
    s.tau = h.tau;
    s.last_iter = h.last_iter;
    s.niter_cycle = h.niter_cycle;
    s.ncycles = h.ncycles;
    s.walls = static_cast<walls_kind>(h.walls);
    s.wall_wetting = h.wall_wetting;
    s.gravity_x = h.gravity_x;
    s.gravity_y = h.gravity_y;
    s.gravity_reference = h.gravity_reference;
    s.gravity_reference_mean = h.gravity_reference_mean != 0;
    s.output = static_cast<output_kind>(h.output);
    s.scheme = static_cast<scheme_kind>(h.scheme);
    s.nodes_z = h.version >= 3 ? h.nodes_z : 1;
    s.gravity_z = h.version >= 3 ? h.gravity_z : 0.0;
    return s;
}

header header_of(const configuration &c, int step)
{
    const settings &s = c.keys;
    header h = {};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    // (a two-dimensional run's checkpoint is version 2, as before there were
    // three dimensions)
    h.version = c.dimensions() == 3 ? kCheckpointVersion : 2;
    h.byte_order = kByteOrderMark;
    h.nodes_x = s.nodes_x;
    h.nodes_y = s.nodes_y;
    h.step = step;
    h.planes = state_planes(c);
    h.RTzero = s.RTzero;
    h.temperature = s.temperature;
    h.delta_time = s.delta_time;
    h.kappa = s.kappa;
    h.rho_zero = s.rho_zero;
    h.tau = s.tau;
    h.last_iter = s.last_iter;
    h.niter_cycle = s.niter_cycle;
    h.ncycles = s.ncycles;
    h.walls = static_cast<std::int32_t>(s.walls);
    h.wall_wetting = s.wall_wetting;
    h.gravity_x = s.gravity_x;
    h.gravity_y = s.gravity_y;
    h.gravity_reference = s.gravity_reference;
    h.solid_crc = solid_checksum(c);
    h.gravity_reference_mean = s.gravity_reference_mean;
    h.output = static_cast<std::int32_t>(s.output);
    h.scheme = static_cast<std::int32_t>(s.scheme);
    if (c.dimensions() == 3) {
        h.nodes_z = s.nodes_z;
        h.gravity_z = s.gravity_z;
    }
    return h;
}

// "64 x 48" or "64 x 48 x 32".
std::string lattice_text(const configuration &c)
{
    std::string text = std::to_string(c.keys.nodes_x) + " x " + std::to_string(c.keys.nodes_y);
    if (c.dimensions() == 3) text += " x " + std::to_string(c.keys.nodes_z);
    return text;
}

// Writes all of `size` bytes; the errno of a failure, else 0.
int write_all(int fd, const void *data, std::size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Reads up to `size` bytes; how many were read, or -1 with errno set.
long long read_all(int fd, void *data, std::size_t size)
{
    char *p = static_cast<char *>(data);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, p + done, size - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(done);
}

[[noreturn]] void write_failed(int fd, const std::string &temporary, int error)
{
    if (fd >= 0) ::close(fd);
    ::unlink(temporary.c_str());
    throw error_line(run_failure::file,
                     "vdwflow: could not write the checkpoint file %s completely: %s",
                     temporary.c_str(), std::strerror(error));
}

// A file being read, closed when it goes.
struct open_file {
    int fd;
    ~open_file()
    {
        if (fd >= 0) ::close(fd);
    }
};

// The refusals of one resumption: a line naming the checkpoint and why.
class resumption {
public:
    resumption(const std::string &path, const configuration &c) : path_(path), c_(c) {}

    [[noreturn]] void refuse(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list args;
        va_start(args, format);
        const std::string message = vformatted(format, args);
        va_end(args);
        throw error_line(kind_, "vdwflow: cannot resume from %s: %s", path_.c_str(), message.c_str());
    }

    // A file that cannot be opened or read: as a refusal, and a file's failure.
    [[noreturn]] void refuse_file(const char *reason)
    {
        kind_ = run_failure::file;
        refuse("%s", reason);
    }

    // The run it continues: the same lattice and physics, every key that a
    // resumed run may not change (the cycle keys may change: that is how a
    // run is extended).
    void check_keys(const settings &stored)
    {
        const char *file = c_.path.c_str();
        for (const key &k : keys()) {
            if (k.resume_may_change) continue;
            const key_value was = k.get(stored), is = k.get(c_.keys);
            switch (k.kind) {
            case key_kind::integer:
                if (was.number != is.number)
                    refuse("%s is %d there and %d in %s", k.name, static_cast<int>(was.number),
                           static_cast<int>(is.number), file);
                break;
            case key_kind::real:
                // (the same bits: the run continues with them)
                if (std::memcmp(&was.number, &is.number, sizeof was.number) != 0)
                    refuse("%s is %.17g there and %.17g in %s", k.name, was.number, is.number, file);
                break;
            case key_kind::word:
                if (was.word != is.word)
                    refuse("%s is %s there and %s in %s", k.name, word_of(k.name, was.word),
                           word_of(k.name, is.word), file);
                break;
            case key_kind::path:       // (the solid nodes: by their checksum)
            case key_kind::reference:  // (below)
                break;
            }
        }
    }

    void check_solid(std::uint32_t stored_crc)
    {
        if (stored_crc != solid_checksum(c_))
            refuse("its solid nodes are not those of -hsolid_file in %s (%s)", c_.path.c_str(),
                   c_.keys.solid_file.empty() ? "none given" : c_.keys.solid_file.c_str());
    }

    // The reference density of gravity: "mean" takes the one the run
    // computed at its start, a density must be the same bits.
    void check_reference(const settings &stored, settings &current)
    {
        if (stored.gravity_reference_mean != current.gravity_reference_mean)
            refuse("-hgravity_reference is %s there and %s in %s",
                   stored.gravity_reference_mean ? "mean" : "a density",
                   current.gravity_reference_mean ? "mean" : "a density", c_.path.c_str());
        if (current.gravity_reference_mean)
            current.gravity_reference = stored.gravity_reference;
        else if (std::memcmp(&stored.gravity_reference, &current.gravity_reference,
                             sizeof stored.gravity_reference) != 0)
            refuse("-hgravity_reference is %.17g there and %.17g in %s", stored.gravity_reference,
                   current.gravity_reference, c_.path.c_str());
    }

private:
    const std::string &path_;
    const configuration &c_;
    run_failure kind_ = run_failure::input;
};

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void *data, std::size_t size)
{
    return static_cast<std::uint32_t>(crc32_z(crc, static_cast<const Bytef *>(data), size));
}

void write_checkpoint(const std::string &path, const configuration &c, const double *state,
                      int step)
{
    const header h = header_of(c, step);
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) write_failed(-1, temporary, errno);
    const std::size_t data_bytes = state_planes(c) * plane_bytes(c);
    std::uint32_t crc = crc32_update(0, &h, sizeof h);
    crc = crc32_update(crc, state, data_bytes);
    int error = write_all(fd, &h, sizeof h);
    if (error == 0) error = write_all(fd, state, data_bytes);
    if (error == 0) error = write_all(fd, &crc, sizeof crc);
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (error != 0) write_failed(fd, temporary, error);
    if (::close(fd) != 0) write_failed(-1, temporary, errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0) write_failed(-1, temporary, errno);
    // The rename itself reaches the disk with the folder.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

checkpoint_found read_checkpoint(const std::string &path, configuration &c, double *state,
                                 int last_step)
{
    resumption r(path, c);
    open_file file{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0) r.refuse_file(std::strerror(errno));
    struct stat st;
    if (::fstat(file.fd, &st) != 0) r.refuse_file(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) r.refuse_file("not a regular file");

    // Version 1 is the first 128 bytes of version 2, with zeros after them
    // standing for none of the setup's keys.
    header h = {};
    long long got = read_all(file.fd, &h, kCheckpointV1HeaderBytes);
    if (got < 0) r.refuse_file(std::strerror(errno));
    if (got < static_cast<long long>(kCheckpointV1HeaderBytes))
        r.refuse("truncated: %lld bytes, shorter than the header", got);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0)
        r.refuse("not a vdwflow checkpoint (wrong magic)");
    if (h.byte_order != kByteOrderMark) r.refuse("written on a machine of the other byte order");
    if (h.version < 1 || h.version > kCheckpointVersion)
        r.refuse("format version %u; this program reads versions 1 to %d", h.version,
                 kCheckpointVersion);
    const std::size_t header_bytes =
        h.version == 1 ? kCheckpointV1HeaderBytes : kCheckpointHeaderBytes;
    if (h.version != 1) {
        got = read_all(file.fd, reinterpret_cast<char *>(&h) + kCheckpointV1HeaderBytes,
                       sizeof h - kCheckpointV1HeaderBytes);
        if (got < 0) r.refuse_file(std::strerror(errno));
        if (got < static_cast<long long>(sizeof h - kCheckpointV1HeaderBytes))
            r.refuse("truncated: shorter than the header");
    }
    const settings stored = settings_of(h);
    r.check_keys(stored);
    if (h.planes != state_planes(c))
        r.refuse("%d planes; a checkpoint of this lattice has %d", h.planes, state_planes(c));
    r.check_solid(h.solid_crc);
    r.check_reference(stored, c.keys);

    const std::size_t data_bytes = state_planes(c) * plane_bytes(c);
    const long long expected = static_cast<long long>(header_bytes + data_bytes + 4);
    if (static_cast<long long>(st.st_size) != expected)
        r.refuse("%s: %lld bytes, a checkpoint of %s nodes has %lld",
                 st.st_size < expected ? "truncated" : "too long",
                 static_cast<long long>(st.st_size), lattice_text(c).c_str(), expected);

    std::uint32_t stored_crc = 0;
    errno = 0;
    if (read_all(file.fd, state, data_bytes) != static_cast<long long>(data_bytes) ||
        read_all(file.fd, &stored_crc, sizeof stored_crc) != static_cast<long long>(sizeof stored_crc))
        r.refuse("%s", errno != 0 ? std::strerror(errno) : "truncated while reading");
    std::uint32_t crc = crc32_update(0, &h, header_bytes);
    crc = crc32_update(crc, state, data_bytes);
    if (crc != stored_crc) r.refuse("checksum mismatch: the file is damaged");

    checkpoint_found found;
    found.step = h.step;
    if (h.step >= last_step) {
        found.finished = true;
        char text[1024];
        std::snprintf(text, sizeof text,
                      "vdwflow: %s is at step %d, the run's last step is %d: nothing to do "
                      "(raise -hncycles in %s to run on)\n",
                      path.c_str(), h.step, last_step, c.path.c_str());
        found.note = text;
    }
    return found;
}

}  // namespace lean
