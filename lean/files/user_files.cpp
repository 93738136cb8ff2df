// Readers of user files: initial densities (.npy, PV*.vtk snapshots) and
// masks of solid nodes (.npy, PGM).
//
// Each parser first checks the file's description of its array (dtype,
// shape, image size, grid dimensions) against the lattice; only then does it
// allocate, and only the lattice's nx * ny * nz values. The bytes themselves
// have been read by the file readers below, never more than a file for the
// lattice can hold. Numbers the file gives (shape dimensions, counts, header
// lengths) are parsed with overflow checks and compared, never used to size
// anything. On failure the output vector is left empty.
#include "user_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace user_files {

namespace {

constexpr bool kLittleEndian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// ---------------------------------------------------------------------------
// Text of the reasons.

std::string number(double v)
{
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, v);
    return std::string(text, r.ptr);
}

std::string number(std::uint64_t v) { return std::to_string(v); }

std::string bytes_text(std::uint64_t n) { return number(n) + (n == 1 ? " byte" : " bytes"); }

// A piece of the file as it may appear in a one-line reason: printable
// characters only, cut short when long.
std::string shown(std::string_view text)
{
    constexpr std::size_t kLongest = 24;
    std::string out;
    for (std::size_t i = 0; i < text.size() && i < kLongest; i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        out += (c > 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    if (text.size() > kLongest)
        out += "...";
    return out;
}

// "(ix, iy)", or "(ix, iy, iz)" on a lattice of nz > 1.
std::string node_text(int ix, int iy, int iz = 0, int nz = 1)
{
    return "(" + std::to_string(ix) + ", " + std::to_string(iy) +
           (nz > 1 ? ", " + std::to_string(iz) : "") + ")";
}

// "(nodes_y, nodes_x) = (32, 64)", or with nodes_z first for nz > 1.
std::string lattice_shape(int nx, int ny, int nz)
{
    if (nz == 1)
        return "(nodes_y, nodes_x) = (" + std::to_string(ny) + ", " + std::to_string(nx) + ")";
    return "(nodes_z, nodes_y, nodes_x) = (" + std::to_string(nz) + ", " + std::to_string(ny) +
           ", " + std::to_string(nx) + ")";
}

// "64 x 32", or "64 x 32 x 16" for nz != 1.
std::string lattice_text(int nx, int ny, int nz)
{
    return std::to_string(nx) + " x " + std::to_string(ny) +
           (nz != 1 ? " x " + std::to_string(nz) : "");
}

// Whether an array's dimensions dims[0..ndim) are the lattice's:
// (nodes_y, nodes_x), or (nodes_z, nodes_y, nodes_x) for nz > 1.
template <typename Dimension>
bool lattice_shaped(const Dimension *dims, std::size_t ndim, int nx, int ny, int nz)
{
    const std::uint64_t lattice[3] = {std::uint64_t(nz), std::uint64_t(ny), std::uint64_t(nx)};
    const std::size_t rank = nz == 1 ? 2 : 3;
    return ndim == rank && std::equal(dims, dims + rank, lattice + 3 - rank);
}

// Why an array of ndim dimensions, the first three spelled in `dims`, does
// not fit: its shape as "(4, 3)" or "(12,)", or "with 4 dimensions" when it
// has more than the lattice.
reason shape_mismatch(const std::string *dims, std::size_t ndim, int nx, int ny, int nz)
{
    std::string text = "with " + std::to_string(ndim) + " dimensions";
    if (ndim <= (nz == 1 ? 2u : 3u)) {
        text = "(";
        for (std::size_t d = 0; d < ndim; d++)
            text += (d ? ", " : "") + dims[d];
        text += ndim == 1 ? ",)" : ")";
    }
    return "shape " + text + " does not match the lattice " + lattice_shape(nx, ny, nz);
}

// Of a lattice of nodes_z > 1, the only file a reader takes.
constexpr char kOnlyNpy[] =
    "a lattice of nodes_z > 1 takes a .npy array of shape (nodes_z, nodes_y, nodes_x)";

// ---------------------------------------------------------------------------
// The lattice.

// The solver never builds a lattice of 2^31 nodes or more.
constexpr std::uint64_t kMostNodes = INT_MAX;

// Of three positive ints, nx * ny is below 2^62 and, when at most
// kMostNodes, times nz below 2^62 again.
reason check_lattice(int nx, int ny, int nz)
{
    if (nx < 1 || ny < 1 || nz < 1)
        return "the lattice of " + lattice_text(nx, ny, nz) + " nodes is empty";
    const std::uint64_t layer = std::uint64_t(nx) * std::uint64_t(ny);
    if (layer > kMostNodes || layer * std::uint64_t(nz) > kMostNodes)
        return "the lattice of " + lattice_text(nx, ny, nz) + " nodes is too large";
    return "";
}

std::size_t node_count(int nx, int ny, int nz)
{
    return std::size_t(nx) * std::size_t(ny) * std::size_t(nz);
}

// ---------------------------------------------------------------------------
// Numbers in text.

// A count the file gives (a dimension, a grey value): decimal digits,
// perhaps behind a minus sign. A negative count, or one beyond 64 bits, reads
// as kUnmatched, larger than any lattice or grey value: the comparison that
// follows rejects it, with the file's own text in the reason.
constexpr std::uint64_t kUnmatched = UINT64_MAX;

bool parse_count(std::string_view text, std::uint64_t &value)
{
    const bool negative = !text.empty() && text[0] == '-';
    if (negative)
        text.remove_prefix(1);
    if (text.empty())
        return false;
    std::uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = static_cast<unsigned>(c - '0');
        v = v > (kUnmatched - digit) / 10 ? kUnmatched : v * 10 + digit;
    }
    value = negative && v != 0 ? kUnmatched : v;
    return true;
}

enum class parsed { number, out_of_range, not_a_number };

// A floating-point number as the C library prints it (also inf and nan),
// the whole of the text, independent of the locale.
parsed parse_double(std::string_view text, double &value)
{
    if (text.size() > 1 && text[0] == '+' && text[1] != '-')
        text.remove_prefix(1);
    const char *end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, value);
    if (r.ptr != end || text.empty())
        return parsed::not_a_number;
    if (r.ec == std::errc::result_out_of_range)
        return parsed::out_of_range;
    return r.ec == std::errc() ? parsed::number : parsed::not_a_number;
}

