// The three solver programs run as a user runs them: in a fresh folder with
// a parameter file, checked by their console, exit status and files.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

using namespace test_support;

namespace {

struct Program {
    const char *name;
    const char *path;
    bool is_c;  // reports through gpuAssert, pads the start time, times the whole run
};

void PrintTo(const Program &program, std::ostream *os)
{
    *os << program.name;
}

const Program kPrograms[] = {
    {"vdwflow_a", VDWFLOW_A_PATH, false},
    {"vdwflow_b", VDWFLOW_B_PATH, false},
    {"vdwflow_c", VDWFLOW_C_PATH, true},
};

const char kTag[] = "_X008_Y008_S0.0078_T0.00010_Ta5.000e-01_R1.000_Z1.00_T0.90_K0.000100";

std::string parameters(int niter_cycle, int ncycles, int last_iter,
                       const std::string &extra = "")
{
    return "-hnodes_x 8\n-hnodes_y 8\n-hniter_cycle " + std::to_string(niter_cycle) +
           "\n-hncycles " + std::to_string(ncycles) + "\n-hlast_iter " +
           std::to_string(last_iter) +
           "\n-hRTzero 1\n-htemperature 0.9\n-hdelta_time 0.0001\n-hkappa 0.0001\n"
           "-hrho_zero 1\n-htau 0.5\n" +
           extra;
}

// Line of the first source line of the solver's `file` containing `text`.
int line_of(const std::string &file, const std::string &text)
{
    const auto lines = lines_of(read_file(std::string(SOLVER_SOURCE_DIR) + "/" + file));
    for (size_t i = 0; i < lines.size(); i++)
        if (lines[i].find(text) != std::string::npos)
            return static_cast<int>(i) + 1;
    ADD_FAILURE() << text << " not found in " << file;
    return -1;
}

std::vector<std::string> matching_lines(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const auto &line : lines_of(text))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

std::string snapshot_name(const char *kind, int iter)
{
    char name[256];
    std::snprintf(name, sizeof name, kind[0] == 'P' ? "%s%s.%09d.vtk" : "%s%s.%09d", kind, kTag,
                  iter);
    return name;
}

// The folder's snapshot files for these labels, with the parameter file.
std::vector<std::string> expected_files(const std::vector<int> &iters)
{
    std::vector<std::string> names = {"nw2cuda.input"};
    for (int iter : iters)
        for (const char *kind : {"BP", "BV", "PV"})
            names.push_back(snapshot_name(kind, iter));
    std::sort(names.begin(), names.end());
    return names;
}

class SolverProgram : public ::testing::TestWithParam<Program> {
protected:
    ProcessResult run(const std::string &parameter_file, const Environment &env = {})
    {
        if (!parameter_file.empty())
            write_file(dir_.file("nw2cuda.input"), parameter_file);
        return run_program(GetParam().path, dir_.path(), env);
    }
    std::string source() const { return std::string(GetParam().name) + ".cu"; }

    TempDir dir_;
};

TEST_P(SolverProgram, MissingParameterFileEndsAfterTheStartLinesBeforeAllocating)
{
    const std::string time = GetParam().is_c ? R"([ \d]\d:[ \d]\d:[ \d]\d)"
                                              : R"(\d{1,2}:\d{1,2}:\d{1,2})";
    for (const Environment &env : {Environment{}, Environment{{"CUDACPU_FAIL", "cudaMalloc:1"}}}) {
        const ProcessResult r = run("", env);
        EXPECT_EQ(r.status, 1);
        const std::regex expected(
            R"(\nGPU Device 0: "[^"\n]*CPU[^"\n]*" with compute capability \d+\.\d+\n\n)"
            R"(Start date = \d{1,2}/\d{1,2}/\d{4}  Start time = )" +
            time + R"(\n\nProcess )" + std::to_string(r.pid) +
            R"( \n\n\nError, ptr is NULL\n)");
        EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(list_dir(dir_.path()).empty());
    }
}

TEST_P(SolverProgram, KeyWithoutValueEndsWithStatus255Silently)
{
    const ProcessResult r = run("-hnodes_x 8\n-hnodes_y");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.substr(r.out.size() - 3), "\n\n\n") << r.out;
}

