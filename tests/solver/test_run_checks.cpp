// Start-up check of the configuration and the blow-up check.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>
#include <string>

#include "run_checks.h"
#include "run_config.h"
#include "test_support.h"

using namespace test_support;

namespace {

class RunChecks : public ::testing::Test {
protected:
    void SetUp() override
    {
        hnodes_x = 128;
        hnodes_y = 64;
        hniter_cycle = 100;
        hncycles = 3;
        hlast_iter = 1000;
        hRTzero = 1.0;
        htemperature = 0.9;
        htau = 0.5;
        hrho_zero = 1.0;
    }
    void TearDown() override
    {
        hnodes_x = hnodes_y = hniter_cycle = hncycles = hlast_iter = 0;
        hRTzero = htemperature = htau = hrho_zero = 0.0;
    }

    // Runs the check in a child; expects a rejection whose one line on
    // standard error contains every one of `parts`.
    void expect_rejected(std::initializer_list<std::string> parts)
    {
        const ProcessResult r = run_in_child([] { check_run_configuration(); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(lines_of(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("nw2cuda.input: ", 0), 0u) << r.err;
        for (const auto &part : parts)
            EXPECT_NE(r.err.find(part), std::string::npos) << part << " not in " << r.err;
    }
    void expect_accepted()
    {
        const ProcessResult r = run_in_child([] { check_run_configuration(); });
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
};

TEST_F(RunChecks, OrdinaryConfigurationPasses)
{
    expect_accepted();
    hnodes_x = hnodes_y = 2;  // as narrow as the halo allows
    expect_accepted();
}

TEST_F(RunChecks, LatticeNarrowerThanTheHaloIsRejected)
{
    hnodes_x = 1;
    expect_rejected({"-hnodes_x 1", "halo width 2"});
    hnodes_x = 8;
    hnodes_y = 0;  // also what a missing key leaves
    expect_rejected({"-hnodes_y 0"});
    hnodes_y = -64;
    expect_rejected({"-hnodes_y -64"});
}

TEST_F(RunChecks, ElementCountsOf2To31AreRejected)
{
    // 17 * 46341^2 wraps in 32 bits; counted in 64 bits it is far too many.
    hnodes_x = hnodes_y = 46341;
    expect_rejected({"-hnodes_x 46341", "-hnodes_y 46341", "36507300777"});
    // The node field array fits, the halo lattice does not.
    hnodes_x = 9000;
    hnodes_y = 9000;
    expect_rejected({"halo lattice", "2188944432"});
    hnodes_x = 2;
    hnodes_y = INT_MAX;
    expect_rejected({"-hnodes_y 2147483647"});
}

TEST_F(RunChecks, LastSnapshotLabelMustFitAnInt)
{
    hlast_iter = INT_MAX - 300;
    expect_accepted();  // the last label is exactly INT_MAX
    hniter_cycle = 101;
    expect_rejected({"-hlast_iter 2147483347", "-hncycles 3", "-hniter_cycle 101"});
    hniter_cycle = 2000000000;
    hncycles = -4;  // no cycle runs, so no label beyond the first
    expect_accepted();
}

TEST_F(RunChecks, PhysicalValuesMustBePositiveAndFinite)
{
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double *variable;
        const char *key;
        double value;
    };
    for (const Case &c : {Case{&hRTzero, "-hRTzero", 0.0}, Case{&htemperature, "-htemperature", -0.9},
                          Case{&htau, "-htau", nan}, Case{&hrho_zero, "-hrho_zero", inf},
                          Case{&hRTzero, "-hRTzero", -inf}}) {
        const double saved = *c.variable;
        *c.variable = c.value;
        char text[64];
        std::snprintf(text, sizeof text, "%s %.17g", c.key, c.value);
        expect_rejected({text});
        *c.variable = saved;
    }
    hrho_zero = 1e-300;
    htau = 1e300;
    expect_accepted();
}

TEST(BlowUpCheck, NonFiniteTotalEndsTheRunNamingTheIteration)
{
    for (const double total : {std::nan(""), std::numeric_limits<double>::infinity()}) {
        const ProcessResult r = run_in_child([&] { check_snapshot_total(total, 1200); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "vdwflow: the run became unstable at iteration 1200: total density is not "
                  "finite\n");
    }
    const ProcessResult r = run_in_child([] { check_snapshot_total(1.6384e4, 1200); });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

}  // namespace