bool is_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Whitespace-separated words of a text, one after the other.
class words {
public:
    words(const unsigned char *data, std::size_t size, std::size_t pos = 0)
        : data_(data), size_(size), pos_(pos)
    {
    }

    // The next word; empty at the end of the text.
    std::string_view next()
    {
        while (pos_ < size_ && is_space(data_[pos_]))
            pos_++;
        const std::size_t start = pos_;
        while (pos_ < size_ && !is_space(data_[pos_]))
            pos_++;
        return std::string_view(reinterpret_cast<const char *>(data_) + start, pos_ - start);
    }

private:
    const unsigned char *data_;
    std::size_t size_;
    std::size_t pos_;
};

// ---------------------------------------------------------------------------
// Densities.

// Every density finite and strictly between 0 and 3; otherwise the first
// node, in node order, that is not.
reason check_densities(const std::vector<double> &density, int nx, int ny, int nz)
{
    for (std::size_t k = 0; k < density.size(); k++) {
        const double v = density[k];
        if (std::isfinite(v) && v > 0.0 && v < 3.0)
            continue;
        const std::size_t row = k / std::size_t(nx);  // iz * ny + iy
        const std::string where = "value " + number(v) + " at node " +
                                  node_text(static_cast<int>(k % std::size_t(nx)),
                                            static_cast<int>(row % std::size_t(ny)),
                                            static_cast<int>(row / std::size_t(ny)), nz);
        if (!std::isfinite(v))
            return where + " is not a finite number";
        return where + " is not a density between 0 and 3";
    }
    return "";
}

// ---------------------------------------------------------------------------
// NumPy .npy arrays: "\x93NUMPY", the format version (two bytes), the length
// of the header (2 bytes little-endian in version 1, 4 in versions 2 and 3),
// the header (a Python dict literal), then the data.

constexpr char kNpyMagic[] = "\x93NUMPY";
constexpr std::size_t kNpyMagicLength = 6;

bool starts_with(const unsigned char *data, std::size_t size, std::string_view prefix)
{
    return size >= prefix.size() && std::memcmp(data, prefix.data(), prefix.size()) == 0;
}

// An array element type the readers know: b1, u1..u8, i1..i8, f8.
struct dtype {
    char kind = 0;  // 'b', 'u', 'i' or 'f'
    int size = 0;   // bytes
    bool big_endian = false;
};

bool parse_dtype(std::string_view descr, dtype &type)
{
    char order = '=';
    if (!descr.empty() && std::string_view("<>|=").find(descr[0]) != std::string_view::npos) {
        order = descr[0];
        descr.remove_prefix(1);
    }
    static const char *const known[] = {"b1", "u1", "u2", "u4", "u8", "i1",
                                        "i2", "i4", "i8", "f8"};
    if (std::find(std::begin(known), std::end(known), descr) == std::end(known))
        return false;
    type.kind = descr[0];
    type.size = descr[1] - '0';
    // '|' (no byte order) is for one-byte types only; '=' is this machine's.
    if (order == '|' && type.size > 1)
        return false;
    type.big_endian = order == '>' || (order == '=' && !kLittleEndian);
    return true;
}

