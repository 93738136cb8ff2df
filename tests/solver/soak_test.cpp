// A long run on a small lattice: 100 000 steps, watched from outside while it
// runs. Its resident memory and its open files must stay flat (no events,
// buffers or file handles pile up), and it must end normally.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

using namespace test_support;

namespace {

constexpr int kCycles = 10;
constexpr int kStepsPerCycle = 10000;

struct Program {
    const char *name;
    const char *path;
};

void PrintTo(const Program &program, std::ostream *os)
{
    *os << program.name;
}

const Program kPrograms[] = {
    {"vdwflow_a", VDWFLOW_A_PATH}, {"vdwflow_b", VDWFLOW_B_PATH}, {"vdwflow_c", VDWFLOW_C_PATH}};

// Resident memory in kB from /proc/<pid>/status; -1 once the process has
// ended (a zombie has no VmRSS line).
long resident_kb(int pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

int open_files(int pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    struct stat st;
    return stat(dir.c_str(), &st) == 0 ? static_cast<int>(list_dir(dir).size()) : -1;
}

struct Sample {
    int cycle;  // cycles whose snapshot exists
    long rss_kb;
    int fds;
};

class Soak : public ::testing::TestWithParam<Program> {};

TEST_P(Soak, HundredThousandStepsKeepMemoryAndFilesFlat)
{
    TempDir dir;
    write_file(dir.file("nw2cuda.input"),
               "-hnodes_x 8 -hnodes_y 8 -hniter_cycle " + std::to_string(kStepsPerCycle) +
                   " -hncycles " + std::to_string(kCycles) +
                   " -hRTzero 1 -htemperature 0.9 -hdelta_time 0.0001 -hkappa 0.0001"
                   " -hrho_zero 1 -htau 0.5");
    StartedProgram program(GetParam().path, dir.path());

    // Which cycles have written their snapshot, by the VTK file of each.
    const auto cycles_done = [&] {
        int done = 0;
        for (const auto &name : list_dir(dir.path()))
            if (name.rfind("PV", 0) == 0)
                done++;
        return done - 1;  // the initial snapshot
    };
    std::vector<Sample> samples;
    for (;;) {
        const int cycle = cycles_done();
        const long rss = resident_kb(program.pid());
        const int fds = open_files(program.pid());
        if (rss < 0 || fds < 0 || cycle >= kCycles)
            break;
        if (cycle >= 1)
            samples.push_back({cycle, rss, fds});
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const ProcessResult r = program.wait();
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    size_t steps = 0, snapshots = 0;
    for (const auto &line : lines_of(r.out)) {
        steps += line.rfind("Total Time = ", 0) == 0;
        snapshots += line.rfind("iter=", 0) == 0;
    }
    const bool whole_run_timed = std::string(GetParam().name) == "vdwflow_c";
    EXPECT_EQ(steps, static_cast<size_t>(kCycles) * kStepsPerCycle + whole_run_timed);
    EXPECT_EQ(snapshots, static_cast<size_t>(kCycles) + 1);

    // Early samples (after cycles 1 to 3) against late ones (7 to 9). A file
    // may be open for a snapshot at a sample, so the fewest open files of
    // each window count.
    struct Window {
        long least_rss = -1, most_rss = -1;
        int least_fds = -1;
        void add(const Sample &s)
        {
            least_rss = least_rss < 0 ? s.rss_kb : std::min(least_rss, s.rss_kb);
            most_rss = std::max(most_rss, s.rss_kb);
            least_fds = least_fds < 0 ? s.fds : std::min(least_fds, s.fds);
        }
    } early, late;
    for (const Sample &s : samples) {
        if (s.cycle <= 3)
            early.add(s);
        else if (s.cycle >= 7)
            late.add(s);
    }
    ASSERT_TRUE(early.least_rss >= 0 && late.least_rss >= 0) << samples.size() << " samples";
    std::printf("%s: %zu samples; resident %ld kB at least after cycles 1-3, %ld kB at most "
                "after 7-9; %d and %d open files\n",
                GetParam().name, samples.size(), early.least_rss, late.most_rss, early.least_fds,
                late.least_fds);
    EXPECT_LE(late.most_rss - early.least_rss, 1024) << "resident memory grows";
    EXPECT_EQ(late.least_fds, early.least_fds) << "open files pile up";
}

INSTANTIATE_TEST_SUITE_P(Solver, Soak, ::testing::ValuesIn(kPrograms),
                         [](const ::testing::TestParamInfo<Program> &info) {
                             return std::string(info.param.name);
                         });

}  // namespace
