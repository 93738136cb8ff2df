// Readers of user files: every format on a lattice that is not square (so
// that a swapped axis or a flipped image shows), in two and in three
// dimensions, and hostile files that must end in a reason.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "test_support.h"
#include "user_files.h"

namespace {

using test_support::TempDir;
using test_support::write_file;

// The lattice of these tests: 3 nodes along x, 2 along y, and 1 or (the
// three-dimensional one) 4 along z.
constexpr int kNx = 3;
constexpr int kNy = 2;
constexpr int kNz = 4;

// A density with a distinct value on each node, row-major (iy * nx + ix).
const std::vector<double> kDensity = {1.0, 1.25, 1.5, 1.75, 2.0, 2.25};

// A field of the three-dimensional lattice, node (ix, iy, iz) at
// (iz * ny + iy) * nx + ix.
template <typename T, typename F>
std::vector<T> field3(F value)
{
    std::vector<T> out;
    for (int iz = 0; iz < kNz; iz++)
        for (int iy = 0; iy < kNy; iy++)
            for (int ix = 0; ix < kNx; ix++)
                out.push_back(value(ix, iy, iz));
    return out;
}

// A density distinct on each node, and a mask that changes along each axis.
const std::vector<double> kDensity3 =
    field3<double>([](int ix, int iy, int iz) { return 1.0 + ix / 4.0 + iy / 8.0 + iz / 32.0; });
const std::vector<unsigned char> kSolid3 = field3<unsigned char>(
    [](int ix, int iy, int iz) { return (ix + 2 * iy + iz) % 3 == 0 ? 1 : 0; });

// The nodes (row-major indices) in the order of a .npy array of shape
// (nz, ny, nx), or (ny, nx) for nz = 1: C order runs the last index (x)
// fastest, Fortran order the first.
std::vector<int> npy_order(bool fortran, int nz = 1)
{
    std::vector<int> order;
    const auto node = [&](int ix, int iy, int iz) { order.push_back((iz * kNy + iy) * kNx + ix); };
    for (int outer = 0; outer < (fortran ? kNx : nz); outer++)
        for (int iy = 0; iy < kNy; iy++)
            for (int inner = 0; inner < (fortran ? nz : kNx); inner++)
                fortran ? node(outer, iy, inner) : node(inner, iy, outer);
    return order;
}

std::string little_endian(std::uint64_t v, int bytes)
{
    std::string out;
    for (int i = 0; i < bytes; i++)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
    return out;
}

std::string big_endian(std::uint64_t v, int bytes)
{
    std::string out;
    for (int i = bytes - 1; i >= 0; i--)
        out += static_cast<char>((v >> (8 * i)) & 0xff);
    return out;
}

std::uint64_t bits_of(double v)
{
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

// A .npy file: preamble of the given version, the header as given, padded
// with spaces and a newline, then the data.
std::string npy(const std::string &dict, const std::string &data, int major = 1)
{
    std::string header = dict;
    const std::size_t preamble = major == 1 ? 10 : 12;
    while ((preamble + header.size() + 1) % 64 != 0)
        header += ' ';
    header += '\n';
    std::string out = std::string("\x93NUMPY", 6) + static_cast<char>(major) + '\0';
    out += little_endian(header.size(), major == 1 ? 2 : 4);
    return out + header + data;
}

std::string dict(const std::string &descr, bool fortran, const std::string &shape)
{
    return "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") +
           ", 'shape': " + shape + ", }";
}

// The density's float64 values in C or Fortran order.
std::string f8_data(const std::vector<double> &v, bool fortran, bool big = false, int nz = 1)
{
    std::string out;
    for (const int node : npy_order(fortran, nz)) {
        const std::uint64_t bits = bits_of(v[node]);
        out += big ? big_endian(bits, 8) : little_endian(bits, 8);
    }
    return out;
}

std::string density_npy(const std::vector<double> &v)
{
    return npy(dict("<f8", false, "(2, 3)"), f8_data(v, false));
}

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

// A density snapshot as the solver's writer lays it out: points and values
// x outer, y inner, "%.4e".
std::string vtk(const std::vector<double> &v, int dim_y = kNy, int dim_x = kNx)
{
    char line[128];
    std::string out = "# vtk DataFile Version 3.0\nOutput for PARAVIEW\nASCII \n"
                      "DATASET STRUCTURED_GRID\n";
    std::snprintf(line, sizeof line, "DIMENSIONS %d %d %d\nPOINTS %d float\n", dim_y, dim_x, 1,
                  kNx * kNy);
    out += line;
    for (int x = 0; x < kNx; x++)
        for (int y = 0; y < kNy; y++) {
            std::snprintf(line, sizeof line, "%.4e %.4e %.4e\n", x * 0.5, y * 0.5, 0.0);
            out += line;
        }
    std::snprintf(line, sizeof line, "POINT_DATA %d\nSCALARS rho float 1 \nLOOKUP_TABLE default\n",
                  kNx * kNy);
    out += line;
    for (int x = 0; x < kNx; x++)
        for (int y = 0; y < kNy; y++) {
            std::snprintf(line, sizeof line, "%.4e\n", v[y * kNx + x]);
            out += line;
        }
    return out;
}

// The expected mask: solid at (0, 0) and (2, 1).
const std::vector<unsigned char> kSolid = {1, 0, 0, 0, 0, 1};

// Grey values of that mask as an image: row 0 is the top, y = 1. Values at
// the threshold on either side: 127 is solid, 128 fluid (maxval 255).
const std::vector<int> kGrey = {255, 128, 127, 0, 200, 128};

std::string grey_text(const std::vector<int> &grey)
{
    std::string out;
    for (std::size_t k = 0; k < grey.size(); k++)
        out += std::to_string(grey[k]) + (k % 3 == 2 ? "\n" : "  ");
    return out;
}

// The same image for another maxval: 127 and 128 become the last solid and
// the first fluid grey value, the least g with 2 g >= maxval + 1.
std::vector<int> scaled(const std::vector<int> &grey, int maxval)
{
    const int first_fluid = (maxval + 2) / 2;
    std::vector<int> out;
    for (const int g : grey)
        out.push_back(g == 127 ? first_fluid - 1 : g == 128 ? first_fluid : g * maxval / 255);
    return out;
}

std::string raw_pgm(int maxval, const std::vector<int> &grey)
{
    std::string out = "P5\n3 2\n" + std::to_string(maxval) + "\n";
    for (const int g : grey)
        out += maxval > 255 ? big_endian(static_cast<std::uint64_t>(g), 2)
                            : std::string(1, static_cast<char>(g));
    return out;
}

std::string density_reason(const std::string &file, std::vector<double> &density, int nz = 1)
{
    return user_files::parse_density(reinterpret_cast<const unsigned char *>(file.data()),
                                     file.size(), kNx, kNy, nz, density);
}

std::string mask_reason(const std::string &file, std::vector<unsigned char> &solid, int nz = 1)
{
    return user_files::parse_solid_mask(reinterpret_cast<const unsigned char *>(file.data()),
                                        file.size(), kNx, kNy, nz, solid);
}

struct good_case {
    const char *name;
    std::string file;
    int nz = 1;  // kNz: the three-dimensional lattice
};

TEST(UserFiles, DensityLayoutsAllGiveTheNodeOrder)
{
    const std::string vtk_loose = replaced(replaced(vtk(kDensity), "\n", " \r\n\t"), " ", "  ");
    const good_case cases[] = {
        {"npy v1, C order", density_npy(kDensity)},
        {"npy v2, Fortran order", npy(dict("<f8", true, "(2, 3)"), f8_data(kDensity, true), 2)},
        {"npy v3, big-endian", npy(dict(">f8", false, "(2,3)"), f8_data(kDensity, false, true), 3)},
        {"npy, keys reordered, double quotes, 2L",
         npy("{ \"shape\" : (2L, 3L) ,'fortran_order':False,\n'descr':'f8'}",
             f8_data(kDensity, false))},
        {"vtk as the solver writes it", vtk(kDensity)},
        {"vtk with other whitespace", vtk_loose},
        {"3-d npy, C order",
         npy(dict("<f8", false, "(4, 2, 3)"), f8_data(kDensity3, false, false, kNz)), kNz},
        {"3-d npy v2, Fortran order, big-endian",
         npy(dict(">f8", true, "(4, 2, 3)"), f8_data(kDensity3, true, true, kNz), 2), kNz},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> density;
        EXPECT_EQ(density_reason(c.file, density, c.nz), "");
        EXPECT_EQ(density, c.nz == 1 ? kDensity : kDensity3);
    }
}

TEST(UserFiles, MaskFormatsAllGiveTheNodeOrder)
{
    // Each dtype with a non-zero value of its own for the solid nodes.
    struct npy_type {
        const char *descr;
        int size;
        bool big;
        std::uint64_t one, zero;
    };
    const npy_type types[] = {
        {"|b1", 1, false, 1, 0},
        {"|u1", 1, false, 0xff, 0},
        {"|i1", 1, false, 0x80, 0},
        {"<i2", 2, false, 0xfffe, 0},
        {">u4", 4, true, 0x01000000, 0},
        {"<i8", 8, false, std::uint64_t(1) << 40, 0},
        {"<f8", 8, false, bits_of(0.5), bits_of(-0.0)},  // -0.0 is fluid
    };
    std::vector<good_case> cases;
    for (const auto &t : types) {
        for (const int nz : {1, kNz}) {
            for (const bool fortran : {false, true}) {
                std::string data;
                for (const int node : npy_order(fortran, nz)) {
                    const bool solid = nz == 1 ? kSolid[node] : kSolid3[node];
                    const std::uint64_t v = solid ? t.one : t.zero;
                    data += t.big ? big_endian(v, t.size) : little_endian(v, t.size);
                }
                const char *shape = nz == 1 ? "(2, 3)" : "(4, 2, 3)";
                cases.push_back({t.descr, npy(dict(t.descr, fortran, shape), data), nz});
            }
        }
    }
    cases.push_back({"P2 with comments",
                     "P2\n# drawn by hand\n3 # wide\n  2\n#\n255\n" + grey_text(kGrey)});
    cases.push_back({"P2, maxval 1000", "P2 3 2 1000 " + grey_text(scaled(kGrey, 1000))});
    cases.push_back({"P5, 8 bits", raw_pgm(255, kGrey)});
    cases.push_back({"P5, 16 bits", raw_pgm(65535, scaled(kGrey, 65535))});
    cases.push_back({"P5, maxval 1", "P5 3 2 1\n" + std::string("\1\1\0\0\1\1", 6)});
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.nz == 1 ? "" : ", 3-d"));
        std::vector<unsigned char> solid;
        EXPECT_EQ(mask_reason(c.file, solid, c.nz), "");
        EXPECT_EQ(solid, c.nz == 1 ? kSolid : kSolid3);
    }
}

