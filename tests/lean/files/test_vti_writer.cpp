// The .vti writer read back by a small parser of its own (header, offsets,
// byte counts, values bit for bit), a two-dimensional file against the bytes
// the writer has always written, and the .pvd collection.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "vti_writer.h"

namespace {

using test_support::read_file;
using test_support::run_in_child;
using test_support::TempDir;

// Attributes of the first element `tag` at or after `from`.
std::map<std::string, std::string> attributes(const std::string &text, const std::string &tag,
                                              std::size_t from = 0)
{
    const std::size_t start = text.find("<" + tag + " ", from);
    EXPECT_NE(start, std::string::npos) << "no <" << tag << ">";
    if (start == std::string::npos)
        return {};
    const std::string element = text.substr(start, text.find('>', start) - start);
    std::map<std::string, std::string> found;
    // name="value" pairs, separated by blanks
    for (std::size_t eq = element.find("=\""); eq != std::string::npos;
         eq = element.find("=\"", eq + 1)) {
        const std::size_t name = element.rfind(' ', eq) + 1;
        const std::size_t close = element.find('"', eq + 2);
        found[element.substr(name, eq - name)] = element.substr(eq + 2, close - eq - 2);
        eq = close;
    }
    return found;
}

// The text of the element that follows `anchor`: "<tag anchor ...>text</tag>".
std::string text_after(const std::string &file, const std::string &anchor)
{
    const std::size_t at = file.find(anchor);
    EXPECT_NE(at, std::string::npos) << anchor;
    if (at == std::string::npos)
        return "";
    const std::size_t start = file.find('>', at) + 1;
    return file.substr(start, file.find('<', start) - start);
}

struct block {
    std::string type;
    int components = 1;
    std::string values;  // the raw bytes behind the count
};

// The point data of a .vti file: each array's block, found by its offset,
// after checking that the blocks follow each other without a gap and that
// the closing tags follow the last.
std::map<std::string, block> point_data(const std::string &file)
{
    const std::size_t appended = file.find("<AppendedData encoding=\"raw\">");
    const std::size_t base = file.find('_', appended) + 1;
    EXPECT_NE(appended, std::string::npos);
    std::map<std::string, block> arrays;
    std::map<std::uint64_t, std::string> by_offset;
    const std::size_t point_data = file.find("<PointData");
    const std::size_t end = file.find("</PointData>");
    for (std::size_t at = file.find("<DataArray ", point_data); at < end;
         at = file.find("<DataArray ", at + 1)) {
        auto a = attributes(file, "DataArray", at);
        EXPECT_EQ(a["format"], "appended");
        block &b = arrays[a["Name"]];
        b.type = a["type"];
        b.components = a.count("NumberOfComponents") ? std::stoi(a["NumberOfComponents"]) : 1;
        by_offset[std::stoull(a["offset"])] = a["Name"];
    }
    std::uint64_t next = 0;
    for (const auto &[offset, name] : by_offset) {
        EXPECT_EQ(offset, next) << name;
        std::uint64_t bytes = 0;
        EXPECT_LE(base + offset + 8, file.size());
        std::memcpy(&bytes, file.data() + base + offset, 8);  // little-endian host
        EXPECT_LE(base + offset + 8 + bytes, file.size()) << name;
        arrays[name].values = file.substr(base + offset + 8, bytes);
        next = offset + 8 + bytes;
    }
    EXPECT_EQ(file.substr(base + next), "\n  </AppendedData>\n</VTKFile>\n");
    return arrays;
}

std::string bytes_of(const std::vector<double> &v)
{
    return std::string(reinterpret_cast<const char *>(v.data()), v.size() * sizeof(double));
}

// A number written into the header reads back as the same bits.
void expect_same_bits(const std::string &text, double value)
{
    char *end = nullptr;
    const double read = std::strtod(text.c_str(), &end);
    EXPECT_EQ(*end, '\0') << text;
    EXPECT_EQ(std::memcmp(&read, &value, sizeof read), 0) << text;
}

// Fields of a lattice large enough for the velocity to go out in several
// chunks, with the odd values among them; a velocity z on a lattice of
// nz > 1.
struct sample {
    int nx, ny, nz;
    std::vector<double> rho, ux, uy, uz, p;
    std::vector<unsigned char> solid;