// The bits of one element, as an unsigned number.
std::uint64_t element_bits(const unsigned char *p, const dtype &type)
{
    std::uint64_t v = 0;
    for (int i = 0; i < type.size; i++) {
        const int shift = 8 * (type.big_endian ? type.size - 1 - i : i);
        v |= std::uint64_t(p[i]) << shift;
    }
    return v;
}

double as_double(std::uint64_t bits)
{
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

// What the header says. Of the shape, the number of dimensions and the first
// three (value and text).
struct npy_header {
    std::string_view descr;
    bool fortran_order = false;
    std::size_t ndim = 0;
    std::uint64_t dims[3] = {0, 0, 0};
    std::string_view dim_text[3];
};

// The header dict: exactly the keys 'descr' (a string), 'fortran_order'
// (True or False) and 'shape' (a tuple of integers), in any order, with any
// whitespace and an optional trailing comma.
class header_parser {
public:
    explicit header_parser(std::string_view text) : text_(text) {}

    reason parse(npy_header &h)
    {
        if (!eat('{'))
            return expected("'{'");
        bool seen[3] = {false, false, false};
        static const std::string_view keys[3] = {"descr", "fortran_order", "shape"};
        while (!eat('}')) {
            std::string_view key;
            if (!string_literal(key))
                return expected("a quoted key or '}'");
            const auto which = static_cast<std::size_t>(std::find(keys, keys + 3, key) - keys);
            if (which == 3)
                return "unexpected key '" + shown(key) + "' in the .npy header";
            if (seen[which])
                return "key '" + shown(key) + "' given twice in the .npy header";
            seen[which] = true;
            if (!eat(':'))
                return expected("':' after the key");
            reason r = which == 0 ? descr(h) : which == 1 ? boolean(h.fortran_order) : shape(h);
            if (!r.empty())
                return r;
            if (!eat(',') && !next_is('}'))
                return expected("',' or '}'");
        }
        skip_space();
        if (pos_ != text_.size())
            return "malformed .npy header: characters after the closing '}'";
        for (int i = 0; i < 3; i++)
            if (!seen[i])
                return "the .npy header lacks the key '" + std::string(keys[i]) + "'";
        return "";
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;

    reason expected(const char *what) const
    {
        return std::string("malformed .npy header: expected ") + what + " at byte " +
               std::to_string(pos_) + " of the header";
    }

    void skip_space()
    {
        while (pos_ < text_.size() && is_space(static_cast<unsigned char>(text_[pos_])))
            pos_++;
    }

    bool next_is(char c)
    {
        skip_space();
        return pos_ < text_.size() && text_[pos_] == c;
    }

    bool eat(char c)
    {
        if (!next_is(c))
            return false;
        pos_++;
        return true;
    }

    // A Python string in single or double quotes, without escapes.
    bool string_literal(std::string_view &out)
    {
        skip_space();
        if (pos_ >= text_.size() || (text_[pos_] != '\'' && text_[pos_] != '"'))
            return false;
        const char quote = text_[pos_];
        const std::size_t end = text_.find(quote, pos_ + 1);
        if (end == std::string_view::npos)
            return false;
        out = text_.substr(pos_ + 1, end - pos_ - 1);
        if (out.find_first_of("\\\n") != std::string_view::npos)
            return false;
        pos_ = end + 1;
        return true;
    }

    // A word of letters, digits, '_' and '-' (True, False, an integer).
    std::string_view word()
    {
        skip_space();
        const std::size_t start = pos_;
        while (pos_ < text_.size() &&
               (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_' ||
                text_[pos_] == '-'))
            pos_++;
        return text_.substr(start, pos_ - start);
    }

    reason descr(npy_header &h)
    {
        if (!string_literal(h.descr))
            return "descr is not a plain type string such as '<f8' (structured arrays are not "
                   "read)";
        return "";
    }

    reason boolean(bool &value)
    {
        const std::string_view w = word();
        if (w != "True" && w != "False")
            return "fortran_order '" + shown(w) + "' is neither True nor False";
        value = w == "True";
        return "";
    }

    reason shape(npy_header &h)
    {
        if (!eat('('))
            return expected("'(' of the shape");
        while (!eat(')')) {
            std::string_view w = word();
            std::string_view digits = w;
            // Files written by Python 2 may spell long integers 32L.
            if (!digits.empty() && (digits.back() == 'L' || digits.back() == 'l'))
                digits.remove_suffix(1);
            std::uint64_t value;
            if (!parse_count(digits, value))
                return "shape dimension '" + shown(w) + "' is not an integer";
            if (h.ndim < 3) {
                h.dims[h.ndim] = value;
                h.dim_text[h.ndim] = digits;
            }
            h.ndim++;
            if (!eat(',') && !next_is(')'))
                return expected("',' or ')' in the shape");
        }
        return "";
    }
};

// A .npy file's array, its header checked against the lattice and its data
// of exactly the size the header describes.
struct npy_array {
    dtype type;
    bool fortran_order = false;
    const unsigned char *data = nullptr;

    // Where the element of node (ix, iy, iz) starts: the array's index
    // (iz, iy, ix), the last fastest in C order, the first in Fortran order.
    const unsigned char *at(int ix, int iy, int iz, int nx, int ny, int nz) const
    {
        const std::size_t index =
            fortran_order ? (std::size_t(ix) * std::size_t(ny) + iy) * std::size_t(nz) + iz
                          : (std::size_t(iz) * std::size_t(ny) + iy) * std::size_t(nx) + ix;
        return data + index * std::size_t(type.size);
    }
};

// Reads and checks the preamble and header; `accepts` says whether the
// reader takes the header's dtype, `types` names those it takes.
template <typename Accepts>
reason open_npy(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                Accepts accepts, const char *types, npy_array &array)
{
    if (size < kNpyMagicLength + 2)
        return ".npy file truncated in its preamble";
    const int major = data[6];
    const int minor = data[7];
    if (major < 1 || major > 3 || minor != 0)
        return "unsupported .npy format version " + std::to_string(major) + "." +
               std::to_string(minor) + ": expected 1.0, 2.0 or 3.0";
    const std::size_t length_bytes = major == 1 ? 2 : 4;
    const std::size_t preamble = kNpyMagicLength + 2 + length_bytes;
    if (size < preamble)
        return ".npy file truncated in its preamble";
    std::uint64_t header_length = 0;
    for (std::size_t i = 0; i < length_bytes; i++)
        header_length |= std::uint64_t(data[8 + i]) << (8 * i);
    if (header_length > size - preamble)
        return ".npy header of " + bytes_text(header_length) + " runs past the end of the file (" +
               bytes_text(size) + ")";

    npy_header h;
    const std::string_view text(reinterpret_cast<const char *>(data) + preamble,
                                static_cast<std::size_t>(header_length));
    reason r = header_parser(text).parse(h);
    if (!r.empty())
        return r;

    if (!parse_dtype(h.descr, array.type) || !accepts(array.type))
        return "dtype '" + shown(h.descr) + "' is not " + types;
    if (!lattice_shaped(h.dims, h.ndim, nx, ny, nz)) {
        std::string dims[3];
        for (std::size_t d = 0; d < 3; d++)
            dims[d] = shown(h.dim_text[d]);
        return shape_mismatch(dims, h.ndim, nx, ny, nz);
    }

    // The shape is the lattice's: the data size cannot overflow.
    const std::size_t expected = node_count(nx, ny, nz) * std::size_t(array.type.size);
    const std::size_t found = size - preamble - static_cast<std::size_t>(header_length);
    if (found < expected)
        return ".npy data truncated: " + number(std::uint64_t(found)) + " of " +
               bytes_text(expected);
    if (found > expected)
        return "trailing data after the .npy array: " + bytes_text(found - expected);
    array.fortran_order = h.fortran_order;
    array.data = data + preamble + header_length;
    return "";
}

reason npy_density(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                   std::vector<double> &density)
{
    npy_array array;
    const auto float64 = [](const dtype &t) { return t.kind == 'f'; };
    reason r = open_npy(data, size, nx, ny, nz, float64, "float64 ('<f8')", array);
    if (!r.empty())
        return r;
    density.resize(node_count(nx, ny, nz));
    std::size_t k = 0;
    for (int iz = 0; iz < nz; iz++)
        for (int iy = 0; iy < ny; iy++)
            for (int ix = 0; ix < nx; ix++)
                density[k++] =
                    as_double(element_bits(array.at(ix, iy, iz, nx, ny, nz), array.type));
    return "";
}

reason npy_mask(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                std::vector<unsigned char> &solid)
{
    npy_array array;
    const auto any = [](const dtype &) { return true; };
    reason r = open_npy(data, size, nx, ny, nz, any, "bool, an integer type or float64", array);
    if (!r.empty())
        return r;
    solid.resize(node_count(nx, ny, nz));
    std::size_t k = 0;
    for (int iz = 0; iz < nz; iz++) {
        for (int iy = 0; iy < ny; iy++) {
            for (int ix = 0; ix < nx; ix++) {
                const std::uint64_t bits =
                    element_bits(array.at(ix, iy, iz, nx, ny, nz), array.type);
                bool is_solid = bits != 0;
                if (array.type.kind == 'f') {
                    const double v = as_double(bits);
                    if (!std::isfinite(v))
                        return "value " + number(v) + " at node " + node_text(ix, iy, iz, nz) +
                               " is not a finite number";
                    is_solid = v != 0.0;  // -0.0 is fluid too
                }
                solid[k++] = is_solid ? 1 : 0;
            }
        }
    }
    return "";
}

// ---------------------------------------------------------------------------
// Legacy VTK density snapshots, as the solver writes them (PV*.vtk): a
// structured grid whose points run x outer, y inner, so that its dimensions
// read (nodes_y, nodes_x, 1), then the density "rho" in the same order.

// The words the first line starts with; the version number follows.
constexpr std::string_view kVtkFirstLine[] = {"#", "vtk", "DataFile", "Version"};

class vtk_parser {
public:
    vtk_parser(const unsigned char *data, std::size_t size, int nx, int ny)
        : data_(data), size_(size), nx_(nx), ny_(ny), nodes_(node_count(nx, ny, 1)),
          words_(data, size)
    {
    }

    reason parse(std::vector<double> &density)
    {
        reason r = header();
        if (r.empty())
            r = points();
        if (r.empty())
            r = point_data_header();
        if (r.empty())
            r = values(density);
        if (r.empty()) {
            const std::string_view extra = words_.next();
            if (!extra.empty())
                return "unexpected '" + shown(extra) + "' after the " + number(nodes_) +
                       " density values";
        }
        return r;
    }

private:
    const unsigned char *data_;
    std::size_t size_;
    int nx_, ny_;
    std::uint64_t nodes_;
    words words_;

    // Where the line that starts at `from` ends: its newline, or the end.
    std::size_t line_end(std::size_t from) const
    {
        const void *newline = std::memchr(data_ + from, '\n', size_ - from);
        return newline ? std::size_t(static_cast<const unsigned char *>(newline) - data_) : size_;
    }

    reason expect(std::string_view word)
    {
        const std::string_view found = words_.next();
        if (found == word)
            return "";
        return "expected '" + std::string(word) + "' but " +
               (found.empty() ? std::string("the file ends") : "found '" + shown(found) + "'");
    }

    // `keyword` and the count behind it, which must be the lattice's nodes.
    reason node_count_after(std::string_view keyword)
    {
        reason r = expect(keyword);
        if (!r.empty())
            return r;
        const std::string_view text = words_.next();
        if (text.empty())
            return "VTK file truncated after " + std::string(keyword);
        std::uint64_t count;
        if (!parse_count(text, count) || count != nodes_)
            return std::string(keyword) + " '" + shown(text) + "' does not match the lattice's " +
                   number(nodes_) + " nodes";
        return "";
    }

    reason data_type()
    {
        const std::string_view type = words_.next();
        if (type != "float" && type != "double")
            return "data type '" + shown(type) + "' is neither float nor double";
        return "";
    }

    // The first two lines (the version line and a title), then the grid.
    reason header()
    {
        const std::size_t first_end = line_end(0);
        words first(data_, first_end);
        for (const std::string_view word : kVtkFirstLine)
            if (first.next() != word)
                return "the first line is not '# vtk DataFile Version ...'";
        if (first_end == size_ || line_end(first_end + 1) == size_)
            return "VTK file truncated in its first two lines";
        words_ = words(data_, size_, line_end(first_end + 1) + 1);

        const std::string_view encoding = words_.next();
        if (encoding != "ASCII")
            return "encoding '" + shown(encoding) + "' is not ASCII";
        reason r = expect("DATASET");
        if (r.empty())
            r = expect("STRUCTURED_GRID");
        if (r.empty())
            r = expect("DIMENSIONS");
        if (!r.empty())
            return r;
        return dimensions();
    }

    reason dimensions()
    {
        std::string_view text[3];
        std::uint64_t dims[3];
        for (int i = 0; i < 3; i++) {
            text[i] = words_.next();
            if (text[i].empty())
                return "VTK file truncated in DIMENSIONS";
            if (!parse_count(text[i], dims[i]))
                return "dimension '" + shown(text[i]) + "' is not an integer";
        }
        if (dims[0] != std::uint64_t(ny_) || dims[1] != std::uint64_t(nx_) || dims[2] != 1)
            return "DIMENSIONS " + shown(text[0]) + " " + shown(text[1]) + " " + shown(text[2]) +
                   " do not match the lattice: expected " + std::to_string(ny_) + " " +
                   std::to_string(nx_) + " 1 (nodes_y nodes_x 1)";
        return "";
    }

    // The points' coordinates: numbers, three per node, not otherwise used.
    reason points()
    {
        reason r = node_count_after("POINTS");
        if (r.empty())
            r = data_type();
        if (!r.empty())
            return r;
        for (std::uint64_t k = 0; k < 3 * nodes_; k++) {
            const std::string_view text = words_.next();
            if (text.empty())
                return "VTK file truncated: it ends in point " + number(k / 3) + " of " +
                       number(nodes_);
            double v;
            if (parse_double(text, v) == parsed::not_a_number)
                return "coordinate '" + shown(text) + "' of point " + number(k / 3) +
                       " is not a number";
        }
        return "";
    }

    reason point_data_header()
    {
        reason r = node_count_after("POINT_DATA");
        if (r.empty())
            r = expect("SCALARS");
        if (r.empty())
            r = expect("rho");
        if (r.empty())
            r = data_type();
        if (!r.empty())
            return r;
        // The number of components is optional and 1.
        std::string_view next = words_.next();
        if (next == "1")
            next = words_.next();
        if (next != "LOOKUP_TABLE")
            return "expected 'LOOKUP_TABLE' (one component of rho) but found '" + shown(next) +
                   "'";
        if (words_.next().empty())
            return "VTK file truncated after LOOKUP_TABLE";
        return "";
    }

    // Value k is node (k / nodes_y, k % nodes_y).
    reason values(std::vector<double> &density)
    {
        density.resize(nodes_);
        for (std::uint64_t k = 0; k < nodes_; k++) {
            const int ix = static_cast<int>(k / std::uint64_t(ny_));
            const int iy = static_cast<int>(k % std::uint64_t(ny_));
            const std::string_view text = words_.next();
            if (text.empty())
                return "VTK file truncated: " + number(k) + " of " + number(nodes_) +
                       " density values";
            double &v = density[std::size_t(iy) * nx_ + ix];
            switch (parse_double(text, v)) {
            case parsed::number:
                break;
            case parsed::out_of_range:
                return "value " + shown(text) + " at node " + node_text(ix, iy) +
                       " is not a density between 0 and 3";
            case parsed::not_a_number:
                return "value '" + shown(text) + "' at node " + node_text(ix, iy) +
                       " is not a number";
            }
        }
        return "";
    }
};

// ---------------------------------------------------------------------------
// PGM images: "P2" (grey values as decimal text) or "P5" (raw, one byte per
// sample, two bytes big-endian when the maximum grey value exceeds 255),
// then width, height and the maximum grey value, with '#' comments between
// them. Rows run from the top of the image down.

class pgm_parser {
public:
    pgm_parser(const unsigned char *data, std::size_t size, int nx, int ny)
        : data_(data), size_(size), nx_(nx), ny_(ny)
    {
    }

    reason parse(std::vector<unsigned char> &solid)
    {
        const bool plain = data_[1] == '2';
        pos_ = 2;
        std::uint64_t width, height;
        std::string_view width_text, height_text, maxval_text;
        reason r = header_number("image width", width_text, width);
        if (r.empty())
            r = header_number("image height", height_text, height);
        if (r.empty())
            r = header_number("maximum grey value", maxval_text, maxval_);
        if (!r.empty())
            return r;
        if (width != std::uint64_t(nx_) || height != std::uint64_t(ny_))
            return "image of " + shown(width_text) + " x " + shown(height_text) +
                   " pixels does not match the lattice: expected " + std::to_string(nx_) +
                   " x " + std::to_string(ny_) + " (nodes_x x nodes_y)";
        if (maxval_ < 1 || maxval_ > 65535)
            return "maximum grey value " + shown(maxval_text) + " is outside 1..65535";
        // One whitespace character ends the header.
        if (pos_ >= size_ || !is_space(data_[pos_]))
            return "expected whitespace after the maximum grey value";
        pos_++;
        solid.resize(node_count(nx_, ny_, 1));
        return plain ? plain_raster(solid) : raw_raster(solid);
    }

private:
    const unsigned char *data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    int nx_, ny_;
    std::uint64_t maxval_ = 0;

    // A number of the header, after whitespace and comments.
    reason header_number(const char *what, std::string_view &text, std::uint64_t &value)
    {
        for (;;) {
            while (pos_ < size_ && is_space(data_[pos_]))
                pos_++;
            if (pos_ >= size_ || data_[pos_] != '#')
                break;
            while (pos_ < size_ && data_[pos_] != '\n' && data_[pos_] != '\r')
                pos_++;
        }
        const std::size_t start = pos_;
        while (pos_ < size_ && !is_space(data_[pos_]) && data_[pos_] != '#')
            pos_++;
        text = std::string_view(reinterpret_cast<const char *>(data_) + start, pos_ - start);
        if (text.empty())
            return std::string("PGM header truncated before the ") + what;
        if (!parse_count(text, value))
            return std::string(what) + " '" + shown(text) + "' is not a number";
        return "";
    }

    // Sets the node of pixel k (raster order) from its grey value: darker
    // than half the maximum is solid. `text` spells the value for a reason.
    template <typename Text>
    reason store(std::uint64_t k, std::uint64_t grey, Text text,
                 std::vector<unsigned char> &solid) const
    {
        const int column = static_cast<int>(k % std::uint64_t(nx_));
        const int row = static_cast<int>(k / std::uint64_t(nx_));
        if (grey > maxval_)
            return "grey value " + text() + " at pixel (column " + std::to_string(column) +
                   ", row " + std::to_string(row) + ") is outside 0.." + number(maxval_);
        const int iy = ny_ - 1 - row;  // the top row is the top of the lattice
        solid[std::size_t(iy) * nx_ + column] = 2 * grey < maxval_ + 1 ? 1 : 0;
        return "";
    }

    reason plain_raster(std::vector<unsigned char> &solid)
    {
        words raster(data_, size_, pos_);
        const std::uint64_t pixels = solid.size();
        for (std::uint64_t k = 0; k < pixels; k++) {
            const std::string_view text = raster.next();
            if (text.empty())
                return "PGM raster truncated: " + number(k) + " of " + number(pixels) +
                       " grey values";
            std::uint64_t grey;
            if (!parse_count(text, grey))
                return "grey value '" + shown(text) + "' is not a number";
            reason r = store(k, grey, [&] { return shown(text); }, solid);
            if (!r.empty())
                return r;
        }
        const std::string_view extra = raster.next();
        if (!extra.empty())
            return "unexpected '" + shown(extra) + "' after the " + number(pixels) +
                   " grey values";
        return "";
    }

    reason raw_raster(std::vector<unsigned char> &solid)
    {
        const std::size_t sample = maxval_ > 255 ? 2 : 1;
        const std::size_t expected = solid.size() * sample;
        const std::size_t found = size_ - pos_;
        if (found < expected)
            return "PGM raster truncated: " + number(std::uint64_t(found)) + " of " +
                   bytes_text(expected);
        if (found > expected)
            return "trailing data after the PGM raster: " + bytes_text(found - expected);
        for (std::size_t k = 0; k < solid.size(); k++) {
            const unsigned char *p = data_ + pos_ + k * sample;
            const std::uint64_t grey = sample == 2 ? (std::uint64_t(p[0]) << 8) | p[1] : p[0];
            reason r = store(k, grey, [&] { return number(grey); }, solid);
            if (!r.empty())
                return r;
        }
        return "";
    }
};

bool is_pgm(const unsigned char *data, std::size_t size)
{
    return size >= 3 && data[0] == 'P' && (data[1] == '2' || data[1] == '5') &&
           is_space(data[2]);
}

// ---------------------------------------------------------------------------
// Files.

// Room for a file's header: a .npy header (numpy writes a few hundred bytes),
// the lines of a VTK file before its values, a PGM header with comments.
constexpr std::uint64_t kHeaderRoom = 64 * 1024;

// Bytes per node a file may take beyond its header: 8 for a float64 .npy
// array (the widest element); for an ASCII VTK snapshot, a point line of
// three numbers and a value line (about 50 characters as the solver writes
// them) with ample room for other spacing; for a plain PGM a grey value of
// up to five digits and its whitespace. A lattice of nz > 1 takes only .npy.
constexpr std::uint64_t kNpyBytesPerNode = 8;
constexpr std::uint64_t kVtkBytesPerNode = 128;
constexpr std::uint64_t kPlainPgmBytesPerNode = 16;

// Reads the whole of a regular file of at most `limit` bytes into `bytes`.
reason read_bounded(const char *path, std::uint64_t limit, int nx, int ny, int nz,
                    std::vector<unsigned char> &bytes)
{
    // Not blocking: a FIFO must not keep the open waiting for a writer.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return std::strerror(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int error = errno;
        ::close(fd);
        return std::strerror(error);
    }
    reason r;
    const std::string too_large = "larger than a file for a " + lattice_text(nx, ny, nz) +
                                  " lattice can be (at most " + number(limit) + " bytes)";
    if (S_ISDIR(st.st_mode))
        r = "is a directory";
    else if (!S_ISREG(st.st_mode))
        r = "is not a regular file";
    else if (std::uint64_t(st.st_size) > limit)
        r = too_large;
    if (!r.empty()) {
        ::close(fd);
        return r;
    }

    // One byte more than the limit tells a file that grew meanwhile.
    bytes.assign(static_cast<std::size_t>(st.st_size) + 1, 0);
    std::size_t used = 0;
    for (;;) {
        if (used == bytes.size()) {
            if (used > limit)
                break;
            bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(limit + 1, 2 * used)));
        }
        const ssize_t n = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            r = std::strerror(errno);
            break;
        }
        if (n == 0)
            break;
        used += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (r.empty() && used > limit)
        r = too_large;
    if (!r.empty()) {
        bytes.clear();
        return r;
    }
    bytes.resize(used);
    return "";
}

}  // namespace