struct bad_case {
    const char *name;
    std::string file;
    const char *reason;  // a part of the reason
    int nz = 1;
};

std::string with(std::vector<double> v, int k, double value)
{
    v[k] = value;
    return density_npy(v);
}

// What a reader of the three-dimensional lattice says of a file that is not
// a .npy array.
const std::string kOnlyNpy =
    " is two-dimensional: a lattice of nodes_z > 1 takes a .npy array of shape "
    "(nodes_z, nodes_y, nodes_x)";

TEST(UserFiles, BadDensitiesAreRejectedWithAReason)
{
    const std::string data = f8_data(kDensity, false);
    std::string long_header = npy(dict("<f8", false, "(2, 3)"), data, 2);
    long_header.replace(8, 4, little_endian(0xffffffff, 4));
    std::string vtk_binary = vtk(kDensity);
    vtk_binary.replace(vtk_binary.find("ASCII"), 5, "BINARY");
    const std::string vtk_word = replaced(vtk(kDensity), "2.2500e+00", "2.25x");
    const std::string vtk_huge = replaced(vtk(kDensity), "2.2500e+00", "1e999");
    const std::string vtk_points = replaced(vtk(kDensity), "POINTS 6", "POINTS 5");
    const std::string vtk_title_only = "# vtk DataFile Version 3.0\nOutput";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::string data3 = f8_data(kDensity3, false, false, kNz);
    std::vector<double> high = kDensity3;
    high[(2 * kNy + 0) * kNx + 1] = 3.5;
    const std::string high3 = npy(dict("<f8", true, "(4, 2, 3)"), f8_data(high, true, false, kNz));
    const std::string vtk3 = "a VTK snapshot" + kOnlyNpy;

    const bad_case cases[] = {
        {"empty", "", "neither a .npy array nor a VTK snapshot"},
        {"wrong magic", "\x93NUMPZ" + density_npy(kDensity).substr(6), "neither"},
        {"version 4.0", npy(dict("<f8", false, "(2, 3)"), data, 4), "version 4.0"},
        {"float32", npy(dict("<f4", false, "(2, 3)"), data.substr(24)), "dtype '<f4' is not float64"},
        {"int64", npy(dict("<i8", false, "(2, 3)"), data), "dtype '<i8'"},
        {"structured", npy("{'descr': [('a', '<f8')], 'fortran_order': False, 'shape': (2, 3)}", data),
         "structured"},
        {"transposed shape", npy(dict("<f8", false, "(3, 2)"), data),
         "shape (3, 2) does not match the lattice (nodes_y, nodes_x) = (2, 3)"},
        {"1-d shape", npy(dict("<f8", false, "(6,)"), data), "shape (6,) does not match"},
        {"3-d shape", npy(dict("<f8", false, "(2, 3, 1)"), data), "with 3 dimensions"},
        {"negative dim", npy(dict("<f8", false, "(-2, 3)"), data), "shape (-2, 3) does not match"},
        {"huge dim", npy(dict("<f8", false, "(18446744073709551618, 3)"), data), "does not match"},
        {"header length past the end", long_header, "runs past the end"},
        {"missing key", npy("{'descr': '<f8', 'shape': (2, 3)}", data), "lacks the key 'fortran_order'"},
        {"unknown key", npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 3), 'x': 1}", data),
         "unexpected key 'x'"},
        {"key twice", npy("{'descr': '<f8', 'descr': '<f8', 'shape': (2, 3)}", data), "given twice"},
        {"fortran_order 1", npy("{'descr': '<f8', 'fortran_order': 1, 'shape': (2, 3)}", data),
         "neither True nor False"},
        {"unclosed dict", npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2, 3)", data),
         "malformed .npy header"},
        {"truncated data", npy(dict("<f8", false, "(2, 3)"), data.substr(0, 47)),
         "truncated: 47 of 48 bytes"},
        {"trailing data", npy(dict("<f8", false, "(2, 3)"), data + "x"), "trailing data"},
        {"nan", with(kDensity, 1, nan), "value nan at node (1, 0) is not a finite number"},
        {"infinity", with(kDensity, 5, -INFINITY), "value -inf at node (2, 1)"},
        {"3.2", with(kDensity, 4, 3.2), "value 3.2 at node (1, 1) is not a density between 0 and 3"},
        {"zero", with(kDensity, 0, 0.0), "value 0 at node (0, 0)"},
        {"vtk dims in x, y order", vtk(kDensity, kNx, kNy),
         "DIMENSIONS 3 2 1 do not match the lattice: expected 2 3 1"},
        {"vtk binary", vtk_binary, "encoding 'BINARY' is not ASCII"},
        {"vtk POINTS count", vtk_points, "POINTS '5' does not match the lattice's 6 nodes"},
        {"vtk word as value", vtk_word, "value '2.25x' at node (2, 1) is not a number"},
        {"vtk value out of range", vtk_huge, "not a density"},
        {"vtk truncated", vtk(kDensity).substr(0, vtk(kDensity).size() - 11),
         "truncated: 5 of 6 density values"},
        {"vtk trailing garbage", vtk(kDensity) + "SCALARS p float\n", "unexpected 'SCALARS'"},
        {"vtk title only", vtk_title_only, "truncated in its first two lines"},
        {"vtk nan", vtk({1, 1, nan, 1, 1, 1}), "value nan at node (2, 0)"},
        {"2-d array for a 3-d lattice", density_npy(kDensity),
         "shape (2, 3) does not match the lattice (nodes_z, nodes_y, nodes_x) = (4, 2, 3)", kNz},
        {"3-d shape with y and z swapped", npy(dict("<f8", false, "(2, 4, 3)"), data3),
         "shape (2, 4, 3) does not match", kNz},
        {"4-d shape", npy(dict("<f8", false, "(1, 4, 2, 3)"), data3), "with 4 dimensions", kNz},
        {"3-d truncated", npy(dict("<f8", false, "(4, 2, 3)"), data3.substr(1)),
         "truncated: 191 of 192 bytes", kNz},
        {"3-d value out of range", high3, "value 3.5 at node (1, 0, 2) is not a density", kNz},
        {"vtk for a 3-d lattice", vtk(kDensity), vtk3.c_str(), kNz},
        {"neither for a 3-d lattice", "P5 3 2 255\n", "not a .npy array", kNz},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<double> density(3, 1.0);
        const std::string reason = density_reason(c.file, density, c.nz);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos);
        EXPECT_TRUE(density.empty());
    }
}

