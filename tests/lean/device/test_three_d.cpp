// Three dimensions against two: a state that does not vary along z steps as
// the two-dimensional run of the same setup, in every form of the step (the
// stencils and weights of D3Q19 sum over z to those of D2Q9). The runs
// differ by the rounding of regrouped sums, which the single-precision
// quotients of the step can turn into a float's last bit; below the
// spinodal (T/Tc 0.85 here) the noise start's growing modes amplify that
// to about 2e-8 in 2000 steps (the bound: 1e-7).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "initial_state.h"
#include "run.h"
#include "serial_step3.h"

namespace {

struct Case {
    const char *name;
    std::string keys;  // of both runs
    std::string init;  // of the 2-D run (the 3-D one starts from its density)
};

// The 2-D run of the keys, and the 3-D run of the same keys from its initial
// density (and solid nodes) repeated along z, `steps` steps each: the
// largest difference of the densities, relative, over every layer.
double largest_difference(const Case &s, int nz, int steps)
{
    const int nx = 32, ny = 24;
    lean::run two(lean::main_job(nx, ny, s.keys + " " + s.init));
    std::vector<double> start(static_cast<size_t>(nx) * ny);
    two.density(start.data());
    std::vector<double> extruded;
    for (int z = 0; z < nz; z++) extruded.insert(extruded.end(), start.begin(), start.end());
    lean::run_start start3 = lean::main_job(nx, ny, s.keys + " -hnodes_z " + std::to_string(nz));
    start3.density = {extruded.data(), {static_cast<size_t>(nz), size_t(ny), size_t(nx)}};
    std::vector<unsigned char> solid;
    if (!two.config().solid.empty()) {
        for (int z = 0; z < nz; z++)
            solid.insert(solid.end(), two.config().solid.begin(), two.config().solid.end());
        start3.solid = {solid.data(), {static_cast<size_t>(nz), size_t(ny), size_t(nx)}};
    }
    lean::run three(start3);
    two.steps(steps);
    three.steps(steps);
    std::vector<double> n2(start.size()), n3(extruded.size());
    two.density(n2.data());
    three.density(n3.data());
    double largest = 0.0;
    for (size_t p = 0; p < n3.size(); p++) {
        const double a = n2[p % n2.size()], b = n3[p];
        if (!std::isfinite(b)) return INFINITY;
        largest = std::max(largest, a == 0.0 ? std::fabs(b) : std::fabs(b - a) / a);
    }
    return largest;
}

TEST(ThreeDimensions, AStateUniformAlongZStepsAsTheTwoDimensionalRun)
{
    const std::string drop = "-hinit drop -hinit_radius 7", t = "-htemperature 0.85 ";
    const Case setups[] = {
        {"noise", t + "-hdelta_time 2e-4", ""},
        {"drop", t, drop},
        {"drop, lax_wendroff", t + "-hscheme lax_wendroff", drop},
        {"drop on a wetting wall, gravity",
         t + "-hwalls y -hwall_wetting 6e-4 -hgravity_y -0.05", drop + " -hinit_y -0.5"},
        {"walls around, lax_wendroff, gravity against the mean",
         t + "-hwalls xy -hscheme lax_wendroff -hgravity_x 0.03 -hgravity_reference mean", drop},
    };
    for (const Case &s : setups) {
        SCOPED_TRACE(s.name);
        const double d = largest_difference(s, 3, 2000);
        std::printf("%-55s largest relative difference after 2000 steps: %.2e\n", s.name, d);
        EXPECT_LT(d, 1e-7);
    }
}

}  // namespace