TEST_P(SolverProgram, SnapshotsAfterEveryCycleLabelledByTheStepCounter)
{
    const ProcessResult r = run(parameters(100, 3, 1000));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(dir_.path()), expected_files({1000, 1100, 1200, 1300}));

    // Console: each snapshot line follows its cycle's timing lines.
    std::vector<std::string> events;
    for (const auto &line : lines_of(r.out)) {
        if (line.rfind("iter=", 0) == 0)
            events.push_back(line.substr(0, 15));
        else if (std::regex_match(line, std::regex(R"(Total Time = \d+\.\d{6} ms)")))
            events.push_back("t");
    }
    std::vector<std::string> expected;
    for (int label : {1000, 1100, 1200, 1300}) {
        if (label > 1000)
            expected.insert(expected.end(), 100, "t");
        char line[32];
        std::snprintf(line, sizeof line, "iter=%010d", label);
        expected.push_back(line);
    }
    if (GetParam().is_c)
        expected.push_back("t");  // the whole run
    EXPECT_EQ(events, expected);
}

TEST_P(SolverProgram, NoCyclesWritesOnlyTheInitialSnapshot)
{
    const ProcessResult r = run(parameters(100, 0, 1000));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir_.path()), expected_files({1000}));
    EXPECT_EQ(matching_lines(r.out, "Total Time").size(), GetParam().is_c ? 1u : 0u);
}

TEST_P(SolverProgram, CyclesWithoutStepsRewriteTheSameLabel)
{
    const ProcessResult r = run(parameters(0, 2, 1000));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(list_dir(dir_.path()), expected_files({1000}));
    EXPECT_EQ(matching_lines(r.out, "iter=").size(), 3u);
    EXPECT_EQ(matching_lines(r.out, "iter=0000001000  ntot=").size(), 3u);
    EXPECT_EQ(matching_lines(r.out, "Total Time").size(), GetParam().is_c ? 1u : 0u);
}

TEST_P(SolverProgram, InitialLatticeComesFromTheUnseededGeneratorAndHniterIsIgnored)
{
    ASSERT_EQ(run(parameters(2, 1, 40, "-hniter 777\n")).status, 0);
    TempDir other;
    write_file(other.file("nw2cuda.input"), parameters(2, 1, 40));
    ASSERT_EQ(run_program(GetParam().path, other.path()).status, 0);
    const auto names = list_dir(dir_.path());
    ASSERT_EQ(names, list_dir(other.path()));
    for (const auto &name : names)
        if (name != "nw2cuda.input") {
            EXPECT_EQ(read_file(dir_.file(name)), read_file(other.file(name))) << name;
        }

    // Profile of the initial lattice: row 4 of 8 x 8, i.e. numbers 32 .. 39
    // drawn from the generator's initial, never seeded state.
    unsigned short state[3] = {0, 0, 0};
    std::vector<double> draws;
    for (int k = 0; k < 40; k++)
        draws.push_back(erand48(state));
    const auto lines = lines_of(read_file(dir_.file(snapshot_name("BP", 40))));
    ASSERT_EQ(lines.size(), 8u);
    for (int x = 0; x < 8; x++) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "%15.6e ",
                      draws[32 + x] * (1.001 - 0.999) + 0.999);
        EXPECT_EQ(lines[x].substr(16), expected) << x;
    }
}

TEST_P(SolverProgram, FailedAllocationGoesToTheProgramsReporter)
{
    const ProcessResult r = run(parameters(1, 1, 0), {{"CUDACPU_FAIL", "cudaMalloc:3"}});
    const int line = line_of("device_mirror.cpp", "cudaMalloc(&cspeed_x");
    if (GetParam().is_c) {
        EXPECT_EQ(r.status, 2);  // cudaErrorMemoryAllocation
        EXPECT_EQ(r.err, "GPUassert: out of memory vdwflow_c.cu " + std::to_string(line) + "\n");
        EXPECT_EQ(r.out.find("out of memory"), std::string::npos);
    } else {
        EXPECT_EQ(r.status, 1);
        const std::string message =
            "out of memory in " + source() + " at line " + std::to_string(line) + "\n";
        ASSERT_GE(r.out.size(), message.size());
        EXPECT_EQ(r.out.substr(r.out.size() - message.size()), message);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(r.out.find("iter="), std::string::npos);  // before the first snapshot
}

TEST_P(SolverProgram, FailedDeviceQueryIsReportedBeforeAnyOutput)
{
    const ProcessResult r = run(parameters(1, 1, 0), {{"CUDACPU_FAIL", "cudaGetDevice:1"}});
    const std::string line = std::to_string(line_of("driver.cpp", "cudaGetDevice(&device)"));
    if (GetParam().is_c) {
        EXPECT_EQ(r.status, 100);  // cudaErrorNoDevice
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(std::regex_match(r.err, std::regex("GPUassert: .+ vdwflow_c\\.cu " + line +
                                                       "\n")))
            << r.err;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(std::regex_match(
            r.out, std::regex(".+ in " + std::string(GetParam().name) + "\\.cu at line " + line +
                              "\n")))
            << r.out;
    }
}

TEST_P(SolverProgram, KernelFaultShowsAtTheCopyBack)
{
    // The fifth copy is the first copy back; 719 is a launch failure.
    const ProcessResult r = run(parameters(1, 1, 0), {{"CUDACPU_FAIL", "cudaMemcpy:5:719"}});
    const std::string line = std::to_string(line_of("device_mirror.cpp", "cudaMemcpy(hgf, dgf_one"));
    EXPECT_EQ(matching_lines(r.out, "iter=").size(), 1u);  // the initial snapshot only
    if (GetParam().is_c) {
        EXPECT_EQ(r.status, 719 & 0xff);
        EXPECT_TRUE(std::regex_match(r.err, std::regex("GPUassert: .+ vdwflow_c\\.cu " + line +
                                                       "\n")))
            << r.err;
    } else {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(" in " + source() + " at line " + line + "\n"), std::string::npos)
            << r.out;
    }
}