TEST(UserFiles, BadMasksAreRejectedWithAReason)
{
    const std::string u1(6, '\1');
    const std::string p2 = "P2\n3 2\n255\n" + grey_text(kGrey);
    const std::string nan = little_endian(bits_of(std::nan("")), 8);
    const std::string pgm3 = "a PGM image" + kOnlyNpy;
    const auto zeros = [](int n) { return std::string(8 * std::size_t(n), '\0'); };
    const bad_case cases[] = {
        {"empty", "", "neither a .npy array nor a PGM image"},
        {"colour image", "P6\n3 2\n255\n" + std::string(18, 'x'), "a P6 image, not a grey PGM"},
        {"complex dtype", npy(dict("<c16", false, "(2, 3)"), u1), "dtype '<c16' is not bool"},
        {"two-byte type without order", npy(dict("|u2", false, "(2, 3)"), u1 + u1), "dtype '|u2'"},
        {"transposed shape", npy(dict("|u1", false, "(3, 2)"), u1), "shape (3, 2) does not match"},
        {"short data", npy(dict("<u2", false, "(2, 3)"), u1), "truncated: 6 of 12 bytes"},
        {"float nan", npy(dict("<f8", true, "(2, 3)"), std::string(40, '\0') + nan),
         "value nan at node (2, 1) is not a finite number"},
        {"image transposed", "P2 2 3 255 " + grey_text(kGrey),
         "image of 2 x 3 pixels does not match the lattice: expected 3 x 2"},
        {"negative width", "P5 -3 2 255\n" + u1, "image of -3 x 2 pixels"},
        {"huge height", "P5 3 99999999999999999999999 255\n" + u1, "does not match the lattice"},
        {"maxval 0", "P5 3 2 0\n" + u1, "maximum grey value 0 is outside 1..65535"},
        {"maxval 65536", "P5 3 2 65536\n" + u1 + u1, "outside 1..65535"},
        {"header cut short", "P2\n3 2\n# no maxval\n", "truncated before the maximum grey value"},
        {"width a word", "P2\nthree 2 255\n", "image width 'three' is not a number"},
        {"no whitespace after maxval", "P5 3 2 255#x" + u1, "expected whitespace"},
        {"P5 short raster", "P5 3 2 255\n" + u1.substr(1), "truncated: 5 of 6 bytes"},
        {"P5 trailing data", "P5 3 2 255\n" + u1 + "\n", "trailing data after the PGM raster: 1 byte"},
        {"P5 16-bit value above maxval", "P5 3 2 1000\n" + std::string(10, '\0') + "\x03\xe9",
         "grey value 1001 at pixel (column 2, row 1) is outside 0..1000"},
        {"P2 value above maxval", replaced(p2, "200", "256"), "grey value 256 at pixel (column 1, row 1)"},
        {"P2 short raster", p2.substr(0, p2.size() - 4), "truncated: 5 of 6 grey values"},
        {"P2 trailing garbage", p2 + "7\n", "unexpected '7' after the 6 grey values"},
        {"P2 comment in the raster", replaced(p2, "200", "# 200"), "grey value '#' is not a number"},
        // In Fortran order the second element is node (0, 0, 1).
        {"3-d float nan", npy(dict("<f8", true, "(4, 2, 3)"), zeros(1) + nan + zeros(22)),
         "value nan at node (0, 0, 1) is not a finite number", kNz},
        {"2-d mask for a 3-d lattice", npy(dict("|u1", false, "(2, 3)"), u1),
         "shape (2, 3) does not match the lattice (nodes_z, nodes_y, nodes_x) = (4, 2, 3)", kNz},
        {"PGM for a 3-d lattice", raw_pgm(255, kGrey), pgm3.c_str(), kNz},
        {"plain PGM for a 3-d lattice", p2, pgm3.c_str(), kNz},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<unsigned char> solid(3, 1);
        const std::string reason = mask_reason(c.file, solid, c.nz);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
        EXPECT_TRUE(solid.empty());
    }
}

