// Checkpoint of the lean solver: atomic replacement, checksum, versioned header.
#include "checkpoint.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "reporters.h"
#include "run_config.h"
#include "setup.h"

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
    char unused[kCheckpointHeaderBytes - 144];
};
static_assert(sizeof(header) == kCheckpointHeaderBytes, "the header is 256 bytes");
static_assert(offsetof(header, RTzero) == 32 && offsetof(header, last_iter) == 80 &&
                  offsetof(header, walls) == 92 && offsetof(header, wall_wetting) == 96 &&
                  offsetof(header, solid_crc) == 128 && offsetof(header, output) == 136 &&
                  offsetof(header, scheme) == 140,
              "the header's fields lie at their documented offsets");

// CRC-32 with the reflected polynomial 0xEDB88320, eight bytes at a time
// (slicing by eight).
struct crc_tables {
    std::uint32_t t[8][256];
    crc_tables()
    {
        for (std::uint32_t i = 0; i < 256; i++) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; k++)
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            t[0][i] = c;
        }
        for (int s = 1; s < 8; s++)
            for (int i = 0; i < 256; i++)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

std::size_t plane_bytes()
{
    return static_cast<std::size_t>(hnodes) * sizeof(double);
}

std::size_t file_bytes(std::size_t header_bytes)
{
    return header_bytes + kCheckpointPlanes * plane_bytes() + sizeof(std::uint32_t);
}

std::uint32_t solid_checksum()
{
    return hsolid_nodes.empty() ? 0u : crc32_update(0, hsolid_nodes.data(), hsolid_nodes.size());
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
    std::fprintf(stderr, "vdwflow: could not write the checkpoint file %s completely: %s\n",
                 temporary.c_str(), std::strerror(error));
    note_failure(run_failure::file);
    end_run(1);
}

const char *g_parameter_file = "nw2cuda.input";
const char *g_checkpoint_file = CHECKPOINT_FILE;
int g_read_fd = -1;  // the checkpoint being read, closed by a refusal

[[noreturn]] void refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));

void refuse(const char *format, ...)
{
    std::fflush(stdout);
    std::fprintf(stderr, "vdwflow: cannot resume from %s: ", g_checkpoint_file);
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
    if (g_read_fd >= 0) ::close(g_read_fd);
    g_read_fd = -1;
    end_run(1);
}

// A file that cannot be opened or read: as a refusal, and a file's failure.
[[noreturn]] void refuse_file(const char *reason)
{
    note_failure(run_failure::file);
    refuse("%s", reason);
}

void check_int(const char *key, std::int32_t stored, int value)
{
    if (stored != value)
        refuse("-%s is %d there and %d in %s", key, stored, value, g_parameter_file);
}

// Physical parameters must be the same bits: the run continues with them.
void check_real(const char *key, double stored, double value)
{
    if (std::memcmp(&stored, &value, sizeof stored) != 0)
        refuse("-%s is %.17g there and %.17g in %s", key, stored, value, g_parameter_file);
}

