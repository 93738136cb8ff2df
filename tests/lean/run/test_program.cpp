// vdwflow, the lean solver, run as a user runs it and beside vdwflow_b: the
// same files and snapshot lines on every lattice, the same end on every bad
// input, its own command line, console and runtime faults.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"

using namespace test_support;

namespace {

const std::string kLean = VDWFLOW_PATH;
const std::string kB = VDWFLOW_B_PATH;

struct Lattice {
    int nx, ny, niter_cycle, ncycles;
    double kappa = 0.0001, delta_time = 0.0001;
};

std::string parameters(const Lattice &l)
{
    return "-hnodes_x " + std::to_string(l.nx) + "\n-hnodes_y " + std::to_string(l.ny) +
           "\n-hniter_cycle " + std::to_string(l.niter_cycle) + "\n-hncycles " +
           std::to_string(l.ncycles) + "\n-hlast_iter 40\n-hRTzero 1\n-htemperature 0.9\n" +
           "-hdelta_time " + std::to_string(l.delta_time) + "\n-hkappa " +
           std::to_string(l.kappa) + "\n-hrho_zero 1\n-htau 0.001\n";
}

std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> found;
    for (const auto &line : lines_of(text))
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// Both programs in folders of their own with the same parameter file (and
// the same set-up of the child); what the two leave must be the same.
void expect_same_run(const std::string &parameter_file, const ChildSetup &setup = {})
{
    TempDir b, lean;
    for (const TempDir *dir : {&b, &lean})
        if (!parameter_file.empty())
            write_file(dir->file("nw2cuda.input"), parameter_file);
    const ProcessResult rb = run_program(kB, b.path(), {}, setup);
    const ProcessResult rl = run_program(kLean, lean.path(), {}, setup);
    EXPECT_EQ(rl.status, rb.status);
    EXPECT_EQ(rl.err, rb.err);
    EXPECT_EQ(lines_starting(rl.out, "iter="), lines_starting(rb.out, "iter="));
    // The last line: a snapshot line, or what a failure printed.
    const auto last_line = [](const std::string &out) {
        const auto lines = lines_of(out);
        return lines.empty() ? std::string() : lines.back();
    };
    EXPECT_EQ(last_line(rl.out), last_line(rb.out));
    // (vdwflow also leaves its checkpoint)
    auto lean_names = list_dir(lean.path());
    lean_names.erase(std::remove(lean_names.begin(), lean_names.end(), "vdwflow.checkpoint"),
                     lean_names.end());
    const auto names = list_dir(b.path());
    ASSERT_EQ(lean_names, names);
    for (const auto &name : names)
        EXPECT_TRUE(read_file(lean.file(name)) == read_file(b.file(name))) << name;
}

TEST(LeanProgram, SameFilesAndSnapshotLinesAsVdwflowB)
{
    const Lattice lattices[] = {
        {16, 16, 10, 3},        // square, three cycles
        {24, 8, 5, 3},          // wider than high
        {5, 37, 7, 2},          // higher than wide, odd
        {2, 9, 4, 3},           // two nodes wide: the images wrap twice
        {9, 3, 4, 3},           // three nodes high
        {2, 2, 3, 2},           // the smallest lattice
        {37, 23, 1, 4},         // one step per cycle; rows padded for the vector loops
        {16, 16, 0, 2},         // cycles without steps
        {40, 40, 100, 5, 0.5, 0.001},  // blows up: the files up to it, status 1
    };
    for (const Lattice &l : lattices) {
        SCOPED_TRACE(parameters(l));
        expect_same_run(parameters(l));
    }
}

// Every way the start-up or a snapshot can fail ends vdwflow as it ends
// vdwflow_b: status, messages and what is left in the folder.
TEST(LeanProgram, BadInputsEndAsInVdwflowB)
{
    const std::string good = parameters({8, 8, 2, 1});
    const std::string bad_files[] = {
        "",                                       // no parameter file
        "-hnodes_x 8 -hnodes_y",                  // a key without its value
        "-hnodes_x 1\n-hnodes_y 8\n-htemperature 0.9\n-hRTzero 1\n-htau 1\n-hrho_zero 1\n",
        "-hnodes_x 8\n-hnodes_y 8\n-htemperature 0.9\n-hRTzero 1\n-htau nan\n-hrho_zero 1\n",
        "-hnodes_x 65536\n-hnodes_y 65536\n-htemperature 0.9\n-hRTzero 1\n-htau 1\n"
        "-hrho_zero 1\n",
        good + "-hlast_iter 2147483647\n",
    };
    for (const std::string &file : bad_files) {
        SCOPED_TRACE(file);
        expect_same_run(file);
    }
    // A snapshot file that cannot be written completely (the 8 x 8 VTK file
    // has about 3000 bytes).
    expect_same_run(good, [] {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {2048, 2048};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
}

TEST(LeanProgram, OneConsoleLinePerCycleInsteadOfOnePerStep)
{
    TempDir dir;
    write_file(dir.file("nw2cuda.input"), parameters({16, 8, 25, 3}));
    const ProcessResult r = run_program(kLean, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::regex_search(
        r.out, std::regex(R"(^\nGPU Device 0: "[^"\n]*CPU[^"\n]*" with compute capability )"
                          R"(\d+\.\d+\n\nStart date = \d{1,2}/\d{1,2}/\d{4}  )"
                          R"(Start time = \d{1,2}:\d{1,2}:\d{1,2}\n\nProcess \d+ \n\n\n)")))
        << r.out;
    std::vector<std::string> events;
    for (const auto &line : lines_of(r.out)) {
        if (line.rfind("iter=", 0) == 0)
            events.push_back(line.substr(0, 15));
        else if (std::regex_match(
                     line, std::regex(R"(cycle \d of 3: 25 steps in \d+\.\d{3} s, \d+\.\d{2} MLUPS)")))
            events.push_back(line.substr(0, 7));
        else
            EXPECT_TRUE(line.empty() || line.rfind("GPU", 0) == 0 ||
                        line.rfind("Start", 0) == 0 || line.rfind("Process", 0) == 0)
                << line;
    }
    const std::vector<std::string> expected = {"iter=0000000040", "cycle 1", "iter=0000000065",
                                               "cycle 2", "iter=0000000090", "cycle 3",
                                               "iter=0000000115"};
    EXPECT_EQ(events, expected);
}

TEST(LeanProgram, CommandLine)
{
    const std::string input = parameters({8, 8, 2, 1});
    struct Case {
        const char *what;
        Arguments args;
        int status;
        std::string out;  // regular expression
        std::string err;
        std::vector<std::string> files;  // besides the parameter files
    };
    const std::string usage_hint = "Try 'vdwflow --help' for more information.\n";
    const std::string snapshots = "(\n?(GPU|Start|Process|cycle)[^\n]*\n*)*"
                                  "iter=0000000040  ntot=[^\n]+\n(\n?cycle[^\n]*\n)?"
                                  "iter=0000000042  ntot=[^\n]+\n";
    const std::vector<std::string> two_snapshots = {"BP", "BP", "BV", "BV", "PV", "PV"};
    const Case cases[] = {
        {"help", {"--help"}, 0, "Usage: vdwflow \\[OPTION\\]... \\[PARAMETER_FILE\\]\n[^]*", "", {}},
        {"short help", {"-h", "other.input"}, 0, "Usage: vdwflow [^]*", "", {}},
        {"unknown option", {"--fast"}, 2, "", "vdwflow: unknown option '--fast'\n" + usage_hint, {}},
        {"two files", {"other.input", "nw2cuda.input"}, 2, "",
         "vdwflow: more than one parameter file: 'nw2cuda.input'\n" + usage_hint, {}},
        {"file named", {"other.input"}, 0, snapshots, "", two_snapshots},
        {"file after --", {"--", "other.input"}, 0, snapshots, "", two_snapshots},
        {"quiet", {"-q"}, 0,
         "iter=0000000040  ntot=[^\n]+\niter=0000000042  ntot=[^\n]+\n", "", two_snapshots},
        {"missing file named", {"--quiet", "missing.input"}, 1, "Error, ptr is NULL\n",
         "vdwflow: cannot open missing.input: No such file or directory\n", {}},
        {"unsound file named", {"-q", "narrow.input"}, 1, "",
         "narrow.input: -hnodes_x 1 is smaller than the halo width 2\n", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), input);
        write_file(dir.file("other.input"), input);
        write_file(dir.file("narrow.input"), "-hnodes_x 1\n-hnodes_y 8\n");
        const ProcessResult r = run_program(kLean, dir.path(), {}, {}, c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(std::regex_match(r.out, std::regex(c.out))) << r.out;
        EXPECT_EQ(r.err, c.err);
        std::vector<std::string> kinds;
        for (const auto &name : list_dir(dir.path()))
            if (name.find(".input") == std::string::npos && name != "vdwflow.checkpoint")
                kinds.push_back(name.substr(0, 2));
        EXPECT_EQ(kinds, c.files);
    }
}

// vdwflow's own runtime calls whose status it examines, made to fail in
// turn: the run ends there with the runtime's message, naming the line of
// the call in the device state's source, status 1.
TEST(LeanProgram, EveryExaminedRuntimeFailureEndsTheRunThroughTheReporter)
{
    const std::string source = read_file(LEAN_SOURCE_DIR "/device/state.cu");
    const auto line_of = [&](const std::string &text) {
        const auto lines = lines_of(source);
        for (size_t i = 0; i < lines.size(); i++)
            if (lines[i].find(text) != std::string::npos)
                return std::to_string(i + 1);
        ADD_FAILURE() << text << " not in the device state's source";
        return std::string("?");
    };
    struct Fault {
        const char *rule, *call, *text;
        size_t snapshots;  // snapshot lines before the failure
    };
    // One step per cycle, two cycles. The state is allocated and uploaded
    // before the first snapshot. Launches: nine distributions and the
    // density unpacked, the first level, its images; nine packs for the
    // first checkpoint, then per step the step and its images.
    const Fault faults[] = {
        {"cudaMalloc:1", "cudaMalloc(&level_[0]", "out of memory", 0},
        {"cudaMalloc:3", "cudaMalloc(&nodes_buffer_", "out of memory", 0},
        {"cudaMemset:2", "cudaMemset(level_[1]", "invalid argument", 0},
        {"cudaMemcpy:1", "cudaMemcpy(nodes_buffer_, values", "invalid argument", 0},
        {"launch:1", "LAUNCH(lean_unpack, grid_", "unspecified launch failure", 0},
        {"launch:11", "LAUNCH(lean_start, grid_", "unspecified launch failure", 0},
        {"launch:12:9", "LAUNCH(lean_images, image_grid_, image_block_, 0, 0, first, lattice_);",
         "invalid configuration argument", 0},
        {"cudaDeviceSynchronize:1", "CHECK(cudaDeviceSynchronize());", "unspecified launch failure", 0},
        {"launch:15", "LAUNCH(lean_pack, grid_, block_, 0, 0, padded", "unspecified launch failure", 1},
        // A kernel fault shows at the copy back.
        {"cudaMemcpy:11:719", "CHECK(cudaMemcpy(values, nodes_buffer_", "unspecified launch failure", 1},
        {"launch:22", "LAUNCH(lean_step, grid_", "unspecified launch failure", 1},
        {"cudaFree:2", "CHECK(cudaFree(p));", "invalid argument", 3},
    };
    for (const Fault &f : faults) {
        SCOPED_TRACE(f.rule);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters({8, 8, 1, 2}));
        const ProcessResult r = run_program(kLean, dir.path(), {{"CUDACPU_FAIL", f.rule}});
        EXPECT_EQ(r.status, 1);
        const std::string end =
            std::string(f.text) + " in state.cu at line " + line_of(f.call) + "\n";
        EXPECT_TRUE(r.out.size() >= end.size() &&
                    r.out.compare(r.out.size() - end.size(), end.size(), end) == 0)
            << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(lines_starting(r.out, "iter=").size(), f.snapshots);
    }
    // The calls it does not examine leave the run going to its end.
    for (const char *rule : {"cudaMemcpyToSymbol:1", "cudaMemcpyToSymbol:43", "cudaEventCreate:2",
                             "cudaEventRecord:3", "cudaEventSynchronize:1",
                             "cudaEventElapsedTime:2", "cudaEventDestroy:1"}) {
        SCOPED_TRACE(rule);
        TempDir dir;
        write_file(dir.file("nw2cuda.input"), parameters({8, 8, 1, 2}));
        const ProcessResult r = run_program(kLean, dir.path(), {{"CUDACPU_FAIL", rule}});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(lines_starting(r.out, "iter=").size(), 3u);
    }
}

}  // namespace
