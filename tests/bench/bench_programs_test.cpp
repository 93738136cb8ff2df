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
    const char *kernel;
};

const Program kPrograms[] = {
    {"prodbench_a", PRODBENCH_A, false, "MatrixMul"},
    {"prodbench_b", PRODBENCH_B, false, "MatrixMulSh"},
    {"prodbench_c", PRODBENCH_C, false, "MatrixMul"},
    {"orderbench_a", ORDERBENCH_A, true, "bitonicSortNaive"},
    {"orderbench_b", ORDERBENCH_B, true, "bitonicSort"},
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

// Each runtime call of the benchmarks made to fail in turn. None is examined:
// the run goes to its end with status 0. A launch that is refused or faults
// (a null device pointer after a failed allocation) is named on standard
// error; a sort that did not happen fails the order check.
TEST(BenchPrograms, EveryFailedRuntimeCallLeavesTheRunGoing)
{
    enum Family { kProducts = 1, kSorts = 2, kBoth = 3 };
    struct Fault {
        const char *rule;
        int family;
        const char *launch_error;  // the runtime's text on standard error, or none
        bool sorted;
    };
    const char *illegal = "an illegal memory access was encountered";
    const Fault faults[] = {
        {"cudaMalloc:1", kBoth, illegal, false},
        {"cudaMalloc:2", kProducts, illegal, true},
        {"cudaMalloc:3", kProducts, illegal, true},
        {"cudaMemcpy:1", kBoth, nullptr, true},  // the sort then orders the poison
        {"cudaMemcpy:2", kBoth, nullptr, false},
        {"cudaMemcpy:3", kProducts, nullptr, true},
        {"cudaEventCreate:1", kBoth, nullptr, true},
        {"cudaEventCreate:2", kBoth, nullptr, true},
        {"cudaEventRecord:1", kBoth, nullptr, true},
        {"cudaEventRecord:2", kBoth, nullptr, true},
        {"cudaEventSynchronize:1", kBoth, nullptr, true},
        {"cudaEventElapsedTime:1", kBoth, nullptr, true},
        {"launch:1", kBoth, "unspecified launch failure", false},
        {"launch:1:9", kBoth, "invalid configuration argument", false},
        {"cudaFree:1", kSorts, nullptr, true},
    };
    for (const Program &p : kPrograms) {
        for (const Fault &f : faults) {
            if (!(f.family & (p.sorts ? kSorts : kProducts))) continue;
            SCOPED_TRACE(std::string(p.name) + " " + f.rule);
            TempDir dir;
            const ProcessResult r = run_program(p.path, dir.path(), {{"CUDACPU_FAIL", f.rule}});
            EXPECT_EQ(r.status, 0);
            const auto rest = after_timing_line(r.out);
            ASSERT_TRUE(rest) << r.out;
            if (p.sorts) EXPECT_EQ(*rest, f.sorted ? "Test PASSED\n" : "Test FAILED\n");
            else EXPECT_EQ(*rest, "");
            EXPECT_EQ(r.err, f.launch_error ? std::string("launch of ") + p.kernel +
                                                  " refused or failed: " + f.launch_error + "\n"
                                            : "");
        }
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
        EXPECT_EQ(r.err.rfind(std::string("launch of ") + p.kernel + " refused or failed: ", 0), 0u)
            << p.name << ": " << r.err;
    }
    if (!any) GTEST_SKIP() << "no cuda build was named (VDWFLOW_CUDA_BIN_DIR)";
}

}  // namespace