// The setup's keys that change the physics.
void check_setup(const header &h)
{
    if (h.walls != static_cast<std::int32_t>(hsetup.walls)) {
        const bool known = h.walls >= 0 && h.walls <= 3;
        refuse("-hwalls is %s there and %s in %s",
               known ? walls_name(static_cast<walls_kind>(h.walls)) : "unknown",
               walls_name(hsetup.walls), g_parameter_file);
    }
    check_real("hwall_wetting", h.wall_wetting, hsetup.wall_wetting);
    if (h.scheme != static_cast<std::int32_t>(hsetup.scheme)) {
        const bool known = h.scheme >= 0 && h.scheme <= 1;
        refuse("-hscheme is %s there and %s in %s",
               known ? scheme_name(static_cast<scheme_kind>(h.scheme)) : "unknown",
               scheme_name(hsetup.scheme), g_parameter_file);
    }
    if (h.solid_crc != solid_checksum())
        refuse("its solid nodes are not those of -hsolid_file in %s (%s)", g_parameter_file,
               hsetup.solid_file.empty() ? "none given" : hsetup.solid_file.c_str());
    check_real("hgravity_x", h.gravity_x, hsetup.gravity_x);
    check_real("hgravity_y", h.gravity_y, hsetup.gravity_y);
    if ((h.gravity_reference_mean != 0) != hsetup.gravity_reference_mean)
        refuse("-hgravity_reference is %s there and %s in %s",
               h.gravity_reference_mean ? "mean" : "a density",
               hsetup.gravity_reference_mean ? "mean" : "a density", g_parameter_file);
    if (hsetup.gravity_reference_mean)
        hsetup.gravity_reference = h.gravity_reference;  // as the run computed it
    else
        check_real("hgravity_reference", h.gravity_reference, hsetup.gravity_reference);
}

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void *data, std::size_t size)
{
    static const crc_tables tables;
    const auto &t = tables.t;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    crc = ~crc;
    for (; size >= 8; size -= 8, p += 8) {
        std::uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + 4, 4);
        lo ^= crc;  // (little-endian byte order, as on every machine we build for)
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^
              t[4][lo >> 24] ^ t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^
              t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; size > 0; size--, p++)
        crc = (crc >> 8) ^ t[0][(crc ^ *p) & 0xFF];
    return ~crc;
}

void write_checkpoint(const double *planes, int step)
{
    write_checkpoint_file(CHECKPOINT_FILE, planes, step);
}

void write_checkpoint_file(const char *path, const double *planes, int step)
{
    header h = {};
    std::memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kCheckpointVersion;
    h.byte_order = kByteOrderMark;
    h.nodes_x = hnodes_x;
    h.nodes_y = hnodes_y;
    h.step = step;
    h.planes = kCheckpointPlanes;
    h.RTzero = hRTzero;
    h.temperature = htemperature;
    h.delta_time = hdelta_time;
    h.kappa = hkappa;
    h.rho_zero = hrho_zero;
    h.tau = htau;
    h.last_iter = hlast_iter;
    h.niter_cycle = hniter_cycle;
    h.ncycles = hncycles;
    h.walls = static_cast<std::int32_t>(hsetup.walls);
    h.wall_wetting = hsetup.wall_wetting;
    h.gravity_x = hsetup.gravity_x;
    h.gravity_y = hsetup.gravity_y;
    h.gravity_reference = hsetup.gravity_reference;
    h.solid_crc = solid_checksum();
    h.gravity_reference_mean = hsetup.gravity_reference_mean;
    h.output = static_cast<std::int32_t>(hsetup.output);
    h.scheme = static_cast<std::int32_t>(hsetup.scheme);

    const std::string temporary = std::string(path) + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) write_failed(-1, temporary, errno);
    const std::size_t data_bytes = kCheckpointPlanes * plane_bytes();
    std::uint32_t crc = crc32_update(0, &h, sizeof h);
    crc = crc32_update(crc, planes, data_bytes);
    int error = write_all(fd, &h, sizeof h);
    if (error == 0) error = write_all(fd, planes, data_bytes);
    if (error == 0) error = write_all(fd, &crc, sizeof crc);
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (error != 0) write_failed(fd, temporary, error);
    if (::close(fd) != 0) write_failed(-1, temporary, errno);
    if (::rename(temporary.c_str(), path) != 0) write_failed(-1, temporary, errno);
    // The rename itself reaches the disk with the folder.
    const char *slash = std::strrchr(path, '/');
    const std::string folder = slash ? std::string(path, static_cast<size_t>(slash - path) + 1) : ".";
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

checkpoint_verdict read_checkpoint(const char *parameter_file, double *planes, int *step,
                                   int last_step)
{
    return read_checkpoint_file(CHECKPOINT_FILE, parameter_file, planes, step, last_step);
}