// The file readers: the system's reasons, and a bound on what they read.
TEST(UserFiles, FileReadersReadBoundedRegularFiles)
{
    TempDir dir;
    const std::string density_file = dir.file("rho.npy");
    write_file(density_file, density_npy(kDensity));
    std::vector<double> density;
    EXPECT_EQ(user_files::read_density(density_file.c_str(), kNx, kNy, 1, density), "");
    EXPECT_EQ(density, kDensity);
    const std::string mask_file = dir.file("mask.pgm");
    write_file(mask_file, raw_pgm(255, kGrey));
    std::vector<unsigned char> solid;
    EXPECT_EQ(user_files::read_solid_mask(mask_file.c_str(), kNx, kNy, 1, solid), "");
    EXPECT_EQ(solid, kSolid);

    const std::string missing = dir.file("missing");
    EXPECT_EQ(user_files::read_density(missing.c_str(), kNx, kNy, 1, density),
              "No such file or directory");
    EXPECT_TRUE(density.empty());
    EXPECT_EQ(user_files::read_solid_mask(dir.path().c_str(), kNx, kNy, 1, solid), "is a directory");
    EXPECT_TRUE(solid.empty());
    EXPECT_EQ(user_files::read_density("/dev/null", kNx, kNy, 1, density), "is not a regular file");

    // 64 KiB of header room and 128 bytes a node for a density (an ASCII
    // snapshot), 16 for a mask (a plain PGM): a byte more is refused unread.
    const std::string big = dir.file("big");
    write_file(big, std::string(65536 + 128 * 6, ' '));
    EXPECT_EQ(user_files::read_density(big.c_str(), kNx, kNy, 1, density),
              "neither a .npy array nor a VTK snapshot");
    write_file(big, std::string(65536 + 128 * 6 + 1, ' '));
    EXPECT_EQ(user_files::read_density(big.c_str(), kNx, kNy, 1, density),
              "larger than a file for a 3 x 2 lattice can be (at most 66304 bytes)");
    write_file(big, std::string(65536 + 16 * 6 + 1, ' '));
    EXPECT_NE(user_files::read_solid_mask(big.c_str(), kNx, kNy, 1, solid).find("larger than"),
              std::string::npos);

    EXPECT_EQ(user_files::read_density(density_file.c_str(), 0, kNy, 1, density),
              "the lattice of 0 x 2 nodes is empty");

    // A lattice of nodes_z > 1 reads .npy only: 8 bytes a node.
    const std::string density3 = dir.file("rho3.npy");
    write_file(density3, npy(dict("<f8", true, "(4, 2, 3)"), f8_data(kDensity3, true, false, kNz)));
    EXPECT_EQ(user_files::read_density(density3.c_str(), kNx, kNy, kNz, density), "");
    EXPECT_EQ(density, kDensity3);
    write_file(big, std::string(65536 + 8 * 24, ' '));
    EXPECT_EQ(user_files::read_solid_mask(big.c_str(), kNx, kNy, kNz, solid), "not a .npy array");
    write_file(big, std::string(65536 + 8 * 24 + 1, ' '));
    EXPECT_EQ(user_files::read_density(big.c_str(), kNx, kNy, kNz, density),
              "larger than a file for a 3 x 2 x 4 lattice can be (at most 65728 bytes)");
}

