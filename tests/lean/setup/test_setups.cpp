// vdwflow's setups as a user poses them: every bad key refused before a file
// is written; walls that conserve mass and reflect exactly; a fluid at rest
// in a box that stays at rest; gravity's momentum; shapes and files as
// initial states; resumed setups bit for bit, changed ones refused.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "checkpoint.h"
#include "test_support.h"

using namespace lean;

using namespace test_support;

namespace {

const std::string kLean = VDWFLOW_PATH;

struct Lattice {
    int nx = 16, ny = 12, niter_cycle = 20, ncycles = 2;
    double temperature = 0.9, delta_time = 0.0002, kappa = 0.0001, tau = 0.001;
    std::string extra;  // vdwflow's own keys
};

std::string parameters(const Lattice &r)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "-hnodes_x %d\n-hnodes_y %d\n-hniter_cycle %d\n-hncycles %d\n-hlast_iter 0\n"
                  "-hRTzero 1\n-htemperature %.17g\n-hdelta_time %.17g\n-hkappa %.17g\n"
                  "-hrho_zero 1\n-htau %.17g\n",
                  r.nx, r.ny, r.niter_cycle, r.ncycles, r.temperature, r.delta_time, r.kappa,
                  r.tau);
    return text + r.extra + "\n";
}

// A .npy file of doubles or of bytes, shape (ny, nx).
std::string npy(const std::string &descr, int nx, int ny, const void *data, size_t item)
{
    std::string header = "{'descr': '" + descr + "', 'fortran_order': False, 'shape': (" +
                         std::to_string(ny) + ", " + std::to_string(nx) + "), }";
    while ((10 + header.size() + 1) % 64 != 0) header += ' ';
    header += '\n';
    std::string file = std::string("\x93NUMPY\x01\x00", 8);
    file += static_cast<char>(header.size() & 0xFF);
    file += static_cast<char>(header.size() >> 8);
    file += header;
    file.append(static_cast<const char *>(data), item * nx * ny);
    return file;
}

// The planes of a checkpoint: f_0 .. f_8 and the density, nx * ny each.
std::vector<double> checkpoint_planes(const std::string &path, int nx, int ny)
{
    const std::string bytes = read_file(path);
    std::vector<double> planes(static_cast<size_t>(kCheckpointPlanes) * nx * ny);
    EXPECT_EQ(bytes.size(), kCheckpointHeaderBytes + planes.size() * 8 + 4);
    std::memcpy(planes.data(), bytes.data() + kCheckpointHeaderBytes, planes.size() * 8);
    return planes;
}

// Replaces the planes of a checkpoint, checksum included.
void put_checkpoint_planes(const std::string &path, const std::vector<double> &planes)
{
    std::string bytes = read_file(path);
    std::memcpy(&bytes[kCheckpointHeaderBytes], planes.data(), planes.size() * 8);
    const std::uint32_t crc = crc32_update(0, bytes.data(), bytes.size() - 4);
    std::memcpy(&bytes[bytes.size() - 4], &crc, 4);
    write_file(path, bytes);
}

std::vector<std::string> snapshot_lines(const std::string &out)
{
    std::vector<std::string> found;
    for (const auto &line : lines_of(out))
        if (line.rfind("iter=", 0) == 0) found.push_back(line);
    return found;
}

double total_of(const std::string &line)
{
    return std::stod(line.substr(line.find("ntot=") + 5));
}

