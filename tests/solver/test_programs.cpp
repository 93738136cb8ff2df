// The three solver programs run as a user runs them: in a fresh folder with
// a parameter file, checked by their console, exit status and files.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
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

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
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
        EXPECT_EQ(r.err, "vdwflow: cannot open nw2cuda.input: No such file or directory\n");
        EXPECT_TRUE(list_dir(dir_.path()).empty());
    }
}

TEST_P(SolverProgram, ParameterFileThatCannotBeReadEndsLikeAMissingOne)
{
    ASSERT_EQ(mkdir(dir_.file("nw2cuda.input").c_str(), 0755), 0);
    // A reader that never sees the end of the input would spin: the alarm
    // ends it.
    const ProcessResult r = run_program(GetParam().path, dir_.path(), {}, [] { alarm(60); });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(ends_with(r.out, " \n\n\nError, ptr is NULL\n")) << r.out;
    EXPECT_EQ(r.err, "vdwflow: cannot read nw2cuda.input: Is a directory\n");
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

// Every runtime call whose status the solver examines, made to fail in turn:
// the run ends at that call through the program's reporter, naming the
// call's line. Two steps in one cycle: four uploads, then the copy back as
// the fifth copy; launches 1 and 3 are periodic_boundary, 2 and 4
// lb_time_step.
struct ExaminedFault {
    const char *rule;       // CUDACPU_FAIL
    const char *file;       // solver source holding the call ...
    const char *call;       // ... on the line with this text
    const char *text;       // the runtime's error text
    int code;               // the error code, vdwflow_c's exit status
    size_t snapshots;       // snapshot lines printed before the failure
};

const ExaminedFault kExaminedFaults[] = {
    {"cudaGetDevice:1", "startup.cpp", "cudaGetDevice(&device)",
     "no CUDA-capable device is detected", 100, 0},
    {"cudaGetDeviceProperties:1", "startup.cpp", "cudaGetDeviceProperties(&prop",
     "no CUDA-capable device is detected", 100, 0},
    {"cudaMalloc:1", "device_mirror.cpp", "cudaMalloc(&dgf_one", "out of memory", 2, 0},
    {"cudaMalloc:2", "device_mirror.cpp", "cudaMalloc(&dgf_two", "out of memory", 2, 0},
    {"cudaMalloc:3", "device_mirror.cpp", "cudaMalloc(&cspeed_x", "out of memory", 2, 0},
    {"cudaMalloc:4", "device_mirror.cpp", "cudaMalloc(&cspeed_y", "out of memory", 2, 0},
    {"cudaMalloc:5", "device_mirror.cpp", "cudaMalloc(&cweight", "out of memory", 2, 0},
    {"cudaMemcpy:1", "device_mirror.cpp", "cudaMemcpy(dgf_one, hgf", "invalid argument", 1, 1},
    {"cudaMemcpy:2", "device_mirror.cpp", "cudaMemcpy(cspeed_x", "invalid argument", 1, 1},
    {"cudaMemcpy:3", "device_mirror.cpp", "cudaMemcpy(cspeed_y", "invalid argument", 1, 1},
    {"cudaMemcpy:4", "device_mirror.cpp", "cudaMemcpy(cweight", "invalid argument", 1, 1},
    // A kernel fault shows at the copy back.
    {"cudaMemcpy:5:719", "device_mirror.cpp", "cudaMemcpy(hgf, dgf_one",
     "unspecified launch failure", 719, 1},
    {"launch:1", "program.cuh", "LAUNCH_CHECKED(periodic_boundary", "unspecified launch failure", 719, 1},
    {"launch:2", "program.cuh", "LAUNCH_CHECKED(lb_time_step", "unspecified launch failure", 719, 1},
    {"launch:3:9", "program.cuh", "LAUNCH_CHECKED(periodic_boundary", "invalid configuration argument",
     9, 1},
    {"launch:4:9", "program.cuh", "LAUNCH_CHECKED(lb_time_step", "invalid configuration argument", 9, 1},
    {"cudaFree:1", "device_mirror.cpp", "cudaFree(dgf_one)", "invalid argument", 1, 2},
    {"cudaFree:2", "device_mirror.cpp", "cudaFree(dgf_two)", "invalid argument", 1, 2},
    {"cudaFree:3", "device_mirror.cpp", "cudaFree(cspeed_x)", "invalid argument", 1, 2},
    {"cudaFree:4", "device_mirror.cpp", "cudaFree(cspeed_y)", "invalid argument", 1, 2},
    {"cudaFree:5", "device_mirror.cpp", "cudaFree(cweight)", "invalid argument", 1, 2},
};

TEST_P(SolverProgram, EveryExaminedRuntimeFailureEndsTheRunThroughTheReporter)
{
    for (const ExaminedFault &f : kExaminedFaults) {
        SCOPED_TRACE(f.rule);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters(2, 1, 0));
        const ProcessResult r = run_program(GetParam().path, dir.path(), {{"CUDACPU_FAIL", f.rule}});
        const std::string line = std::to_string(line_of(f.file, f.call));
        if (GetParam().is_c) {
            EXPECT_EQ(r.status, f.code & 0xff);
            EXPECT_EQ(r.err, "GPUassert: " + std::string(f.text) + " vdwflow_c.cu " + line + "\n");
            EXPECT_EQ(r.out.find(f.text), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(ends_with(r.out, f.text + (" in " + source() + " at line " + line + "\n")))
                << r.out;
            EXPECT_EQ(r.err, "");
        }
        EXPECT_EQ(matching_lines(r.out, "iter=").size(), f.snapshots);
        if (f.code == 100) {  // the device queries come before any output
            EXPECT_EQ(r.out.find("GPU Device"), std::string::npos);
        }
    }
}

// The calls whose status the solver does not examine: the constant uploads
// and the events. Their failure leaves the run going to its end.
TEST_P(SolverProgram, UnexaminedRuntimeFailuresLeaveTheRunGoing)
{
    for (const char *rule :
         {"cudaMemcpyToSymbol:1", "cudaMemcpyToSymbol:43", "cudaEventCreate:1",
          "cudaEventCreate:2", "cudaEventCreate:3", "cudaEventCreate:4", "cudaEventRecord:1",
          "cudaEventRecord:2", "cudaEventRecord:5", "cudaEventSynchronize:1",
          "cudaEventSynchronize:3", "cudaEventElapsedTime:1", "cudaEventElapsedTime:3",
          "cudaEventDestroy:1", "cudaEventDestroy:4"}) {
        SCOPED_TRACE(rule);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters(2, 1, 0));
        const ProcessResult r = run_program(GetParam().path, dir.path(), {{"CUDACPU_FAIL", rule}});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(list_dir(dir.path()), expected_files({0, 2}));
        EXPECT_EQ(matching_lines(r.out, "Total Time").size(), GetParam().is_c ? 3u : 2u);
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

// Parameter files a user may get wrong, run as the program runs them: each
// loads and runs, or is rejected before anything is allocated or written,
// with one line on standard error (none for a key without its value).
TEST_P(SolverProgram, BadParameterFilesRunOrAreRejectedWithAMessage)
{
    const std::string base = parameters(1, 1, 0);
    // The first occurrence of a key counts, so a line put first overrides.
    const auto with = [&](const std::string &first) { return first + "\n" + base; };
    const auto unknown_keys = [](int count) {
        std::string keys;
        for (int i = 0; i < count; i++)
            keys += "-hunknown" + std::to_string(i) + " " + std::to_string(i) + "\n";
        return keys;
    };
    const std::string file = "nw2cuda.input: ";
    const std::string not_positive = " is not a positive finite number\n";
    const std::string too_narrow = " is smaller than the halo width 2\n";
    struct Case {
        const char *what;
        std::string contents;
        int status;
        std::string err;  // standard error begins with this
    };
    const Case cases[] = {
        {"empty file", "", 1, file + "-hnodes_x 0" + too_narrow},
        {"binary garbage", std::string("\x01\xff\xfe\x80 \x00\x00zz\n", 10), 1,
         file + "-hnodes_x 0" + too_narrow},
        {"key without its value", "-hnodes_x 8\n-hnodes_y", 255, ""},
        {"token of 29 characters", with("-" + std::string(28, 'k') + " 1"), 0, ""},
        {"token of 30 characters", with("-" + std::string(29, 'k') + " 1"), 1,
         file + "a token is longer than 29 characters: "},
        {"25 pairs, unknown keys among them", base + unknown_keys(14), 0, ""},
        {"26 pairs", base + unknown_keys(15), 1, file + "more than 25 key and value pairs\n"},
        {"duplicate key", base + "-hnodes_x 1\n", 0, ""},
        {"nan", with("-htau nan"), 1, file + "-htau nan" + not_positive},
        {"inf", with("-hrho_zero inf"), 1, file + "-hrho_zero inf" + not_positive},
        {"1e400", with("-htemperature 1e400"), 1, file + "-htemperature inf" + not_positive},
        {"-1", with("-hRTzero -1"), 1, file + "-hRTzero -1" + not_positive},
        {"12abc", with("-hnodes_x 12abc"), 0, ""},
        {"0x10", with("-hnodes_y 0x10"), 1, file + "-hnodes_y 0" + too_narrow},
        {"hRTzero 0", with("-hRTzero 0"), 1, file + "-hRTzero 0" + not_positive},
        {"htemperature 0", with("-htemperature 0"), 1, file + "-htemperature 0" + not_positive},
        {"htemperature negative", with("-htemperature -0.9"), 1,
         file + "-htemperature -0.90000000000000002" + not_positive},
        {"htau 0", with("-htau 0"), 1, file + "-htau 0" + not_positive},
        {"htau negative", with("-htau -0.5"), 1, file + "-htau -0.5" + not_positive},
        {"hrho_zero 0", with("-hrho_zero 0"), 1, file + "-hrho_zero 0" + not_positive},
        {"hrho_zero negative", with("-hrho_zero -1"), 1, file + "-hrho_zero -1" + not_positive},
        {"1 x 1", with("-hnodes_x 1 -hnodes_y 1"), 1, file + "-hnodes_x 1" + too_narrow},
        {"2 x 2", with("-hnodes_x 2 -hnodes_y 2"), 0, ""},
        {"1 x 1000", with("-hnodes_x 1 -hnodes_y 1000"), 1, file + "-hnodes_x 1" + too_narrow},
        {"negative size", with("-hnodes_y -8"), 1, file + "-hnodes_y -8" + too_narrow},
        // 65536^2 is 0 in 32 bits: only a count in 64 bits sees it.
        {"65536 x 65536", with("-hnodes_x 65536 -hnodes_y 65536"), 1,
         file + "-hnodes_x 65536 -hnodes_y 65536 give 73014444032 values"},
        {"46341 x 46341", with("-hnodes_x 46341 -hnodes_y 46341"), 1,
         file + "-hnodes_x 46341 -hnodes_y 46341 give 36507300777 values"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), c.contents);
        const ProcessResult r = run_program(GetParam().path, dir.path());
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        if (c.status == 0) {
            EXPECT_EQ(matching_lines(r.out, "iter=").size(), 2u);
            continue;
        }
        EXPECT_EQ(lines_of(r.err).size(), c.err.empty() ? 0u : 1u) << r.err;
        EXPECT_TRUE(ends_with(r.out, "Process " + std::to_string(r.pid) + " \n\n\n")) << r.out;
        EXPECT_EQ(list_dir(dir.path()), std::vector<std::string>{"nw2cuda.input"});
    }
}

// A snapshot file that cannot be written ends the run naming the file; the
// files written before it stay as a clean run writes them.
TEST_P(SolverProgram, SnapshotThatCannotBeWrittenEndsTheRunAndKeepsTheEarlierFiles)
{
    TempDir clean;
    write_file(clean.file("nw2cuda.input"), parameters(1, 1, 0));
    ASSERT_EQ(run_program(GetParam().path, clean.path()).status, 0);

    struct Case {
        const char *what;
        std::string name;                       // the file that cannot be written
        std::function<void(const std::string &)> place;  // prepares it at this path
        ChildSetup setup;
        std::string err;                        // standard error
        std::vector<std::string> intact;
    };
    const std::string pv0 = snapshot_name("PV", 0), bv1 = snapshot_name("BV", 1);
    const std::vector<std::string> first_two = {snapshot_name("BP", 0), snapshot_name("BV", 0)};
    const auto no_file = [](const std::string &) {};
    const std::string unwritten = "vdwflow: could not write the snapshot file ";
    const Case cases[] = {
        {"a full device", pv0,
         [](const std::string &path) { ASSERT_EQ(symlink("/dev/full", path.c_str()), 0); }, {},
         unwritten + pv0 + " completely: No space left on device\n", first_two},
        {"a directory in the way", bv1,
         [](const std::string &path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0); }, {},
         "vdwflow: cannot open " + bv1 + ": Is a directory\n",
         {snapshot_name("BP", 0), snapshot_name("BV", 0), pv0, snapshot_name("BP", 1)}},
        // The 8 x 8 VTK file has about 3000 bytes, the files before it less
        // than 300; the console output stays far below the limit.
        {"a file size limit", pv0, no_file,
         [] {
             signal(SIGXFSZ, SIG_IGN);
             const rlimit limit = {2048, 2048};
             setrlimit(RLIMIT_FSIZE, &limit);
         },
         unwritten + pv0 + " completely: File too large\n", first_two},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters(1, 1, 0));
        c.place(dir.file(c.name));
        const ProcessResult r = run_program(GetParam().path, dir.path(), {}, c.setup);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        for (const auto &name : c.intact)
            EXPECT_EQ(read_file(dir.file(name)), read_file(clean.file(name))) << name;
    }
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
    const std::string line = std::to_string(line_of("startup.cpp", "cudaGetDevice(&device)"));
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