reason parse_density(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                     std::vector<double> &density)
{
    density.clear();
    reason r = check_lattice(nx, ny, nz);
    if (!r.empty())
        return r;
    if (starts_with(data, size, std::string_view(kNpyMagic, kNpyMagicLength)))
        r = npy_density(data, size, nx, ny, nz, density);
    else if (size > 0 && data[0] == '#')
        r = nz == 1 ? vtk_parser(data, size, nx, ny).parse(density)
                    : std::string("a VTK snapshot is two-dimensional: ") + kOnlyNpy;
    else
        r = nz == 1 ? "neither a .npy array nor a VTK snapshot" : "not a .npy array";
    if (r.empty())
        r = check_densities(density, nx, ny, nz);
    if (!r.empty())
        density.clear();
    return r;
}

// An array's shape against the lattice: (nodes_y, nodes_x), or
// (nodes_z, nodes_y, nodes_x) for nz > 1.
reason array_shape(const std::vector<std::size_t> &shape, int nx, int ny, int nz)
{
    reason r = check_lattice(nx, ny, nz);
    if (!r.empty() || lattice_shaped(shape.data(), shape.size(), nx, ny, nz))
        return r;
    std::string dims[3];
    for (std::size_t d = 0; d < shape.size() && d < 3; d++)
        dims[d] = std::to_string(shape[d]);
    return shape_mismatch(dims, shape.size(), nx, ny, nz);
}