TEST_P(SolverProgram, FailedTimingPrintsZero)
{
    const ProcessResult r =
        run(parameters(2, 1, 0), {{"CUDACPU_FAIL", "cudaEventElapsedTime:1"}});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto times = matching_lines(r.out, "Total Time = ");
    ASSERT_GE(times.size(), 2u);
    EXPECT_EQ(times[0], "Total Time = 0.000000 ms");
}

TEST_P(SolverProgram, UnsoundConfigurationIsRejectedBeforeAllocating)
{
    // The first -hnodes_x of the file counts. With the first allocation
    // made to fail, only a check before allocating can report this.
    const ProcessResult r =
        run("-hnodes_x 1\n" + parameters(1, 1, 0), {{"CUDACPU_FAIL", "cudaMalloc:1"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "nw2cuda.input: -hnodes_x 1 is smaller than the halo width 2\n");
    EXPECT_EQ(r.out.find("out of memory"), std::string::npos);
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"nw2cuda.input"});
}

TEST_P(SolverProgram, OverlongTokenIsRejected)
{
    const ProcessResult r = run(parameters(1, 1, 0, "-hkappa_and_a_very_long_key_name 1\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("nw2cuda.input: a token is longer than 29 characters", 0), 0u) << r.err;
    EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"nw2cuda.input"});
}

TEST_P(SolverProgram, SnapshotThatCannotBeWrittenEndsTheRun)
{
    const std::string name = snapshot_name("PV", 1000);
    ASSERT_EQ(symlink("/dev/full", dir_.file(name).c_str()), 0);
    const ProcessResult r = run(parameters(1, 1, 1000));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vdwflow: could not write the snapshot file " + name + " completely\n");
    EXPECT_TRUE(matching_lines(r.out, "Total Time").empty());
}

INSTANTIATE_TEST_SUITE_P(Solver, SolverProgram, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program> &info) {
                             return std::string(info.param.name);
                         });

// Programs of the cuda backend on a machine without a GPU: the first runtime
// call, the device query, fails and goes to the program's reporter.
TEST(CudaBackendWithoutGpu, DeviceQueryFailsThroughTheReporter)
{
    if (nvidia_gpu_present())
        GTEST_SKIP() << "a GPU is present";
    const std::string line = std::to_string(line_of("driver.cpp", "cudaGetDevice(&device)"));
    int found = 0;
    for (const Program &program : kPrograms) {
        const std::string binary = cuda_program(program.name);
        if (binary.empty())
            continue;
        found++;
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters(1, 1, 0));
        const ProcessResult r = run_program(binary, dir.path());
        const std::string source = std::string(program.name) + "\\.cu";
        if (program.is_c) {
            EXPECT_TRUE(r.status == 35 || r.status == 100) << r.status;
            EXPECT_TRUE(std::regex_match(r.err, std::regex("GPUassert: .+ " + source + " " +
                                                           line + "\n")))
                << r.err;
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(std::regex_match(
                r.out, std::regex(".+ in " + source + " at line " + line + "\n")))
                << r.out;
        }
        EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"nw2cuda.input"});
    }
    if (found == 0)
        GTEST_SKIP() << "no cuda-backend build was named (VDWFLOW_CUDA_BIN_DIR)";
}

}  // namespace
