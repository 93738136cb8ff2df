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

#include "collective.h"
#include "initial_state.h"
#include "reporters.h"
#include "team.h"

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

// The CRC-32 of a file of which this process holds some pieces (in order
// of their offsets) and the others the rest: of the file with zeros in
// place of the others' bytes. The XOR of every process's is the file's
// (with one more CRC of zeros for an even number of processes: zlib's CRC
// is linear but for a constant of the length).
class spread_crc {
public:
    void add(std::uint64_t offset, const void *data, std::size_t bytes)
    {
        zeros(offset - at_);
        crc_ = crc32_update(crc_, data, bytes);
        at_ = offset + bytes;
    }
    std::uint32_t finish(std::uint64_t length)
    {
        zeros(length - at_);
        return crc_;
    }
    // The CRC of `length` zero bytes.
    static std::uint32_t of_zeros(std::uint64_t length)
    {
        const unsigned char zero = 0;
        std::uint32_t crc = 0, piece = crc32_update(0, &zero, 1);
        for (std::uint64_t bytes = 1; length > 0; length >>= 1, bytes *= 2) {
            if (length & 1) crc = static_cast<std::uint32_t>(crc32_combine(crc, piece, static_cast<z_off_t>(bytes)));
            piece = static_cast<std::uint32_t>(crc32_combine(piece, piece, static_cast<z_off_t>(bytes)));
        }
        return crc;
    }

private:
    void zeros(std::uint64_t length)
    {
        if (length == 0) return;
        if (length != zeros_length_) {
            zeros_length_ = length;
            zeros_crc_ = of_zeros(length);
        }
        crc_ = static_cast<std::uint32_t>(crc32_combine(crc_, zeros_crc_, static_cast<z_off_t>(length)));
        at_ += length;
    }

    std::uint32_t crc_ = 0;
    std::uint64_t at_ = 0;
    std::uint64_t zeros_length_ = 0;
    std::uint32_t zeros_crc_ = 0;
};

// The file's CRC from this process's pieces: the planes of its block (and
// the header, the first process's), `length` bytes in all.
std::uint32_t file_crc(team &t, const block &b, const void *head, std::size_t head_bytes,
                       const double *state, int planes, std::uint64_t length)
{
    spread_crc crc;
    if (t.rank() == 0) crc.add(0, head, head_bytes);
    const std::uint64_t nx = b.nodes[0], ny = b.nodes[1];
    const std::uint64_t plane = nx * ny * b.nodes[2] * sizeof(double);
    const std::size_t row = static_cast<std::size_t>(b.extent[0]) * sizeof(double);
    const char *p = reinterpret_cast<const char *>(state);
    for (int k = 0; k < planes; k++)
        for (int z = 0; z < b.extent[2]; z++)
            for (int y = 0; y < b.extent[1]; y++, p += row)
                crc.add(head_bytes + k * plane +
                            ((static_cast<std::uint64_t>(b.origin[2] + z) * ny + b.origin[1] + y) * nx +
                             b.origin[0]) * sizeof(double),
                        p, row);
    const std::uint32_t mine = crc.finish(length);
    if (t.size() == 1) return mine;
    const std::uint32_t all = t.xor_all(mine);
    return t.size() % 2 == 0 ? all ^ spread_crc::of_zeros(length) : all;
}

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

void write_checkpoint(const std::string &path, const configuration &c, const block &b, team &t,
                      const double *state, int step)
{
    const header h = header_of(c, step);
    const std::string temporary = path + ".tmp";
    const int planes = state_planes(c);
    const std::size_t nodes = b.node_count();
    const std::uint64_t length = sizeof h + planes * plane_bytes(c);
    // Every process its block of each plane, the first the header and the
    // checksum; flushed; any failure anywhere removes the temporary file.
    std::string why;
    const auto keep = [&why](std::string failure) {
        if (why.empty()) why = std::move(failure);
    };
    std::unique_ptr<shared_file> file = t.open_shared(temporary, true, why);
    if (file) {
        if (t.rank() == 0) keep(file->write_at(0, &h, sizeof h));
        for (int k = 0; k < planes; k++)
            keep(file->write_block(sizeof h + k * plane_bytes(c), b, 1, sizeof(double),
                                   state + k * nodes));
        const std::uint32_t crc = file_crc(t, b, &h, sizeof h, state, planes, length);
        if (t.rank() == 0) keep(file->write_at(length, &crc, sizeof crc));
        keep(file->sync());
        keep(file->close());
    }
    const bool failed = t.max_all(why.empty() ? 0 : 1) != 0;
    if (failed && t.rank() == 0) ::unlink(temporary.c_str());
    together(t, [&] {
        if (!why.empty())
            throw error_line(run_failure::file,
                             "vdwflow: could not write the checkpoint file %s completely: %s",
                             temporary.c_str(), why.c_str());
        if (failed || t.rank() != 0) return;
        if (::rename(temporary.c_str(), path.c_str()) != 0) {
            const int error = errno;
            ::unlink(temporary.c_str());
            throw error_line(run_failure::file,
                             "vdwflow: could not write the checkpoint file %s completely: %s",
                             temporary.c_str(), std::strerror(error));
        }
        // The rename itself reaches the disk with the folder.
        const std::size_t slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    });
}