reason density_array(const std::vector<std::size_t> &shape, const double *values, int nx, int ny,
                     int nz, std::vector<double> &density)
{
    density.clear();
    reason r = array_shape(shape, nx, ny, nz);
    if (!r.empty())
        return r;
    density.assign(values, values + node_count(nx, ny, nz));
    r = check_densities(density, nx, ny, nz);
    if (!r.empty())
        density.clear();
    return r;
}

reason mask_array(const std::vector<std::size_t> &shape, const unsigned char *values, int nx,
                  int ny, int nz, std::vector<unsigned char> &solid)
{
    solid.clear();
    reason r = array_shape(shape, nx, ny, nz);
    if (r.empty())
        for (std::size_t k = 0; k < node_count(nx, ny, nz); k++) solid.push_back(values[k] != 0);
    return r;
}

reason parse_solid_mask(const unsigned char *data, std::size_t size, int nx, int ny, int nz,
                        std::vector<unsigned char> &solid)
{
    solid.clear();
    reason r = check_lattice(nx, ny, nz);
    if (!r.empty())
        return r;
    if (starts_with(data, size, std::string_view(kNpyMagic, kNpyMagicLength)))
        r = npy_mask(data, size, nx, ny, nz, solid);
    else if (is_pgm(data, size))
        r = nz == 1 ? pgm_parser(data, size, nx, ny).parse(solid)
                    : std::string("a PGM image is two-dimensional: ") + kOnlyNpy;
    else if (size >= 2 && data[0] == 'P' && data[1] != 0 && std::strchr("1346", data[1]))
        r = std::string("a P") + static_cast<char>(data[1]) +
            " image, not a grey PGM (P2 or P5)";
    else
        r = nz == 1 ? "neither a .npy array nor a PGM image" : "not a .npy array";
    if (!r.empty())
        solid.clear();
    return r;
}