TEST(LeanSetup, BadKeysAreRefusedWithOneLineBeforeAnythingIsWritten)
{
    struct Case {
        std::string extra;
        std::string err;  // after "nw2cuda.input: "; a regular expression
    };
    const Case cases[] = {
        {"-hinit_radus 3", "unknown key -hinit_radus \\(did you mean -hinit_radius\\?\\)"},
        {"-hgravity 3", "unknown key -hgravity \\(did you mean -hgravity_x\\?\\)"},
        {"-colour blue", "unknown key -colour \\(vdwflow reads the keys listed in its README\\)"},
        {"-hinit circle", "-hinit circle is not one of noise, slab, drop, bubble, file"},
        {"-hwalls w", "-hwalls w is not one of none, x, y, xy, z, xz, yz, xyz"},
        {"-hwalls xz", "-hwalls xz has no effect along z: the lattice is two-dimensional "
                       "\\(-hnodes_z 1\\)"},
        {"-hgravity_z 1", "-hgravity_z 1 has no effect: the lattice is two-dimensional .*"},
        {"-hnodes_z 0", "-hnodes_z 0 is not a number of nodes of 1 or more"},
        {"-hnodes_z 2.5", "-hnodes_z 2.5 is not a whole number"},
        {"-houtput png", "-houtput png is not one of classic, vti, both"},
        {"-hscheme tvd", "-hscheme tvd is not one of upwind, lax_wendroff"},
        {"-hinit drop", "-hinit drop needs -hinit_radius \\(nodes: the radius\\)"},
        {"-hinit drop -hinit_radius 0", "-hinit_radius 0 is not a positive number of nodes"},
        {"-hinit drop -hinit_radius 6.5",
         "-hinit_radius 6.5: the drop's diameter 13 does not fit the periodic -hnodes_y 12"},
        {"-hinit slab -hinit_radius 8",
         "-hinit_radius 8: the slab's thickness 16 does not fit the periodic -hnodes_x 16"},
        {"-hinit bubble -hinit_radius 3 -hinit_y 12",
         "-hinit_y 12 lies outside the lattice \\(-0.5 to 11.5: .*\\)"},
        {"-hwalls xy -hinit drop -hinit_radius 100",
         "-hinit_radius 100: the drop covers the whole lattice"},
        {"-hinit drop -hinit_radius 3 -hinit_liquid 3.5",
         "-hinit_liquid 3.5 is not a density between 0 and 3 .*"},
        {"-hinit drop -hinit_radius 3 -hinit_width -1",
         "-hinit_width -1 is not a positive number of nodes"},
        {"-hinit noise -hinit_radius 3",
         "-hinit_radius 3 has no effect: it applies to -hinit slab, drop and bubble"},
        {"-hinit_file a.npy", "-hinit_file a.npy has no effect: it applies to -hinit file"},
        {"-hinit file", "-hinit file needs -hinit_file \\(a .npy array or a PV\\*.vtk snapshot\\)"},
        {"-hinit file -hinit_file missing.npy", "-hinit_file missing.npy: No such file or directory"},
        {"-hinit file -hinit_file small.npy", "-hinit_file small.npy: .+"},
        {"-hsolid_file missing.pgm", "-hsolid_file missing.pgm: No such file or directory"},
        {"-hsolid_file all.npy", "-hsolid_file all.npy: every node is solid: no fluid is left"},
        {"-hwall_wetting 1e-3", "-hwall_wetting 1e-3 has no effect: there is no wall .*"},
        {"-hwall_wetting 1e-3 -hwalls x -hgravity_x nan", "-hgravity_x nan is not a finite number"},
        {"-hgravity_y 1e-3abc", "-hgravity_y 1e-3abc is not a number"},
        {"-hgravity_reference mean", "-hgravity_reference mean has no effect: there is no "
                                     "gravity .*"},
        {"-hgravity_x 1 -hgravity_reference -1",
         "-hgravity_reference -1 is neither mean nor a density of 0 or more"},
        // Values the scheme cannot carry: beyond complete wetting no contact
        // angle exists; a force that changes the distributions by more than
        // themselves in a step.
        {"-hwalls y -hwall_wetting 1.0",
         "-hwall_wetting 1: no contact angle exists beyond 0.00\\d+ \\(the liquid wets the wall "
         "completely\\) and -0.00\\d+ \\(the vapour does\\) at -htemperature 0.9 and "
         "-hkappa 0.0001"},
        {"-hwalls y -hwall_wetting -0.01", "-hwall_wetting -0.01: no contact angle exists .*"},
        // A lattice beyond the machine's memory, before the run holds any of it.
        {"-hnodes_z 10000000", "the lattice of 16 x 12 x 10000000 nodes needs at least 968 GB "
                               "of device memory for its state; the device has .* GB free"},
        {"-hgravity_y 1e300",
         "-hgravity_y 1e\\+300: the body force would change the distributions by more than "
         "themselves in one step \\(\\|g\\| dt c / cs\\^2 = .*\\); \\|g\\| must stay below .*"},
    };
    const std::vector<unsigned char> all_solid(16 * 12, 1);
    const std::vector<double> small(4 * 3, 1.0);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.extra);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters({.extra = c.extra}));
        write_file(dir.file("all.npy"), npy("|u1", 16, 12, all_solid.data(), 1));
        write_file(dir.file("small.npy"), npy("<f8", 4, 3, small.data(), 8));
        const auto before = list_dir(dir.path());
        const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(std::regex_match(r.err, std::regex("nw2cuda\\.input: " + c.err + "\n")))
            << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(list_dir(dir.path()), before);
    }
    // Above the critical temperature no two phases coexist: the densities of
    // a shape must be given.
    TempDir dir;
    write_file(dir.file("nw2cuda.input"),
               parameters({.temperature = 1.2, .extra = "-hinit bubble -hinit_radius 3"}));
    const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
    EXPECT_EQ(r.err, "nw2cuda.input: -hinit bubble needs -hinit_liquid and -hinit_vapour at "
                     "-htemperature 1.2: above the critical temperature no two phases coexist\n");
    // There, the ghost densities bound the wetting.
    write_file(dir.file("nw2cuda.input"),
               parameters({.temperature = 1.2, .extra = "-hwalls x -hwall_wetting 5e-3"}));
    EXPECT_TRUE(std::regex_match(run_program(kLean, dir.path(), {}, {}, {"-q"}).err,
                                 std::regex("nw2cuda\\.input: -hwall_wetting 0.005: the ghost "
                                            "densities in the wall, .*; \\|h_w\\| must stay "
                                            "below 0.00427\n")));
}