void write_checkpoint(const std::string &path, const configuration &c, const double *state,
                      int step)
{
    team one;
    write_checkpoint(path, c, whole_lattice(c), one, state, step);
}

checkpoint_found read_checkpoint(const std::string &path, configuration &c, const block &b,
                                 team &t, double *state, int last_step)
{
    resumption r(path, c);
    std::string why;
    std::unique_ptr<shared_file> file = t.open_shared(path, false, why);
    if (!file) together(t, [&] { r.refuse_file(why.c_str()); });

    // The header and the size, as every process reads them (the same bytes:
    // the same verdict everywhere).
    header h = {};
    std::size_t header_bytes = 0, data_bytes = 0;
    together(t, [&] {
        std::uint64_t size = 0;
        std::string failure = file->size(size);
        if (!failure.empty()) r.refuse_file(failure.c_str());
        // Version 1 is the first 128 bytes of version 2, with zeros after
        // them standing for none of the setup's keys.
        if (size < kCheckpointV1HeaderBytes)
            r.refuse("truncated: %lld bytes, shorter than the header", static_cast<long long>(size));
        failure = file->read_at(0, &h, kCheckpointV1HeaderBytes);
        if (!failure.empty()) r.refuse_file(failure.c_str());
        if (std::memcmp(h.magic, kMagic, sizeof kMagic) != 0)
            r.refuse("not a vdwflow checkpoint (wrong magic)");
        if (h.byte_order != kByteOrderMark) r.refuse("written on a machine of the other byte order");
        if (h.version < 1 || h.version > kCheckpointVersion)
            r.refuse("format version %u; this program reads versions 1 to %d", h.version,
                     kCheckpointVersion);
        header_bytes = h.version == 1 ? kCheckpointV1HeaderBytes : kCheckpointHeaderBytes;
        if (h.version != 1) {
            if (size < sizeof h) r.refuse("truncated: shorter than the header");
            failure = file->read_at(kCheckpointV1HeaderBytes,
                                    reinterpret_cast<char *>(&h) + kCheckpointV1HeaderBytes,
                                    sizeof h - kCheckpointV1HeaderBytes);
            if (!failure.empty()) r.refuse_file(failure.c_str());
        }
        const settings stored = settings_of(h);
        r.check_keys(stored);
        if (h.planes != state_planes(c))
            r.refuse("%d planes; a checkpoint of this lattice has %d", h.planes, state_planes(c));
        r.check_solid(h.solid_crc);
        r.check_reference(stored, c.keys);

        data_bytes = state_planes(c) * plane_bytes(c);
        const long long expected = static_cast<long long>(header_bytes + data_bytes + 4);
        if (static_cast<long long>(size) != expected)
            r.refuse("%s: %lld bytes, a checkpoint of %s nodes has %lld",
                     static_cast<long long>(size) < expected ? "truncated" : "too long",
                     static_cast<long long>(size), lattice_text(c).c_str(), expected);
    });

    // Every process its block of each plane; the checksum of them all.
    const int planes = state_planes(c);
    const std::size_t nodes = b.node_count();
    const auto keep = [&why](std::string failure) {
        if (why.empty()) why = std::move(failure);
    };
    for (int k = 0; k < planes; k++)
        keep(file->read_block(header_bytes + k * plane_bytes(c), b, 1, sizeof(double),
                              state + k * nodes));
    std::uint32_t stored_crc = 0;
    keep(file->read_at(header_bytes + data_bytes, &stored_crc, sizeof stored_crc));
    const std::uint32_t crc = file_crc(t, b, &h, header_bytes, state, planes, header_bytes + data_bytes);
    keep(file->close());
    together(t, [&] {
        if (!why.empty()) r.refuse("%s", why.c_str());
        if (crc != stored_crc) r.refuse("checksum mismatch: the file is damaged");
    });

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

checkpoint_found read_checkpoint(const std::string &path, configuration &c, double *state,
                                 int last_step)
{
    team one;
    return read_checkpoint(path, c, whole_lattice(c), one, state, last_step);
}

}  // namespace lean