// A density file is at most an ASCII VTK snapshot of the lattice: the header
// room and 128 bytes a node (a .npy file of the lattice takes 8); of a
// lattice of nz > 1, at most the .npy file.
reason read_density(const char *path, int nx, int ny, int nz, std::vector<double> &density)
{
    density.clear();
    reason r = check_lattice(nx, ny, nz);
    if (!r.empty())
        return r;
    const std::uint64_t per_node = nz == 1 ? std::max(kNpyBytesPerNode, kVtkBytesPerNode)
                                           : kNpyBytesPerNode;
    const std::uint64_t limit = kHeaderRoom + per_node * node_count(nx, ny, nz);
    std::vector<unsigned char> bytes;
    r = read_bounded(path, limit, nx, ny, nz, bytes);
    if (!r.empty())
        return r;
    return parse_density(bytes.data(), bytes.size(), nx, ny, nz, density);
}

// A mask file is at most a plain PGM of the lattice: the header room and 16
// bytes a node (a .npy mask takes at most 8, a raw PGM 2); of a lattice of
// nz > 1, at most the .npy file.
reason read_solid_mask(const char *path, int nx, int ny, int nz, std::vector<unsigned char> &solid)
{
    solid.clear();
    reason r = check_lattice(nx, ny, nz);
    if (!r.empty())
        return r;
    const std::uint64_t per_node = nz == 1 ? std::max(kNpyBytesPerNode, kPlainPgmBytesPerNode)
                                           : kNpyBytesPerNode;
    const std::uint64_t limit = kHeaderRoom + per_node * node_count(nx, ny, nz);
    std::vector<unsigned char> bytes;
    r = read_bounded(path, limit, nx, ny, nz, bytes);
    if (!r.empty())
        return r;
    return parse_solid_mask(bytes.data(), bytes.size(), nx, ny, nz, solid);
}

}  // namespace user_files