// Arrays handed over by a program, and lattices the readers refuse before
// they look at the data.
TEST(UserFiles, ArraysAndLatticesAreCheckedAsFilesAre)
{
    struct array_case {
        std::vector<std::size_t> shape;
        int nz;
        const char *shown;  // the shape in the reason; null: taken
    };
    const array_case cases[] = {
        {{2, 3}, 1, nullptr},
        {{4, 2, 3}, kNz, nullptr},
        {{3, 2}, 1, "(3, 2)"},
        {{1, 2, 3}, 1, "with 3 dimensions"},
        {{2, 3}, kNz, "(2, 3)"},
        {{24}, kNz, "(24,)"},
        {{}, kNz, "()"},
        {{3, 2, 4}, kNz, "(3, 2, 4)"},
        {{4, 2, 3, 1}, kNz, "with 4 dimensions"},
    };
    std::vector<double> values = kDensity3;
    std::vector<unsigned char> flags(kSolid3.begin(), kSolid3.end());
    flags[0] = 7;  // any non-zero value is solid
    for (const auto &c : cases) {
        const std::string reason =
            c.shown ? std::string("shape ") + c.shown + " does not match the lattice " +
                          (c.nz == 1 ? "(nodes_y, nodes_x) = (2, 3)"
                                     : "(nodes_z, nodes_y, nodes_x) = (4, 2, 3)")
                    : "";
        SCOPED_TRACE(reason);
        std::vector<double> density(3, 1.0);
        std::vector<unsigned char> solid(3, 1);
        EXPECT_EQ(user_files::density_array(c.shape, values.data(), kNx, kNy, c.nz, density),
                  reason);
        EXPECT_EQ(user_files::mask_array(c.shape, flags.data(), kNx, kNy, c.nz, solid), reason);
        const std::size_t nodes = c.shown ? 0 : std::size_t(kNx) * kNy * c.nz;
        EXPECT_EQ(density, std::vector<double>(values.begin(), values.begin() + nodes));
        EXPECT_EQ(solid, std::vector<unsigned char>(kSolid3.begin(), kSolid3.begin() + nodes));
    }
    values[(3 * kNy + 1) * kNx + 2] = 0.0;
    std::vector<double> density;
    EXPECT_EQ(user_files::density_array({4, 2, 3}, values.data(), kNx, kNy, kNz, density),
              "value 0 at node (2, 1, 3) is not a density between 0 and 3");
    EXPECT_TRUE(density.empty());

    // Counted in 64 bits: 1024 x 1024 x 4096 nodes are 2^32, 0 in 32.
    const struct {
        int nx, ny, nz;
        const char *reason;
    } lattices[] = {
        {3, 2, 0, "the lattice of 3 x 2 x 0 nodes is empty"},
        {3, 2, -1, "the lattice of 3 x 2 x -1 nodes is empty"},
        {1024, 1024, 4096, "the lattice of 1024 x 1024 x 4096 nodes is too large"},
        {INT_MAX, 1, INT_MAX, "is too large"},
        {INT_MAX, INT_MAX, 2, "is too large"},
        {46341, 46341, 1, "the lattice of 46341 x 46341 nodes is too large"},
    };
    for (const auto &l : lattices) {
        SCOPED_TRACE(l.reason);
        std::vector<unsigned char> solid;
        const std::string mask = user_files::parse_solid_mask(nullptr, 0, l.nx, l.ny, l.nz, solid);
        EXPECT_NE(mask.find(l.reason), std::string::npos) << mask;
        const std::string file =
            user_files::read_density("/nonexistent", l.nx, l.ny, l.nz, density);
        EXPECT_NE(file.find(l.reason), std::string::npos) << file;
    }
}

}  // namespace
