// The five benchmark programs as a user runs them.
#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>

#include "test_support.h"

using namespace test_support;

namespace {

// When `out` opens with the timing line ("\nTotal Time = <digits>.<6 digits>
// ms\n"), what follows it; nothing otherwise.
std::optional<std::string> after_timing_line(const std::string &out)
{
    const std::string head = "\nTotal Time = ";
    if (out.compare(0, head.size(), head) != 0) return std::nullopt;
    std::size_t i = head.size();
    const std::size_t digits = i;
    while (i < out.size() && std::isdigit(static_cast<unsigned char>(out[i]))) ++i;
    if (i == digits || i >= out.size() || out[i++] != '.') return std::nullopt;
    for (int k = 0; k < 6; ++k, ++i)
        if (i >= out.size() || !std::isdigit(static_cast<unsigned char>(out[i]))) return std::nullopt;
    const std::string tail = " ms\n";
    if (out.compare(i, tail.size(), tail) != 0) return std::nullopt;
    return out.substr(i + tail.size());
}

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
        const auto rest = after_timing_line(r.out);
        ASSERT_TRUE(rest) << p.name << " must open with the timing line: " << r.out;
        EXPECT_EQ(*rest, p.sorts ? "Test PASSED\n" : "") << p.name;
        EXPECT_TRUE(list_dir(dir.path()).empty()) << p.name << " writes no files";
    }
}

TEST(BenchPrograms, ARefusedLaunchStillEndsNormallyAndTheSortsSayFailed)
{
    for (const Program &p : kPrograms) {
        TempDir dir;
        const ProcessResult r = run_program(p.path, dir.path(), {{"CUDACPU_FAIL", "launch:1"}});
        EXPECT_EQ(r.status, 0) << p.name;
        const auto rest = after_timing_line(r.out);
        ASSERT_TRUE(rest) << p.name << ": " << r.out;
        EXPECT_EQ(*rest, p.sorts ? "Test FAILED\n" : "") << p.name;
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
