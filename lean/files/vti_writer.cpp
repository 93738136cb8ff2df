// VTK XML image data and ParaView collections.
//
// A .vti file is a short XML header, then the arrays as raw little-endian
// blocks, each behind a 64-bit byte count, then the closing tags. The scalar
// arrays go out straight from the caller's memory in one write each; the
// velocity is interleaved (x, y, z or 0) through a buffer, a chunk of nodes
// at a time, so that a snapshot of millions of nodes takes a few big writes.
// A field left null (velocity, pressure, solid) is left out of the file; a
// lattice without nodes, no density or part of a velocity without x and y is
// refused (EINVAL), a lattice whose file would outgrow 64-bit offsets EFBIG,
// before anything is written.
#include "vti_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vti {

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Nodes per chunk of the interleaved velocity: 1.5 MiB of output.
constexpr std::size_t kChunkNodes = std::size_t(1) << 16;

// The most nodes of a file: its size, about 41 bytes a node, within an off_t.
constexpr std::uint64_t kMostNodes = std::uint64_t(INT64_MAX) / 64;

// Shortest text that reads back as the same double (locale-independent).
std::string number(double v)
{
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

// Writes all of `size` bytes; the errno of a failure, else 0.
int write_all(int fd, const void *data, std::size_t size)
{
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Stores v little-endian at out.
template <typename T>
void put_le(unsigned char *out, T v)
{
    static_assert(sizeof(T) == 8);
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    for (int i = 0; i < 8; i++)
        out[i] = static_cast<unsigned char>(bits >> (8 * i));
}

// One block of appended data: its byte count, then the values.
class block_writer {
public:
    explicit block_writer(int fd) : fd_(fd) {}
    int error() const { return error_; }

    void count(std::uint64_t bytes)
    {
        unsigned char header[8];
        put_le(header, bytes);
        write(header, sizeof header);
    }

    void bytes(const void *data, std::size_t size) { write(data, size); }

    // n doubles, little-endian.
    void doubles(const double *v, std::size_t n)
    {
        if (kLittleEndian) {
            write(v, n * sizeof(double));
            return;
        }
        for (std::size_t start = 0; start < n && error_ == 0; start += 3 * kChunkNodes) {
            const std::size_t m = std::min(n - start, 3 * kChunkNodes);
            for (std::size_t i = 0; i < m; i++)
                put_le(buffer() + 8 * i, v[start + i]);
            write(buffer(), 8 * m);
        }
    }

    // n points (vx, vy, vz), little-endian; vz null: 0.
    void vectors(const double *vx, const double *vy, const double *vz, std::size_t n)
    {
        for (std::size_t start = 0; start < n && error_ == 0; start += kChunkNodes) {
            const std::size_t m = std::min(n - start, kChunkNodes);
            if (kLittleEndian) {
                double *out = reinterpret_cast<double *>(buffer());
                for (std::size_t i = 0; i < m; i++) {
                    out[3 * i] = vx[start + i];
                    out[3 * i + 1] = vy[start + i];
                    out[3 * i + 2] = vz ? vz[start + i] : 0.0;
                }
            } else {
                unsigned char *out = buffer();
                for (std::size_t i = 0; i < m; i++) {
                    put_le(out + 24 * i, vx[start + i]);
                    put_le(out + 24 * i + 8, vy[start + i]);
                    put_le(out + 24 * i + 16, vz ? vz[start + i] : 0.0);
                }
            }
            write(buffer(), 24 * m);
        }
    }

private:
    unsigned char *buffer()
    {
        if (!buffer_)
            buffer_.reset(new double[3 * kChunkNodes]);
        return reinterpret_cast<unsigned char *>(buffer_.get());
    }

    void write(const void *data, std::size_t size)
    {
        if (error_ == 0)
            error_ = write_all(fd_, data, size);
    }

    int fd_;
    int error_ = 0;
    std::unique_ptr<double[]> buffer_;
};

// Escapes a file name for an XML attribute value. False for characters XML
// cannot carry at all (control characters other than tab, newline, return).
bool escape(const std::string &text, std::string &out)
{
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\t': out += "&#9;"; break;
        case '\n': out += "&#10;"; break;
        case '\r': out += "&#13;"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
                return false;
            out += c;
        }
    }
    return true;
}

}  // namespace

