// Run configuration: slot indices, derived quantities and the run tag.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "param_reader.h"
#include "param_table.h"
#include "run_config.h"
#include "test_support.h"

using namespace test_support;

namespace {

// The configuration lb_input derives, in locals so the globals stay put.
struct Config {
    int nodes = 0, nodes_x = 0, nodes_y = 0, niter = 0, niter_cycle = 0, ncycles = 0,
        last_iter = 0, lnodes = 0, lnodes_x = 0, lnodes_y = 0;
    double bbspeed = 0, tcritical = 0, tfluid = 0, chic2 = 0, twochic2 = 0, twochi2c4 = 0,
           dtimetemp = 0, RTzero = 0, temperature = 0, delta_time = 0, kappa = 0,
           rho_zero = 0, tau = 0, delta_space = 0, two_delta_space = 0,
           delta_space_three_three = 0;
};

Config derive(const std::string &parameter_file)
{
    TempDir dir;
    write_file(dir.file("nw2cuda.input"), parameter_file);
    reset_parameter_table();
    readInputParameters(dir.file("nw2cuda.input").c_str());
    Config c;
    EXPECT_EQ(lb_input(&c.nodes, &c.nodes_x, &c.nodes_y, &c.niter, &c.niter_cycle, &c.ncycles,
                       &c.last_iter, &c.lnodes, &c.lnodes_x, &c.lnodes_y, &c.bbspeed,
                       &c.tcritical, &c.tfluid, &c.chic2, &c.twochic2, &c.twochi2c4,
                       &c.dtimetemp, &c.RTzero, &c.temperature, &c.delta_time, &c.kappa,
                       &c.rho_zero, &c.tau, &c.delta_space, &c.two_delta_space,
                       &c.delta_space_three_three, hnw, hlength, hone, htwo, hthree, hchi),
              1);
    reset_parameter_table();
    return c;
}

const char kExample[] =
    "-hnodes_x 128\n-hnodes_y 64\n-hniter 5\n-hniter_cycle 100\n-hncycles 3\n"
    "-hlast_iter 1000\n-hRTzero 1\n-htemperature 0.9\n-hdelta_time 0.0001\n"
    "-hkappa 0.0001\n-hrho_zero 1\n-htau 0.5\n";

TEST(RunConfig, StructuralValuesAndSlotIndicesAreSetBeforeMain)
{
    EXPECT_EQ(hnw, 2);
    EXPECT_EQ(hnvar, 27);
    EXPECT_EQ(hnbasevelocities, 2);
    EXPECT_EQ(hnvelocities, 9);
    const std::vector<int> slots = {hkn,      hkux,     hkuy,     hkpid,   hkpwaals,
                                    hkdpress, hkforcex, hkforcey, hkfeq};
    for (size_t i = 0; i < slots.size(); i++)
        EXPECT_EQ(slots[i], 9 + static_cast<int>(i));
    EXPECT_EQ(hchi, 1.0 / 3.0);
}

TEST(RunConfig, EmptyFileLeavesZerosAndStillDerivesTheGeometry)
{
    const Config c = derive("");
    EXPECT_EQ(c.nodes, 0);
    EXPECT_EQ(c.lnodes_x, 4);
    EXPECT_EQ(c.lnodes_y, 4);
    EXPECT_EQ(c.lnodes, 16);
    EXPECT_EQ(c.delta_space, 0.0078125);
    EXPECT_EQ(c.niter_cycle, 0);
    EXPECT_TRUE(std::isinf(c.tcritical));  // 1 / 0: nothing is validated here
}

TEST(RunConfig, DerivedQuantitiesOfTheExample)
{
    const Config c = derive(kExample);
    EXPECT_EQ(c.nodes, 8192);
    EXPECT_EQ(c.lnodes_x, 132);
    EXPECT_EQ(c.lnodes_y, 68);
    EXPECT_EQ(c.lnodes, 8976);
    EXPECT_EQ(c.niter, 5);
    EXPECT_EQ(c.niter_cycle, 100);
    EXPECT_EQ(c.ncycles, 3);
    EXPECT_EQ(c.last_iter, 1000);
    EXPECT_EQ(c.two_delta_space, 0.015625);
    EXPECT_EQ(c.delta_space_three_three, 1.5894571940104166e-07);
    EXPECT_EQ(c.tfluid, 0.9);
    EXPECT_EQ(c.chic2, 0.9);
    EXPECT_EQ(c.tcritical, 1.0);
    // sqrt(T / chi) with chi the double nearest 1/3, not sqrt(3 T).
    EXPECT_EQ(c.bbspeed, 1.6431676725154984);
    EXPECT_EQ(c.twochic2, 1.8);
    EXPECT_EQ(c.twochi2c4, 0.9 * 2.0 * 0.9);
    EXPECT_EQ(c.dtimetemp, 0.0001 / 0.9);
}

TEST(RunConfig, TemperatureIsMeasuredInUnitsOfTheCriticalOne)
{
    const Config c = derive("-hRTzero 2 -htemperature 0.5");
    EXPECT_EQ(c.tcritical, 0.5);
    EXPECT_EQ(c.tfluid, 0.25);
    EXPECT_EQ(c.tfluid / c.tcritical, 0.5);
}

TEST(RunConfig, MissingKeysKeepTheirVariables)
{
    Config c;
    c.nodes_x = 12;
    c.tau = 0.75;
    TempDir dir;
    write_file(dir.file("p"), "-hnodes_y 3");
    reset_parameter_table();
    readInputParameters(dir.file("p").c_str());
    lb_input(&c.nodes, &c.nodes_x, &c.nodes_y, &c.niter, &c.niter_cycle, &c.ncycles,
             &c.last_iter, &c.lnodes, &c.lnodes_x, &c.lnodes_y, &c.bbspeed, &c.tcritical,
             &c.tfluid, &c.chic2, &c.twochic2, &c.twochi2c4, &c.dtimetemp, &c.RTzero,
             &c.temperature, &c.delta_time, &c.kappa, &c.rho_zero, &c.tau, &c.delta_space,
             &c.two_delta_space, &c.delta_space_three_three, hnw, hlength, hone, htwo, hthree,
             hchi);
    reset_parameter_table();
    EXPECT_EQ(c.nodes_x, 12);
    EXPECT_EQ(c.tau, 0.75);
    EXPECT_EQ(c.nodes, 36);
}

std::string tag_of(int nodes_x, int nodes_y, double delta_time, double tau, double rho_zero,
                   double RTzero, double tfluid, double kappa)
{
    const int length = run_tag_length(nodes_x, nodes_y, 1.0 / 128, delta_time, tau, rho_zero,
                                      RTzero, tfluid, kappa);
    // Guard bytes after the sized buffer catch a write past its end.
    std::string buffer(static_cast<size_t>(length) + 1 + 8, '#');
    EXPECT_EQ(build_names(buffer.data(), nodes_x, nodes_y, 1.0 / 128, delta_time, tau,
                          rho_zero, RTzero, tfluid, kappa),
              1);
    EXPECT_EQ(buffer.substr(static_cast<size_t>(length) + 1), std::string(8, '#'));
    EXPECT_EQ(buffer[static_cast<size_t>(length)], '\0');
    return buffer.c_str();
}

TEST(RunTag, ExampleConfiguration)
{
    EXPECT_EQ(tag_of(128, 64, 0.0001, 0.5, 1.0, 1.0, 0.9, 0.0001),
              "_X128_Y064_S0.0078_T0.00010_Ta5.000e-01_R1.000_Z1.00_T0.90_K0.000100");
}

TEST(RunTag, FieldsWidenAndPadAndTheTemperatureIsInFileUnits)
{
    const std::string tag = tag_of(1024, 8, 0.0001, 0.5, 1.0, 2.0, 0.45, 0.0001);
    EXPECT_EQ(tag.rfind("_X1024_Y008_", 0), 0u) << tag;
    EXPECT_NE(tag.find("_Z2.00_T0.90_"), std::string::npos) << tag;  // tfluid * RTzero
}

TEST(RunTag, ExtremeValuesFitTheMeasuredBuffer)
{
    const std::string tag = tag_of(-2147483647 - 1, 2147483647, -1e300, 1e300, -1e300, 1e300,
                                   1.0, 1e300);
    EXPECT_GT(tag.size(), 1000u);
    EXPECT_EQ(tag.rfind("_X-2147483648_Y2147483647_", 0), 0u);
}

}  // namespace