// vdwflow's file holds its own keys and paths: more pairs and longer tokens
// than the other programs take, within limits of its own.
TEST(LeanSetup, ParameterFileLimits)
{
    TempDir dir;
    std::string path;
    while (path.size() < 4000) path += "folder/";
    path += "start.npy";
    std::string many;
    for (int i = 11; i < 64; i++) many += "-hgravity_x 0\n";  // the first counts
    struct Case {
        std::string extra;
        int status;
        std::string err;
    };
    const Case cases[] = {
        {"-hinit file -hinit_file " + path, 1,
         "nw2cuda.input: -hinit_file " + path + ": No such file or directory\n"},
        {"-hinit_file " + std::string(4096, 'x'), 1,
         "nw2cuda.input: a token is longer than 4095 characters: " + std::string(40, 'x') +
             "...\n"},
        {many, 0, ""},
        {many + "-hgravity_y 0\n", 1, "nw2cuda.input: more than 64 key and value pairs\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.extra.substr(0, 40));
        write_file(dir.file("nw2cuda.input"), parameters({.ncycles = 0, .extra = c.extra}));
        const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, c.err);
    }
}

// At Courant number 1 (c = 1, dt = h) with no force and no relaxation to
// speak of, a step moves every distribution one node along its velocity;
// a distribution that would enter from a solid is the node's own opposite
// one, turned back (the reflected path). Walls on all sides and a solid
// node inside; the distributions set through a crafted checkpoint.
TEST(LeanSetup, AtCourantNumberOneAStepShiftsAndWallsTurnBack)
{
    const int nx = 6, ny = 5, nodes = nx * ny;
    TempDir dir;
    std::vector<unsigned char> solid(nodes, 0);
    solid[2 * nx + 3] = 1;  // node (3, 2)
    write_file(dir.file("mask.npy"), npy("|u1", nx, ny, solid.data(), 1));
    Lattice run{.nx = nx, .ny = ny, .niter_cycle = 1, .ncycles = 0, .temperature = 1.0 / 3.0,
            .delta_time = 0.0078125, .kappa = 0.0, .tau = 1e30,
            .extra = "-hwalls xy -hsolid_file mask.npy"};
    write_file(dir.file("nw2cuda.input"), parameters(run));
    ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);

    // Distributions of random shares of a unit density at every fluid node.
    std::mt19937 random(7);
    std::vector<double> planes(10 * nodes, 0.0);
    for (int p = 0; p < nodes; p++) {
        if (solid[p]) continue;
        double sum = 0.0;
        for (int i = 0; i < 9; i++) sum += planes[i * nodes + p] = 1.0 + random() % 100;
        for (int i = 0; i < 9; i++) planes[i * nodes + p] /= sum;
        planes[9 * nodes + p] = 1.0;
    }
    put_checkpoint_planes(dir.file(CHECKPOINT_FILE), planes);
    run.ncycles = 1;
    write_file(dir.file("nw2cuda.input"), parameters(run));
    const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q", "--resume"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<double> after = checkpoint_planes(dir.file(CHECKPOINT_FILE), nx, ny);

    const int ex[9] = {0, 1, 0, -1, 0, 1, -1, -1, 1}, ey[9] = {0, 0, 1, 0, -1, 1, 1, -1, -1};
    const int opposite[9] = {0, 3, 4, 1, 2, 7, 8, 5, 6};
    const auto is_solid = [&](int x, int y) {
        return x < 0 || x >= nx || y < 0 || y >= ny || solid[y * nx + x];
    };
    for (int y = 0; y < ny; y++)
        for (int x = 0; x < nx; x++)
            for (int i = 0; i < 9; i++) {
                const int p = y * nx + x;
                double expected = 0.0;
                if (!solid[p])
                    expected = is_solid(x - ex[i], y - ey[i])
                                   ? planes[opposite[i] * nodes + p]
                                   : planes[i * nodes + (y - ey[i]) * nx + (x - ex[i])];
                EXPECT_NEAR(after[i * nodes + p], expected, 1e-15)
                    << "f_" << i << " at (" << x << ", " << y << ")";
            }
}

