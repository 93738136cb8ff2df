// The five benchmark programs as a user runs them.
#include <gtest/gtest.h>

#include <regex>

#include "test_support.h"

using namespace test_support;

namespace {

const std::regex kTimingLine(R"(\nTotal Time = \d+\.\d{6} ms\n)");

struct Program {
    const char *name;
    const char *path;
    bool sorts;
};

const Program kPrograms[] = {
    {"prodbench_a", PRODBENCH_A, false}, {"prodbench_b", PRODBENCH_B, false},
    {"prodbench_c", PRODBENCH_C, false}, {"orderbench_a", ORDERBENCH_A, true},
    {"orderbench_b", ORDERBENCH_B, true},
};

TEST(BenchPrograms, PrintTheTimingLineAndForTheSortsThePassedVerdict)
{
    for (const Program &p : kPrograms) {
        TempDir dir;
        const ProcessResult r = run_program(p.path, dir.path());
        EXPECT_EQ(r.status, 0) << p.name;
        EXPECT_EQ(r.err, "") << p.name;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, kTimingLine)) << p.name << ": " << r.out;
        EXPECT_EQ(m.position(0), 0) << p.name << " prints nothing before the timing line";
        EXPECT_EQ(m.suffix().str(), p.sorts ? "Test PASSED\n" : "") << p.name;
        EXPECT_TRUE(list_dir(dir.path()).empty()) << p.name << " writes no files";
    }
}

TEST(BenchPrograms, ARefusedLaunchStillEndsNormallyAndTheSortsSayFailed)
{
    for (const Program &p : kPrograms) {
        TempDir dir;
        const ProcessResult r = run_program(p.path, dir.path(), {{"CUDACPU_FAIL", "launch:1"}});
        EXPECT_EQ(r.status, 0) << p.name;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.out, m, kTimingLine)) << p.name << ": " << r.out;
        EXPECT_EQ(m.suffix().str(), p.sorts ? "Test FAILED\n" : "") << p.name;
    }
}

TEST(BenchPrograms, AFailedTimingPrintsZero)
{
    for (const Program &p : kPrograms) {
        TempDir dir;
        const ProcessResult r =
            run_program(p.path, dir.path(), {{"CUDACPU_FAIL", "cudaEventElapsedTime:1"}});
        EXPECT_EQ(r.status, 0) << p.name;
        EXPECT_EQ(r.out.rfind("\nTotal Time = 0.000000 ms\n", 0), 0u) << p.name << ": " << r.out;
    }
}

// Built for a GPU and started where there is none, the programs still run to
// the end: no time measured and, for the sorts, an unsorted array.
TEST(BenchPrograms, CudaBuildsWithoutAGpuRunToTheEnd)
{
    if (nvidia_gpu_present()) GTEST_SKIP() << "a GPU is present";
    bool any = false;
    for (const Program &p : kPrograms) {
        const std::string path = cuda_program(p.name);
        if (path.empty()) continue;
        any = true;
        TempDir dir;
        const ProcessResult r = run_program(path, dir.path());
        EXPECT_EQ(r.status, 0) << p.name;
        EXPECT_EQ(r.out, std::string("\nTotal Time = 0.000000 ms\n") + (p.sorts ? "Test FAILED\n" : ""))
            << p.name;
    }
    if (!any) GTEST_SKIP() << "no cuda build was named (VDWFLOW_CUDA_BIN_DIR)";
}

}  // namespace
