// Snapshot writer: console line, the three file formats, grey values and
// files that cannot be written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "printf_snapshot.h"
#include "snapshot.h"
#include "test_support.h"

using namespace test_support;

namespace {

TEST(GreyValue, ScaleAndLimits)
{
    EXPECT_EQ(grey_value(0.0), 255);
    EXPECT_EQ(grey_value(1.0), 154);
    EXPECT_EQ(grey_value(2.5), 1);
    EXPECT_EQ(grey_value(2.509), 1);
    EXPECT_EQ(grey_value(2.51), 0);  // from 2.5 * 256 / 255 on, black
    EXPECT_EQ(grey_value(2.6), 0);
    EXPECT_EQ(grey_value(1e6), 0);
    EXPECT_EQ(grey_value(-0.5), 255);
    EXPECT_EQ(grey_value(-1e6), 255);
    // Not a number, or scaled beyond the int range: 0.
    EXPECT_EQ(grey_value(std::nan("")), 0);
    EXPECT_EQ(grey_value(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(grey_value(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(grey_value(-1e300), 0);
    EXPECT_EQ(grey_value(1e300), 0);
}

class Snapshot : public ::testing::Test {
protected:
    Snapshot() : cwd_(dir_.path()) {}

    // Runs profile and returns what it printed.
    std::string write(const std::vector<double> &field, int nodes, int nodes_x, int nodes_y,
                      int slot, int iter, double spacing, const char *tag = "_T")
    {
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(profile(tag, field.data(), nodes, nodes_x, nodes_y, slot, iter, 1.0, 0.0,
                          2.0, spacing),
                  1);
        return ::testing::internal::GetCapturedStdout();
    }

    TempDir dir_;
    WorkingDir cwd_;
};

// A 3 x 2 lattice in slot 1 (slot 0 holds other values): v(x, y) rows
// y = 0: 0, 1, 2.5 and y = 1: 2.625, -0.5, 1.25.
const std::vector<double> kSmall = {99, 99, 99, 99, 99, 99, 0.0, 1.0, 2.5, 2.625, -0.5, 1.25};

TEST_F(Snapshot, SmallLatticeByteForByte)
{
    EXPECT_EQ(write(kSmall, 6, 3, 2, 1, 42, 0.25),
              "iter=0000000042  ntot=6.87500000000000000000e+00\n");
    EXPECT_EQ(hntot, 6.875);
    EXPECT_EQ(list_dir(dir_.path()),
              (std::vector<std::string>{"BP_T.000000042", "BV_T.000000042",
                                        "PV_T.000000042.vtk"}));
    // Profile through row nodes_y / 2 = 1, abscissae at cell centres shifted by -1/2.
    EXPECT_EQ(read_file("BP_T.000000042"),
              "  -3.750000e-01    2.625000e+00 \n"
              "  -1.250000e-01   -5.000000e-01 \n"
              "   1.250000e-01    1.250000e+00 \n");
    // Column by column: nodes_y wide, nodes_x high.
    EXPECT_EQ(read_file("BV_T.000000042"), "P2\n   2    3\n255\n 255   0 154 255   1 129\n");
    EXPECT_EQ(read_file("PV_T.000000042.vtk"),
              "# vtk DataFile Version 3.0\n"
              "Output for PARAVIEW\n"
              "ASCII \n"
              "DATASET STRUCTURED_GRID\n"
              "DIMENSIONS 2 3 1\n"
              "POINTS 6 float\n"
              "0.0000e+00 0.0000e+00 0.0000e+00\n"
              "0.0000e+00 2.5000e-01 0.0000e+00\n"
              "2.5000e-01 0.0000e+00 0.0000e+00\n"
              "2.5000e-01 2.5000e-01 0.0000e+00\n"
              "5.0000e-01 0.0000e+00 0.0000e+00\n"
              "5.0000e-01 2.5000e-01 0.0000e+00\n"
              "POINT_DATA 6\n"
              "SCALARS rho float 1 \n"
              "LOOKUP_TABLE default\n"
              "0.0000e+00\n"
              "2.6250e+00\n"
              "1.0000e+00\n"
              "-5.0000e-01\n"
              "2.5000e+00\n"
              "1.2500e+00\n");
}

TEST_F(Snapshot, UniformSquareLatticeOf128)
{
    const int n = 128;
    const std::vector<double> field(n * n, 1.0);
    EXPECT_EQ(write(field, n * n, n, n, 0, 1000, 1.0 / 128, "_X128"),
              "iter=0000001000  ntot=1.63840000000000000000e+04\n");

    const auto profile_lines = lines_of(read_file("BP_X128.000001000"));
    ASSERT_EQ(profile_lines.size(), 128u);
    EXPECT_EQ(profile_lines.front(), "  -4.960938e-01    1.000000e+00 ");
    EXPECT_EQ(profile_lines.back(), "   4.960938e-01    1.000000e+00 ");

    const std::string image = read_file("BV_X128.000001000");
    const auto image_lines = lines_of(image);
    ASSERT_EQ(image_lines.size(), 3u + 1092u + 1u);
    EXPECT_EQ(image_lines[1], " 128  128");
    std::string full_line;
    for (int i = 0; i < 15; i++)
        full_line += " 154";
    EXPECT_EQ(image_lines[3], full_line);
    EXPECT_EQ(image_lines[3 + 1091], full_line);
    EXPECT_EQ(image_lines.back(), " 154 154 154 154");
    EXPECT_EQ(image.back(), '\n');

    EXPECT_EQ(lines_of(read_file("PV_X128.000001000.vtk")).size(), 6u + 16384u + 3u + 16384u);
}

TEST_F(Snapshot, ProfileTakesTheMiddleRowAndImageEndsWithoutEmptyLine)
{
    // 5 x 3 nodes, v(x, y) = y: row 3 / 2 = 1 is the profile; 15 values
    // fill exactly one image line.
    std::vector<double> field(15);
    for (int y = 0; y < 3; y++)
        for (int x = 0; x < 5; x++)
            field[y * 5 + x] = y;
    write(field, 15, 5, 3, 0, 7, 0.5);
    for (const auto &line : lines_of(read_file("BP_T.000000007")))
        EXPECT_EQ(line.substr(16), "   1.000000e+00 ");
    const std::string image = read_file("BV_T.000000007");
    EXPECT_EQ(lines_of(image).size(), 4u);
    EXPECT_NE(image.substr(image.size() - 2), "\n\n");
}

TEST_F(Snapshot, NonFiniteTotalIsReportedToTheCaller)
{
    std::vector<double> field(16, 1.0);
    field[5] = std::nan("");
    write(field, 16, 4, 4, 0, 3, 0.25);
    EXPECT_TRUE(std::isnan(hntot));
    EXPECT_EQ(lines_of(read_file("PV_T.000000003.vtk")).size(), 6u + 16u + 3u + 16u);
}

TEST_F(Snapshot, FileThatCannotBeWrittenCompletelyEndsTheRun)
{
    for (const std::string name : {"BP_T.000000042", "BV_T.000000042", "PV_T.000000042.vtk"}) {
        for (const auto &old : list_dir(dir_.path()))
            std::filesystem::remove(dir_.file(old));
        ASSERT_EQ(symlink("/dev/full", dir_.file(name).c_str()), 0);
        const ProcessResult r = run_in_child([&] {
            profile("_T", kSmall.data(), 6, 3, 2, 1, 42, 1.0, 0.0, 2.0, 0.25);
        });
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "vdwflow: could not write the snapshot file " + name +
                             " completely: No space left on device\n");
    }
}

TEST_F(Snapshot, FileThatCannotBeOpenedIsReportedAsNullPointer)
{
    std::filesystem::create_directory(dir_.file("BV_T.000000042"));
    const ProcessResult r = run_in_child([&] {
        profile("_T", kSmall.data(), 6, 3, 2, 1, 42, 1.0, 0.0, 2.0, 0.25);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "iter=0000000042  ntot=6.87500000000000000000e+00\nError, ptr is NULL\n");
    EXPECT_EQ(r.err, "vdwflow: cannot open BV_T.000000042: Is a directory\n");
    EXPECT_EQ(lines_of(read_file("BP_T.000000042")).size(), 3u);  // written before
}

// The files as the printf-based writer wrote them, byte for byte: a
// non-square lattice of densities with the odd values among them, large
// enough that each file goes out in several chunks.
TEST_F(Snapshot, SameBytesAsThePrintfWriter)
{
    const int nx = 401, ny = 333, nodes = nx * ny;
    std::mt19937_64 random(2026);
    std::uniform_real_distribution<double> rho(0.2, 2.6);
    std::vector<double> field(2 * static_cast<size_t>(nodes), 5.0);
    for (int n = 0; n < nodes; n++)
        field[nodes + n] = rho(random);
    const double odd[] = {0.0, -0.0, -1.5, 9.99995e-01, 2.6, 1e-310, 1e300,
                          std::numeric_limits<double>::max(), std::nan(""), -std::nan(""),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    for (size_t i = 0; i < std::size(odd); i++)
        field[nodes + 7 * nx * static_cast<int>(i) + ny / 2 * nx + static_cast<int>(i)] = odd[i];
    field[nodes + (ny / 2) * nx + 3] = -std::nan("");  // in the profile row

    const std::string console = write(field, nodes, nx, ny, 1, 123, 1.0 / 128, "_new");
    TempDir reference;
    {
        WorkingDir cwd(reference.path());
        ::testing::internal::CaptureStdout();
        printf_profile("_new", field.data(), nodes, nx, ny, 1, 123, 1.0, 0.0, 2.0, 1.0 / 128);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), console);
    }
    const auto names = list_dir(reference.path());
    ASSERT_EQ(list_dir(dir_.path()), names);
    for (const auto &name : names)
        EXPECT_TRUE(read_file(dir_.file(name)) == read_file(reference.file(name))) << name;
}

TEST_F(Snapshot, LabelsBeyondNineDigitsWiden)
{
    write(std::vector<double>(4, 1.0), 4, 2, 2, 0, 1234567890, 0.5);
    EXPECT_EQ(list_dir(dir_.path()),
              (std::vector<std::string>{"BP_T.1234567890", "BV_T.1234567890",
                                        "PV_T.1234567890.vtk"}));
}

}  // namespace
