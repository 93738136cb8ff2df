// Spinodal decomposition in the real program: vdwflow_b from its own random
// start at the critical mean density, below the critical temperature,
// checked on its snapshot files and console.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "physics_support.h"
#include "test_support.h"
#include "vdw_thermo.h"

using namespace test_support;

namespace {

struct Extremes {
    double lo, hi;
};

// Smallest and largest density of a VTK snapshot: the values after the
// lookup table line.
Extremes vtk_extremes(const std::string &text)
{
    const std::string marker = "LOOKUP_TABLE default\n";
    const auto at = text.find(marker);
    if (at == std::string::npos) throw std::runtime_error("no density values in the VTK file");
    std::istringstream in(text.substr(at + marker.size()));
    Extremes e{INFINITY, -INFINITY};
    for (double v; in >> v;) {
        e.lo = std::min(e.lo, v);
        e.hi = std::max(e.hi, v);
    }
    return e;
}

// Total density of each console snapshot line "iter=...  ntot=...".
std::vector<double> snapshot_totals(const std::string &out)
{
    std::vector<double> totals;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.rfind("iter=", 0) == 0)
            totals.push_back(std::strtod(line.substr(line.find("ntot=") + 5).c_str(), nullptr));
    return totals;
}

}  // namespace

TEST(Spinodal, UniformFluidSeparatesIntoTheEqualAreaPhases)
{
    const double temperature = 0.9;
    const int steps_per_cycle = 5000, cycles = 8;
    std::ostringstream input;
    input << "-hnodes_x 64\n-hnodes_y 64\n-hniter 0\n-hniter_cycle " << steps_per_cycle
          << "\n-hncycles " << cycles << "\n-hlast_iter 0\n-hRTzero 1.0\n-htemperature "
          << temperature << "\n-hdelta_time 0.0001\n-hkappa 0.0001\n-hrho_zero 1.0\n-htau 0.001\n";

    TempDir dir;
    write_file(dir.file("nw2cuda.input"), input.str());
    ProcessResult run;
    const double seconds = physics::seconds_of([&] { run = run_program(VDWFLOW_B, dir.path()); });
    ASSERT_EQ(run.status, 0) << run.err;

    // Snapshots in step order (the labels are zero-padded).
    std::vector<std::string> vtk;
    for (const std::string &name : list_dir(dir.path()))
        if (name.rfind("PV", 0) == 0) vtk.push_back(name);
    ASSERT_EQ(vtk.size(), static_cast<std::size_t>(cycles + 1));

    const vdw::Pair coex = vdw::coexistence(vdw::Fluid{temperature, 1.0});
    std::vector<Extremes> history;
    for (std::size_t k = 0; k < vtk.size(); ++k) {
        history.push_back(vtk_extremes(read_file(dir.file(vtk[k]))));
        std::printf("step %6zu: density %.4f .. %.4f\n", k * steps_per_cycle, history.back().lo,
                    history.back().hi);
    }
    const Extremes last = history.back();
    std::printf("%d steps on 64 x 64 (%.1f s): vapour %.4f (equal area %.6f, %+.2f %%), liquid %.4f "
                "(%.6f, %+.2f %%)\n",
                steps_per_cycle * cycles, seconds, last.lo, coex.vapour,
                100 * (last.lo / coex.vapour - 1), last.hi, coex.liquid, 100 * (last.hi / coex.liquid - 1));

    // The start scatters by 0.1 %; the contrast grows until the phases stand.
    EXPECT_LT(history.front().hi - history.front().lo, 0.003);
    for (std::size_t k = 1; k < history.size(); ++k) {
        const double before = history[k - 1].hi - history[k - 1].lo;
        if (before < 0.9 * (coex.liquid - coex.vapour)) {
            EXPECT_GT(history[k].hi - history[k].lo, before) << "snapshot " << k;
        }
    }
    EXPECT_NEAR(last.lo / coex.vapour, 1.0, 0.03);
    EXPECT_NEAR(last.hi / coex.liquid, 1.0, 0.03);

    // The console's totals keep the mass, within the scheme's slow leak.
    const std::vector<double> totals = snapshot_totals(run.out);
    ASSERT_EQ(totals.size(), vtk.size());
    EXPECT_LT(std::fabs(totals.back() / totals.front() - 1), physics::leak_bound(steps_per_cycle * cycles));
}