// Momentum of a checkpoint's distributions (the velocity set at c).
std::pair<double, double> momentum(const std::vector<double> &planes, int nodes, double c)
{
    const int ex[9] = {0, 1, 0, -1, 0, 1, -1, -1, 1}, ey[9] = {0, 0, 1, 0, -1, 1, 1, -1, -1};
    double jx = 0.0, jy = 0.0;
    for (int i = 0; i < 9; i++)
        for (int p = 0; p < nodes; p++) {
            jx += planes[i * nodes + p] * ex[i] * c;
            jy += planes[i * nodes + p] * ey[i] * c;
        }
    return {jx, jy};
}

// A uniform fluid at rest in a closed box with an obstacle stays exactly at
// rest; a separating one, with wetting walls, obstacle and gravity, keeps its
// mass as a periodic run does.
TEST(LeanSetup, ClosedBoxesKeepTheirFluidAtRestAndTheirMass)
{
    TempDir dir;
    std::vector<unsigned char> solid(16 * 12, 0);
    for (int y = 4; y < 8; y++) solid[y * 16 + 5] = solid[y * 16 + 6] = 1;
    write_file(dir.file("mask.npy"), npy("|u1", 16, 12, solid.data(), 1));
    const std::string uniform =
        "-hwalls xy -hsolid_file mask.npy -hinit slab -hinit_radius 3 -hinit_liquid 1.2 "
        "-hinit_vapour 1.2";
    write_file(dir.file("nw2cuda.input"), parameters({.ncycles = 3, .extra = uniform}));
    ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = snapshot_lines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto &line : lines) EXPECT_EQ(line.substr(16), lines[0].substr(16));
    const auto planes = checkpoint_planes(dir.file(CHECKPOINT_FILE), 16, 12);
    for (int p = 0; p < 16 * 12; p++)
        EXPECT_DOUBLE_EQ(planes[9 * 16 * 12 + p], solid[p] ? 0.0 : 1.2) << p;
    const auto [jx, jy] = momentum(planes, 16 * 12, 1.0);
    EXPECT_NEAR(jx, 0.0, 1e-13);
    EXPECT_NEAR(jy, 0.0, 1e-13);

    // Mass: the relative change of the total over 600 steps of separation,
    // within the bound of periodic runs (the rounding of the step's single
    // precision quotients: 6e-8 per 15 000 steps).
    for (const char *walls : {"-hwalls y -hwall_wetting 8e-4 -hgravity_y -0.05",
                              "-hwalls xy -hsolid_file mask.npy -hwall_wetting -5e-4 "
                              "-hgravity_x 0.02 -hgravity_y -0.05"}) {
        SCOPED_TRACE(walls);
        write_file(dir.file("nw2cuda.input"),
                   parameters({.niter_cycle = 300, .ncycles = 2, .extra = walls}));
        r = run_program(kLean, dir.path(), {}, {}, {"-q"});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto totals = snapshot_lines(r.out);
        const double first = total_of(totals.front()), last = total_of(totals.back());
        EXPECT_LT(std::fabs(last / first - 1.0), 6e-8 * 600 / 15000);
    }
}

