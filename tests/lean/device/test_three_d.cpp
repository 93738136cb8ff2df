// Three dimensions against two: a state that does not vary along z steps as
// the two-dimensional run of the same setup, in every form of the step (the
// stencils and weights of D3Q19 sum over z to those of D2Q9). The runs
// differ by the rounding of regrouped sums, which the single-precision
// quotients of the step can turn into a float's last bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "run.h"

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
        EXPECT_LT(d, 1e-8);
    }
}

}  // namespace