int layout_of(const fields &f, int step, double time, layout &out)
{
    const bool velocity = f.velocity_x || f.velocity_y || f.velocity_z;
    if (f.nx < 1 || f.ny < 1 || f.nz < 1 || !f.density ||
        (velocity && !(f.velocity_x && f.velocity_y)))
        return EINVAL;
    // Of three positive ints, nx * ny is below 2^62.
    const std::uint64_t layer = std::uint64_t(f.nx) * std::uint64_t(f.ny);
    if (layer > kMostNodes / std::uint64_t(f.nz))
        return EFBIG;
    const std::uint64_t n = layer * std::uint64_t(f.nz);
    out = layout();
    out.nodes = n;

    struct array {
        const char *name, *type;
        int components;
        int bytes_per_node;
    };
    array arrays[4];
    int count = 0;
    arrays[count++] = {"density", "Float64", 1, 8};
    if (velocity)
        arrays[count++] = {"velocity", "Float64", 3, 24};
    if (f.pressure)
        arrays[count++] = {"pressure", "Float64", 1, 8};
    if (f.solid)
        arrays[count++] = {"solid", "UInt8", 1, 1};

    const std::string extent = "0 " + std::to_string(f.nx - 1) + " 0 " +
                               std::to_string(f.ny - 1) + " 0 " + std::to_string(f.nz - 1);
    const std::string h = number(f.spacing);
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"ImageData\" version=\"1.0\" byte_order=\"LittleEndian\" "
        "header_type=\"UInt64\">\n"
        "  <ImageData WholeExtent=\"" + extent + "\" Origin=\"0 0 0\" Spacing=\"" + h + " " + h +
        " " + h + "\">\n"
        "    <FieldData>\n"
        "      <DataArray type=\"Float64\" Name=\"TimeValue\" NumberOfTuples=\"1\" "
        "format=\"ascii\">" + number(time) + "</DataArray>\n"
        "      <DataArray type=\"Int32\" Name=\"step\" NumberOfTuples=\"1\" "
        "format=\"ascii\">" + std::to_string(step) + "</DataArray>\n"
        "    </FieldData>\n"
        "    <Piece Extent=\"" + extent + "\">\n"
        "      <PointData Scalars=\"density\"" + (velocity ? " Vectors=\"velocity\"" : "") + ">\n";
    std::uint64_t offset = 0;
    for (int a = 0; a < count; a++) {
        xml += std::string("        <DataArray type=\"") + arrays[a].type + "\" Name=\"" +
               arrays[a].name + "\"";
        if (arrays[a].components != 1)
            xml += " NumberOfComponents=\"" + std::to_string(arrays[a].components) + "\"";
        xml += " format=\"appended\" offset=\"" + std::to_string(offset) + "\"/>\n";
        offset += 8 + arrays[a].bytes_per_node * n;
    }
    xml +=
        "      </PointData>\n"
        "      <CellData/>\n"
        "    </Piece>\n"
        "  </ImageData>\n"
        "  <AppendedData encoding=\"raw\">\n"
        "   _";
    out.head = std::move(xml);
    std::uint64_t at = out.head.size();
    for (int a = 0; a < count; a++) {
        out.arrays.push_back({arrays[a].name, at, arrays[a].bytes_per_node * n});
        at += 8 + arrays[a].bytes_per_node * n;
    }
    out.tail = "\n  </AppendedData>\n</VTKFile>\n";
    out.size = at + out.tail.size();
    return 0;
}

int write_file(const char *path, const fields &f, int step, double time)
{
    layout l;
    const int invalid = layout_of(f, step, time, l);
    if (invalid != 0)
        return invalid;
    const std::uint64_t n = l.nodes;

    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
#ifdef FALLOC_FL_KEEP_SIZE
    // Space reserved at once fills about a quarter faster than space found
    // page by page (ext4). The size still grows only with what is written, so
    // an unfinished file stays recognisably short; where the file system
    // cannot reserve, the writes find the space.
    ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(l.size));
#endif
    block_writer out(fd);
    out.bytes(l.head.data(), l.head.size());
    for (const layout::array &a : l.arrays) {
        out.count(a.bytes);
        if (a.name == std::string("density"))
            out.doubles(f.density, n);
        else if (a.name == std::string("velocity"))
            out.vectors(f.velocity_x, f.velocity_y, f.velocity_z, n);
        else if (a.name == std::string("pressure"))
            out.doubles(f.pressure, n);
        else
            out.bytes(f.solid, n);
    }
    out.bytes(l.tail.data(), l.tail.size());
    int error = out.error();
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

int write_collection(const char *path, const std::vector<entry> &entries)
{
    std::string xml =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
        "  <Collection>\n";
    for (const entry &e : entries) {
        xml += "    <DataSet timestep=\"" + number(e.time) + "\" group=\"\" part=\"0\" file=\"";
        if (!escape(e.file, xml))
            return EINVAL;
        xml += "\"/>\n";
    }
    xml +=
        "  </Collection>\n"
        "</VTKFile>\n";

    const std::string temporary = std::string(path) + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    int error = write_all(fd, xml.data(), xml.size());
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return error;
    }
    // The rename reaches the disk with the folder.
    std::string folder = path;
    const std::size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : slash == 0 ? "/" : folder.substr(0, slash);
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return 0;
}

}  // namespace vti