// In a periodic box gravity accelerates the whole fluid at g: its momentum
// after N steps is N dt g M. Against the mean density (a box whose weight is
// carried), it stays at rest as a whole.
TEST(LeanSetup, GravityAcceleratesAPeriodicFluidUnlessItsMeanWeightIsCarried)
{
    TempDir dir;
    const double c = std::sqrt(3.0 * 0.9), g = 0.5, steps = 200, dt = 0.0002;
    for (const bool carried : {false, true}) {
        SCOPED_TRACE(carried);
        const std::string extra = std::string("-hgravity_y -0.5") +
                                  (carried ? " -hgravity_reference mean" : "");
        write_file(dir.file("nw2cuda.input"),
                   parameters({.niter_cycle = 100, .extra = extra}));
        const ProcessResult r = run_program(kLean, dir.path(), {}, {}, {"-q"});
        ASSERT_EQ(r.status, 0) << r.err;
        const auto planes = checkpoint_planes(dir.file(CHECKPOINT_FILE), 16, 12);
        const auto [jx, jy] = momentum(planes, 16 * 12, c);
        const double mass = total_of(snapshot_lines(r.out).back());
        EXPECT_NEAR(jx, 0.0, 1e-8);
        if (carried)
            EXPECT_NEAR(jy, 0.0, 1e-8);
        else
            EXPECT_NEAR(jy / (-steps * dt * g * mass), 1.0, 1e-6);
    }
}

// Drops, bubbles and slabs start at the coexisting densities of the run's
// temperature (the equal-area values), joined by a smooth interface; a
// density file is taken as it is.
TEST(LeanSetup, ShapesAndFilesAreTheInitialDensity)
{
    TempDir dir;
    const int nodes = 16 * 12;
    std::vector<double> density(nodes);
    for (int p = 0; p < nodes; p++) density[p] = 0.5 + 0.001 * p;
    write_file(dir.file("start.npy"), npy("<f8", 16, 12, density.data(), 8));
    const double vapour = 0.425742, liquid = 1.657270;  // at T/Tc 0.9
    struct Case {
        std::string extra;
        int centre_x, centre_y;  // a node inside
        double inside, outside;  // density there and at (0, 0)
    };
    const Case cases[] = {
        {"-hinit drop -hinit_radius 4.5 -hinit_width 0.5", 7, 5, liquid, vapour},
        {"-hinit bubble -hinit_radius 4.5 -hinit_x 9 -hinit_y 6 -hinit_width 0.5", 9, 6, vapour,
         liquid},
        {"-hinit slab -hinit_radius 3 -hinit_liquid 1.5 -hinit_vapour 0.5 -hinit_width 0.5", 8,
         0, 1.5, 0.5},
        {"-hwalls y -hinit drop -hinit_radius 5 -hinit_y -0.5 -hinit_width 0.5", 8, 0, liquid,
         vapour},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.extra);
        write_file(dir.file("nw2cuda.input"), parameters({.ncycles = 0, .extra = c.extra}));
        ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);
        const auto planes = checkpoint_planes(dir.file(CHECKPOINT_FILE), 16, 12);
        EXPECT_NEAR(planes[9 * nodes + c.centre_y * 16 + c.centre_x], c.inside, 2e-3);
        EXPECT_NEAR(planes[9 * nodes], c.outside, 2e-3);
        // At rest, at equilibrium: f_i = w_i n.
        EXPECT_EQ(planes[1 * nodes + 17], planes[9 * nodes + 17] * 0.1111111111111111);
    }
    write_file(dir.file("nw2cuda.input"),
               parameters({.ncycles = 0, .extra = "-hinit file -hinit_file start.npy"}));
    ASSERT_EQ(run_program(kLean, dir.path(), {}, {}, {"-q"}).status, 0);
    const auto planes = checkpoint_planes(dir.file(CHECKPOINT_FILE), 16, 12);
    EXPECT_TRUE(std::equal(density.begin(), density.end(), planes.begin() + 9 * nodes));
}