namespace {

// The density of a run after `steps` steps, z slowest.
std::vector<double> density_after(const lean::run_start &start, int steps)
{
    lean::run r(start);
    r.steps(steps);
    std::vector<double> n(r.config().node_count());
    r.density(n.data());
    return n;
}

// D3Q19 is the same set with y and z exchanged: a run with walls, gravity
// and a mask along z is the run along y with the lattice's y and z
// exchanged, to the rounding of the stencils' sums (which add x, y, z in
// that order). The z paths of the links, ghosts and images against the y
// ones, for both schemes.
TEST(ThreeDimensions, ExchangingYAndZExchangesTheRun)
{
    const int nx = 20, ny = 16, nz = 12;
    for (const char *scheme : {"upwind", "lax_wendroff"}) {
        SCOPED_TRACE(scheme);
        // A wetting floor with a post on it, a drop, gravity toward it.
        std::vector<unsigned char> solid_y(static_cast<size_t>(nx) * ny * nz, 0),
            solid_z(solid_y.size(), 0);
        for (int z = 0; z < nz; z++)
            for (int y = 0; y < ny; y++)
                for (int x = 0; x < nx; x++) {
                    const bool post = x >= 3 && x < 5 && z >= 4 && z < 7 && y < 5;
                    solid_y[(static_cast<size_t>(z) * ny + y) * nx + x] = post;
                    solid_z[(static_cast<size_t>(y) * nz + z) * nx + x] = post;
                }
        const std::string keys = std::string("-htemperature 0.85 -hwall_wetting 5e-4 -hscheme ") +
                                 scheme + " -hinit drop -hinit_radius 5 -hinit_x 12 ";
        lean::run_start along_y = lean::main_job(
            nx, ny, keys + "-hnodes_z " + std::to_string(nz) +
                        " -hwalls y -hgravity_y -0.05 -hinit_y 3 -hinit_z 6");
        along_y.solid = {solid_y.data(), {size_t(nz), size_t(ny), size_t(nx)}};
        lean::run_start along_z = lean::main_job(
            nx, nz, keys + "-hnodes_z " + std::to_string(ny) +
                        " -hwalls z -hgravity_z -0.05 -hinit_y 6 -hinit_z 3");
        along_z.solid = {solid_z.data(), {size_t(ny), size_t(nz), size_t(nx)}};
        const std::vector<double> a = density_after(along_y, 400), b = density_after(along_z, 400);
        double largest = 0.0;
        for (int z = 0; z < nz; z++)
            for (int y = 0; y < ny; y++)
                for (int x = 0; x < nx; x++) {
                    const double va = a[(static_cast<size_t>(z) * ny + y) * nx + x];
                    const double vb = b[(static_cast<size_t>(y) * nz + z) * nx + x];
                    largest = std::max(largest, va == 0.0 ? std::fabs(vb) : std::fabs(vb - va) / va);
                }
        EXPECT_LT(largest, 1e-8);
    }
}

// A closed box with walls on every side, wetting and gravity keeps its mass
// to the rounding of the single-precision quotients; a uniform fluid at
// rest in a periodic box stays so, without a flow.
TEST(ThreeDimensions, MassIsKeptAndRestStaysRest)
{
    for (const char *scheme : {"upwind", "lax_wendroff"}) {
        SCOPED_TRACE(scheme);
        lean::run closed(lean::main_job(
            16, 14, std::string("-htemperature 0.85 -hnodes_z 12 -hwalls xyz -hwall_wetting 4e-4 ") +
                        "-hgravity_z -0.03 -hinit drop -hinit_radius 4 -hscheme " + scheme));
        const double before = closed.total_density();
        closed.steps(500);
        EXPECT_NEAR(closed.total_density(), before, 1e-8 * before);
    }
    const std::vector<double> uniform(10 * 9 * 8, 1.2);
    lean::run_start start = lean::main_job(10, 9, "-hnodes_z 8");
    start.density = {uniform.data(), {8, 9, 10}};
    lean::run rest(start);
    rest.steps(200);
    std::vector<double> u(3 * uniform.size()), n(uniform.size());
    rest.velocity(u.data());
    rest.density(n.data());
    for (double v : u) EXPECT_EQ(v, 0.0);
    for (double v : n) EXPECT_NEAR(v, 1.2, 1e-14);
}

// The kernel against its plain transcription (the serial loop of the
// benchmark): the same bits, step after step, on a lattice whose rows the
// cpu backend's blocks do not cover exactly.
TEST(ThreeDimensions, TheStepIsItsSerialTranscription)
{
    const int nx = 13, ny = 10, nz = 9;
    lean::run r(lean::main_job(nx, ny, "-hnodes_z 9 -htemperature 0.85 -hdelta_time 2e-4"));
    const lean::configuration &c = r.config();
    serial3::params p{nx, ny, nz, 2, nx + 4, (nx + 4) * (ny + 4), 0, c.bbspeed, c.tfluid,
                      c.tcritical, c.keys.kappa, c.keys.delta_time, c.keys.tau, c.cfl,
                      c.dtimetemp, c.chic2, c.twochic2, c.twochi2c4, c.two_delta_space,
                      c.delta_space_three_three};
    p.plane = static_cast<std::int64_t>(p.slab) * (nz + 4);
    std::vector<double> a(21 * p.plane, 0.0), b(a.size(), 0.0);
    serial3::first_level(p, lean::initial_state(c), a.data());
    std::vector<double> n(c.node_count());
    for (int step = 1; step <= 6; step++) {
        serial3::step(p, a.data(), b.data());
        std::swap(a, b);
        // (after k + 1 steps the kernel shows the density its step k summed)
        r.steps(step == 1 ? 2 : 1);
        r.density(n.data());
        int mismatches = 0;
        size_t k = 0;
        for (int iz = 0; iz < nz; iz++)
            for (int iy = 0; iy < ny; iy++)
                for (int ix = 0; ix < nx; ix++, k++) {
                    const double s = a[serial3::kN * p.plane + (ix + 2) + (iy + 2) * p.row +
                                       static_cast<std::int64_t>(iz + 2) * p.slab];
                    mismatches += std::memcmp(&s, &n[k], sizeof s) != 0;
                }
        EXPECT_EQ(mismatches, 0) << "after step " << step;
    }
}

}  // namespace