    explicit sample(int nx = 301, int ny = 250, int nz = 1) : nx(nx), ny(ny), nz(nz)
    {
        const std::size_t n = static_cast<std::size_t>(nx) * ny * nz;
        std::mt19937_64 random(7);
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        for (auto *v : {&rho, &ux, &uy, &uz, &p}) {
            if (v == &uz && nz == 1)
                continue;
            v->resize(n);
            for (double &x : *v)
                x = u(random);
        }
        const double odd[] = {0.0, -0.0, 1e-310, std::numeric_limits<double>::infinity(),
                              std::nan("7"), -std::nan(""), 0.1};
        for (std::size_t i = 0; i < std::size(odd); i++)
            rho[13 * i] = ux[n - 1 - i] = uy[i] = p[n / 2 + i] = odd[i];
        if (nz > 1)
            std::copy(std::begin(odd), std::end(odd), uz.end() - std::size(odd));
        solid.resize(n);
        for (std::size_t i = 0; i < n; i++)
            solid[i] = (i % 7 == 0 || i % 11 == 3);
    }

    vti::fields fields(bool with_solid) const
    {
        vti::fields f;
        f.nx = nx;
        f.ny = ny;
        f.nz = nz;
        f.spacing = 0.1;
        f.density = rho.data();
        f.velocity_x = ux.data();
        f.velocity_y = uy.data();
        f.velocity_z = nz > 1 ? uz.data() : nullptr;
        f.pressure = p.data();
        f.solid = with_solid ? solid.data() : nullptr;
        return f;
    }
};

TEST(VtiFile, ReadsBackBitForBitWithAndWithoutMaskIn2dAnd3d)
{
    TempDir dir;
    const sample plane, box(41, 37, 50);
    const struct {
        const sample &s;
        bool with_solid;
        const char *extent;
    } cases[] = {
        {plane, false, "0 300 0 249 0 0"},
        {plane, true, "0 300 0 249 0 0"},
        {box, true, "0 40 0 36 0 49"},
    };
    const double time = 3 * 1.2345e-4;
    for (const auto &c : cases) {
        const sample &s = c.s;
        const bool with_solid = c.with_solid;
        SCOPED_TRACE(std::string(c.extent) + (with_solid ? ", with a mask" : ", without a mask"));
        const std::string path = dir.file("PV_T.000001234.vti");
        ASSERT_EQ(vti::write_file(path.c_str(), s.fields(with_solid), 1234, time), 0);
        const std::string file = read_file(path);

        auto top = attributes(file, "VTKFile");
        EXPECT_EQ(top["type"], "ImageData");
        EXPECT_EQ(top["byte_order"], "LittleEndian");
        EXPECT_EQ(top["header_type"], "UInt64");
        auto image = attributes(file, "ImageData");
        EXPECT_EQ(image["WholeExtent"], c.extent);
        EXPECT_EQ(image["Origin"], "0 0 0");
        EXPECT_EQ(image["Spacing"], "0.1 0.1 0.1");
        EXPECT_EQ(attributes(file, "Piece")["Extent"], c.extent);
        auto point_attributes = attributes(file, "PointData");
        EXPECT_EQ(point_attributes["Scalars"], "density");
        EXPECT_EQ(point_attributes["Vectors"], "velocity");

        expect_same_bits(text_after(file, "Name=\"TimeValue\""), time);
        EXPECT_EQ(text_after(file, "Name=\"step\""), "1234");

        auto arrays = point_data(file);
        ASSERT_EQ(arrays.size(), with_solid ? 4u : 3u);
        EXPECT_EQ(arrays["density"].values, bytes_of(s.rho));
        EXPECT_EQ(arrays["pressure"].values, bytes_of(s.p));
        std::vector<double> velocity;
        for (std::size_t i = 0; i < s.rho.size(); i++)
            velocity.insert(velocity.end(), {s.ux[i], s.uy[i], s.nz > 1 ? s.uz[i] : 0.0});
        EXPECT_EQ(arrays["velocity"].components, 3);
        EXPECT_EQ(arrays["velocity"].values, bytes_of(velocity));
        for (const char *name : {"density", "velocity", "pressure"})
            EXPECT_EQ(arrays[name].type, "Float64") << name;
        if (with_solid) {
            EXPECT_EQ(arrays["solid"].type, "UInt8");
            EXPECT_EQ(arrays["solid"].values,
                      std::string(s.solid.begin(), s.solid.end()));
        }
    }
}

TEST(VtiFile, FieldsLeftOutAndFieldsRefused)
{
    TempDir dir;
    const std::vector<double> rho = {1.0, 2.0, 3.0};
    vti::fields f;
    f.nx = 1;
    f.ny = 3;
    f.spacing = 1.0 / 128;
    f.density = rho.data();
    const std::string path = dir.file("a.vti");
    ASSERT_EQ(vti::write_file(path.c_str(), f, -5, 0.0), 0);
    const std::string file = read_file(path);
    EXPECT_EQ(attributes(file, "ImageData")["Spacing"], "0.0078125 0.0078125 0.0078125");
    EXPECT_EQ(file.find("Vectors="), std::string::npos);
    auto arrays = point_data(file);
    ASSERT_EQ(arrays.size(), 1u);
    EXPECT_EQ(arrays["density"].values, bytes_of(rho));

    // No file at all for a field set that cannot make one.
    vti::fields half = f;
    half.velocity_x = rho.data();
    vti::fields z_only = f;
    z_only.velocity_z = rho.data();
    vti::fields empty = f;
    empty.nx = 0;
    vti::fields flat = f;
    flat.nz = 0;
    vti::fields no_density = f;
    no_density.density = nullptr;
    vti::fields huge = f;  // 2^90 nodes, 0 in 64 bits
    huge.nx = huge.ny = huge.nz = 1 << 30;
    const std::pair<vti::fields, int> refused[] = {
        {half, EINVAL}, {z_only, EINVAL}, {empty, EINVAL}, {flat, EINVAL}, {no_density, EINVAL},
        {huge, EFBIG}};
    for (const auto &[bad, error] : refused) {
        const std::string other = dir.file("b.vti");
        EXPECT_EQ(vti::write_file(other.c_str(), bad, 0, 0.0), error);
        EXPECT_FALSE(std::filesystem::exists(other));
    }
}

// Bytes of a hex text.
std::string from_hex(const std::string &hex)
{
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// A two-dimensional snapshot is the file the writer wrote before it knew of
// a third dimension, byte for byte.
TEST(VtiFile, TwoDimensionalFileIsAsItWas)
{
    TempDir dir;
    const std::vector<double> rho = {1.0, 1.25, 1.5, 1.75, 2.0, 2.25};
    const std::vector<double> ux = {0.5, -0.25, 0.0, 0.125, -0.5, 1.0};
    const std::vector<double> uy = {-1.0, 0.75, -0.0, 2.0, 0.25, -0.125};
    const std::vector<double> p = {0.5, 1.25, 2.0, 2.75, 3.5, 4.25};
    const std::vector<unsigned char> solid = {1, 0, 0, 0, 0, 1};
    vti::fields f;
    f.nx = 3;
    f.ny = 2;
    f.spacing = 0.5;
    f.density = rho.data();
    f.velocity_x = ux.data();
    f.velocity_y = uy.data();
    f.pressure = p.data();
    f.solid = solid.data();
    const std::string path = dir.file("PV_T.000000042.vti");
    ASSERT_EQ(vti::write_file(path.c_str(), f, 42, 0.125), 0);
    const std::string header =
        R"(<?xml version="1.0"?>
<VTKFile type="ImageData" version="1.0" byte_order="LittleEndian" header_type="UInt64">
  <ImageData WholeExtent="0 2 0 1 0 0" Origin="0 0 0" Spacing="0.5 0.5 0.5">
    <FieldData>
      <DataArray type="Float64" Name="TimeValue" NumberOfTuples="1" format="ascii">0.125</DataArray>
      <DataArray type="Int32" Name="step" NumberOfTuples="1" format="ascii">42</DataArray>
    </FieldData>
    <Piece Extent="0 2 0 1 0 0">
      <PointData Scalars="density" Vectors="velocity">
        <DataArray type="Float64" Name="density" format="appended" offset="0"/>
        <DataArray type="Float64" Name="velocity" NumberOfComponents="3" format="appended" offset="56"/>
        <DataArray type="Float64" Name="pressure" format="appended" offset="208"/>
        <DataArray type="UInt8" Name="solid" format="appended" offset="264"/>
      </PointData>
      <CellData/>
    </Piece>
  </ImageData>
  <AppendedData encoding="raw">
   _)";
    const std::string appended = from_hex(
        "3000000000000000000000000000f03f000000000000f43f000000000000f83f"
        "000000000000fc3f000000000000004000000000000002409000000000000000"
        "000000000000e03f000000000000f0bf0000000000000000000000000000d0bf"
        "000000000000e83f000000000000000000000000000000000000000000000080"
        "0000000000000000000000000000c03f00000000000000400000000000000000"
        "000000000000e0bf000000000000d03f0000000000000000000000000000f03f"
        "000000000000c0bf00000000000000003000000000000000000000000000e03f"
        "000000000000f43f000000000000004000000000000006400000000000000c40"
        "00000000000011400600000000000000010000000001");
    EXPECT_EQ(read_file(path), header + appended + "\n  </AppendedData>\n</VTKFile>\n");
}

// Ignores SIGXFSZ and limits the size of every file the process writes.
void limit_file_size(rlim_t bytes)
{
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit = {bytes, bytes};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
        _exit(99);
}

TEST(VtiFile, WriteThatDoesNotGoThroughIsReported)
{
    TempDir dir;
    const sample s;
    const std::string path = dir.file("limited.vti");
    ASSERT_EQ(vti::write_file(path.c_str(), s.fields(true), 1, 1.0), 0);
    const rlim_t whole = std::filesystem::file_size(path);
    // Cut in the header, in the first block, in the velocity, one byte short.
    for (const rlim_t limit : {rlim_t(100), rlim_t(5000), whole / 3, whole - 1, whole}) {
        const auto r = run_in_child([&] {
            limit_file_size(limit);
            _exit(vti::write_file(path.c_str(), s.fields(true), 1, 1.0));
        });
        EXPECT_EQ(r.status, limit == whole ? 0 : EFBIG) << "limit " << limit;
    }
    const std::string full = dir.file("full.vti");
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    EXPECT_EQ(vti::write_file(full.c_str(), s.fields(false), 1, 1.0), ENOSPC);
    EXPECT_EQ(vti::write_file(dir.file("no/such/folder.vti").c_str(), s.fields(false), 1, 1.0),
              ENOENT);
}

TEST(PvdCollection, ListsEverySnapshotAndIsReplacedWhole)
{
    TempDir dir;
    const std::string path = dir.file("PV_T.pvd");
    const std::vector<vti::entry> first = {{0.0, "PV_T.000000000.vti"},
                                           {2.5e-1, "PV_T.000002500.vti"}};
    ASSERT_EQ(vti::write_collection(path.c_str(), first), 0);
    const std::string old = read_file(path);
    EXPECT_EQ(old,
              "<?xml version=\"1.0\"?>\n"
              "<VTKFile type=\"Collection\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
              "  <Collection>\n"
              "    <DataSet timestep=\"0\" group=\"\" part=\"0\" file=\"PV_T.000000000.vti\"/>\n"
              "    <DataSet timestep=\"0.25\" group=\"\" part=\"0\" file=\"PV_T.000002500.vti\"/>\n"
              "  </Collection>\n"
              "</VTKFile>\n");

    // Times read back as the same bits; special characters are escaped.
    std::vector<vti::entry> second = first;
    second.push_back({3 * 1.2345e-4, "a&b<c>\"d\"'e'.vti"});
    ASSERT_EQ(vti::write_collection(path.c_str(), second), 0);
    const std::string now = read_file(path);
    const std::string last = "file=\"a&amp;b&lt;c&gt;&quot;d&quot;&apos;e&apos;.vti\"/>";
    ASSERT_NE(now.find(last), std::string::npos) << now;
    const auto entry = attributes(now, "DataSet", now.rfind("<DataSet"));
    expect_same_bits(entry.at("timestep"), second.back().time);
    EXPECT_EQ(test_support::list_dir(dir.path()), std::vector<std::string>{"PV_T.pvd"});

    // A collection that cannot be written whole leaves the one before, and
    // no temporary file.
    const auto r = run_in_child([&] {
        limit_file_size(now.size() - 10);
        std::vector<vti::entry> third = second;
        third.push_back({1.0, "PV_T.000010000.vti"});
        _exit(vti::write_collection(path.c_str(), third));
    });
    EXPECT_EQ(r.status, EFBIG);
    EXPECT_EQ(read_file(path), now);
    EXPECT_EQ(test_support::list_dir(dir.path()), std::vector<std::string>{"PV_T.pvd"});
    EXPECT_EQ(vti::write_collection(path.c_str(), {{0.0, "bell\a.vti"}}), EINVAL);
    EXPECT_EQ(read_file(path), now);
    EXPECT_EQ(vti::write_collection(dir.file("no/such.pvd").c_str(), first), ENOENT);
}

}  // namespace