// A run with walls, an obstacle, gravity and .vti output, stopped and
// resumed, leaves the files of a run that never stopped; a resume with a
// changed wall, wetting, obstacle or gravity is refused with the key named.
TEST(LeanSetup, ResumedSetupsAreBitForBitAndChangedOnesAreRefused)
{
    TempDir straight, stopped;
    std::vector<unsigned char> solid(16 * 12, 0);
    solid[5 * 16 + 9] = 1;
    const std::string extra =
        "-hwalls y -hwall_wetting 4e-4 -hsolid_file mask.npy -hgravity_y -0.05 "
        "-hgravity_reference mean -houtput both -hinit drop -hinit_radius 4 -hinit_y 3";
    for (const TempDir *d : {&straight, &stopped})
        write_file(d->file("mask.npy"), npy("|u1", 16, 12, solid.data(), 1));
    write_file(straight.file("nw2cuda.input"), parameters({.ncycles = 3, .extra = extra}));
    write_file(stopped.file("nw2cuda.input"), parameters({.ncycles = 2, .extra = extra}));
    ASSERT_EQ(run_program(kLean, straight.path(), {}, {}, {"-q"}).status, 0);
    ASSERT_EQ(run_program(kLean, stopped.path(), {}, {}, {"-q"}).status, 0);
    write_file(stopped.file("nw2cuda.input"), parameters({.ncycles = 3, .extra = extra}));
    const ProcessResult r = run_program(kLean, stopped.path(), {}, {}, {"-q", "--resume"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto names = list_dir(straight.path());
    EXPECT_EQ(list_dir(stopped.path()), names);
    for (const auto &name : names)
        EXPECT_TRUE(read_file(stopped.file(name)) == read_file(straight.file(name))) << name;

    const std::string refused = "vdwflow: cannot resume from vdwflow.checkpoint: ";
    const std::map<std::string, std::string> changes = {
        {"-hwalls xy", "-hwalls is y there and xy in nw2cuda.input"},
        {"-hwall_wetting 5e-4", "-hwall_wetting is 0.00040000000000000002 there and "
                                "0.00050000000000000001 in nw2cuda.input"},
        {"-hsolid_file other.npy", "its solid nodes are not those of -hsolid_file in "
                                   "nw2cuda.input \\(other.npy\\)"},
        {"-hgravity_y -0.06", "-hgravity_y is -0.050000000000000003 there and "
                              "-0.059999999999999998 in nw2cuda.input"},
        {"-hgravity_reference 1", "-hgravity_reference is mean there and a density in "
                                  "nw2cuda.input"},
    };
    solid[0] = 1;
    write_file(stopped.file("other.npy"), npy("|u1", 16, 12, solid.data(), 1));
    for (const auto &[change, why] : changes) {
        SCOPED_TRACE(change);
        const std::string key = change.substr(0, change.find(' '));
        const std::regex old(key + " [^ ]+");
        write_file(stopped.file("nw2cuda.input"),
                   parameters({.ncycles = 4, .extra = std::regex_replace(extra, old, change)}));
        const ProcessResult refusal =
            run_program(kLean, stopped.path(), {}, {}, {"-q", "--resume"});
        EXPECT_EQ(refusal.status, 1);
        EXPECT_TRUE(std::regex_match(refusal.err, std::regex(refused + why + "\n")))
            << refusal.err;
    }
}

}  // namespace