checkpoint_verdict read_checkpoint_file(const char *path, const char *parameter_file,
                                        double *planes, int *step, int last_step)
{
    g_parameter_file = parameter_file;
    g_checkpoint_file = path;
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) refuse_file(std::strerror(errno));
    g_read_fd = fd;
    struct stat st;
    if (::fstat(fd, &st) != 0) refuse_file(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) refuse_file("not a regular file");

    // Version 1 is the first 128 bytes of version 2, with zeros after them
    // standing for none of the setup's keys.
    header h = {};
    long long got = read_all(fd, &h, kCheckpointV1HeaderBytes);
    if (got < 0) refuse_file(std::strerror(errno));
    if (got < static_cast<long long>(kCheckpointV1HeaderBytes))
        refuse("truncated: %lld bytes, shorter than the header", got);
    if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0)
        refuse("not a vdwflow checkpoint (wrong magic)");
    if (h.byte_order != kByteOrderMark)
        refuse("written on a machine of the other byte order");
    if (h.version != 1 && h.version != kCheckpointVersion)
        refuse("format version %u; this program reads versions 1 and %d", h.version,
               kCheckpointVersion);
    const std::size_t header_bytes =
        h.version == 1 ? kCheckpointV1HeaderBytes : kCheckpointHeaderBytes;
    if (h.version != 1) {
        got = read_all(fd, reinterpret_cast<char *>(&h) + kCheckpointV1HeaderBytes,
                       sizeof h - kCheckpointV1HeaderBytes);
        if (got < 0) refuse_file(std::strerror(errno));
        if (got < static_cast<long long>(sizeof h - kCheckpointV1HeaderBytes))
            refuse("truncated: shorter than the header");
    }
    if (h.planes != kCheckpointPlanes)
        refuse("%d planes; version %d has %d", h.planes, kCheckpointVersion, kCheckpointPlanes);

    // The run it continues: the same lattice and physics (the cycle keys may
    // change: that is how a run is extended).
    check_int("hnodes_x", h.nodes_x, hnodes_x);
    check_int("hnodes_y", h.nodes_y, hnodes_y);
    check_real("hRTzero", h.RTzero, hRTzero);
    check_real("htemperature", h.temperature, htemperature);
    check_real("hdelta_time", h.delta_time, hdelta_time);
    check_real("hkappa", h.kappa, hkappa);
    check_real("hrho_zero", h.rho_zero, hrho_zero);
    check_real("htau", h.tau, htau);
    check_setup(h);

    const long long expected = static_cast<long long>(file_bytes(header_bytes));
    if (static_cast<long long>(st.st_size) != expected)
        refuse("%s: %lld bytes, a checkpoint of %d x %d nodes has %lld",
               st.st_size < expected ? "truncated" : "too long",
               static_cast<long long>(st.st_size), hnodes_x, hnodes_y, expected);

    const std::size_t data_bytes = kCheckpointPlanes * plane_bytes();
    std::uint32_t stored_crc = 0;
    if (read_all(fd, planes, data_bytes) != static_cast<long long>(data_bytes) ||
        read_all(fd, &stored_crc, sizeof stored_crc) != static_cast<long long>(sizeof stored_crc))
        refuse("%s", errno != 0 ? std::strerror(errno) : "truncated while reading");
    ::close(fd);
    g_read_fd = -1;
    std::uint32_t crc = crc32_update(0, &h, header_bytes);
    crc = crc32_update(crc, planes, data_bytes);
    if (crc != stored_crc) refuse("checksum mismatch: the file is damaged");

    if (h.step >= last_step) {
        std::fflush(stdout);
        std::fprintf(stderr,
                     "vdwflow: %s is at step %d, the run's last step is %d: nothing to do "
                     "(raise -hncycles in %s to run on)\n",
                     path, h.step, last_step, parameter_file);
        return checkpoint_verdict::finished;
    }
    *step = h.step;
    return checkpoint_verdict::resume;
}
