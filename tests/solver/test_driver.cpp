// The driver with stand-in kernels: launch geometry and order, the device
// constants' step counter, and a run that blows up.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device_mirror.h"
#include "driver.h"
#include "reporters.h"
#include "run_config.h"
#include "test_support.h"

using namespace test_support;

// What a program defines beside its kernels, here as stand-ins that log to
// standard output.
void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "test_driver", line);
}

const int hpad_start_time = 0;

const int htime_whole_run = 0;

int copy_constants_to_device()
{
    std::printf("constants niter=%d\n", hniter);
    return 0;
}

namespace {
int launches = 0;
int poison_at_launch = -1;  // lb_time_step launch after which a density turns NaN
}  // namespace

void launch_periodic_boundary(dim3 grid, dim3 block)
{
    std::printf("P %u %u %u %u %u %u\n", grid.x, grid.y, grid.z, block.x, block.y, block.z);
}

void launch_lb_time_step(dim3 grid, dim3 block)
{
    std::printf("T %u %u\n", grid.x, block.x);
    if (launches++ == poison_at_launch) {
        const double nan = std::nan("");
        CUDAHandleError(cudaMemcpy(dgf_one + hkn * hnodes + 3, &nan, sizeof nan,
                                   cudaMemcpyHostToDevice),
                        "test_driver", __LINE__);
    }
}

namespace {

std::string parameters(int nodes_x, int nodes_y, int niter_cycle, int ncycles)
{
    return "-hnodes_x " + std::to_string(nodes_x) + " -hnodes_y " + std::to_string(nodes_y) +
           " -hniter_cycle " + std::to_string(niter_cycle) + " -hncycles " +
           std::to_string(ncycles) +
           " -hniter 5 -hlast_iter 1000 -hRTzero 1 -htemperature 0.9 -hdelta_time 0.0001"
           " -hkappa 0.0001 -hrho_zero 1 -htau 0.5";
}

ProcessResult run_driver(const TempDir &dir, int poison = -1)
{
    return run_in_child([&] {
        if (chdir(dir.path().c_str()) != 0)
            std::exit(126);
        poison_at_launch = poison;
        std::exit(run_solver());
    });
}

std::vector<std::string> launch_lines(const std::string &out)
{
    std::vector<std::string> found;
    for (const auto &line : lines_of(out))
        if (line.rfind("P ", 0) == 0 || line.rfind("T ", 0) == 0)
            found.push_back(line);
    return found;
}

TEST(Driver, GridCoversTheNodesInBlocksOf512AndKernelsAlternate)
{
    struct Case {
        int nodes_x, nodes_y;
        unsigned blocks;
    };
    for (const Case c : {Case{100, 100, 20}, Case{128, 100, 25}, Case{8, 8, 1}}) {
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters(c.nodes_x, c.nodes_y, 2, 3));
        const ProcessResult r = run_driver(dir);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const std::string b = std::to_string(c.blocks);
        std::vector<std::string> expected;
        for (int step = 0; step < 6; step++) {
            expected.push_back("P " + b + " 1 1 512 1 1");
            expected.push_back("T " + b + " 512");
        }
        EXPECT_EQ(launch_lines(r.out), expected);
    }
}

TEST(Driver, DeviceStepCounterStartsAtTheLastIterationWhateverTheFileSays)
{
    TempDir dir;
    write_file(dir.file("nw2cuda.input"), parameters(8, 8, 1, 1));
    const ProcessResult r = run_driver(dir);
    ASSERT_EQ(r.status, 0) << r.err;
    // The constants go up after the initial snapshot, before the first step.
    const std::string out = r.out;
    const auto constants = out.find("constants niter=1000\n");
    ASSERT_NE(constants, std::string::npos) << out;
    EXPECT_LT(out.find("iter=0000001000"), constants);
    EXPECT_GT(out.find("\nP "), constants);
}

TEST(Driver, RunThatBlowsUpStopsAfterWritingTheFirstNonFiniteSnapshot)
{
    TempDir dir;
    write_file(dir.file("nw2cuda.input"), parameters(8, 8, 10, 4));
    const ProcessResult r = run_driver(dir, 14);  // a NaN appears in the second cycle
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "vdwflow: the run became unstable at iteration 1020: total density is not "
              "finite\n");
    const auto nan_line = r.out.find("iter=0000001020  ntot=");
    ASSERT_NE(nan_line, std::string::npos) << r.out;
    EXPECT_NE(r.out.substr(nan_line, r.out.find('\n', nan_line) - nan_line).find("nan"),
              std::string::npos);
    EXPECT_EQ(r.out.find("iter=0000001030"), std::string::npos);
    EXPECT_EQ(launch_lines(r.out).size(), 40u);  // no step after the blow-up

    const auto names = list_dir(dir.path());
    ASSERT_EQ(names.size(), 1u + 3u * 3u);  // snapshots 1000, 1010 and 1020
    // The last snapshot is complete: both VTK blocks and every image value.
    const std::string last = names[names.size() - 2];  // after it only nw2cuda.input
    EXPECT_NE(last.find(".000001020.vtk"), std::string::npos) << last;
    const std::string vtk = read_file(dir.file(last));
    EXPECT_EQ(lines_of(vtk).size(), 6u + 64u + 3u + 64u);
    EXPECT_NE(vtk.find("nan\n"), std::string::npos);
}

}  // namespace
