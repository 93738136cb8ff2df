// Failure reporters: which stream, which text, which exit status.
#include <gtest/gtest.h>

#include <functional>
#include <utility>

#include "reporters.h"
#include "test_support.h"

using namespace test_support;

namespace {

TEST(Reporters, SuccessAndValidPointersPassSilently)
{
    const ProcessResult r = run_in_child([] {
        int x = 0;
        CUDAHandleError(cudaSuccess, "vdwflow_a.cu", 1);
        gpuAssert(cudaSuccess, "vdwflow_c.cu", 2, true);
        CHK_NULL_RETURN(&x);
        std::printf("still running\n");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "still running\n");
    EXPECT_EQ(r.err, "");
}

TEST(Reporters, HandleErrorPrintsOnStandardOutputAndExitsWithOne)
{
    const ProcessResult r =
        run_in_child([] { CUDAHandleError(cudaErrorMemoryAllocation, "vdwflow_a.cu", 57); });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(cudaGetErrorString(cudaErrorMemoryAllocation)) +
                         " in vdwflow_a.cu at line 57\n");
    EXPECT_EQ(r.err, "");
}

TEST(Reporters, GpuAssertPrintsOnStandardErrorAndExitsWithTheCode)
{
    for (const cudaError_t code :
         {cudaErrorInvalidValue, cudaErrorMemoryAllocation, cudaErrorInsufficientDriver}) {
        const ProcessResult r = run_in_child([&] { gpuAssert(code, "vdwflow_c.cu", 31, true); });
        EXPECT_EQ(r.status, static_cast<int>(code));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "GPUassert: " + std::string(cudaGetErrorString(code)) +
                             " vdwflow_c.cu 31\n");
    }
}

TEST(Reporters, GpuAssertWithoutAbortReturns)
{
    const ProcessResult r = run_in_child([] {
        gpuAssert(cudaErrorMemoryAllocation, "vdwflow_c.cu", 9, false);
        std::printf("continued\n");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "continued\n");
    EXPECT_EQ(r.err, "GPUassert: out of memory vdwflow_c.cu 9\n");
}

TEST(Reporters, NullPointerGoesToStandardOutput)
{
    const ProcessResult r = run_in_child([] {
        FILE *file = nullptr;
        CHK_NULL_RETURN(file);
        std::printf("not reached\n");
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Error, ptr is NULL\n");
    EXPECT_EQ(r.err, "");
}

}  // namespace

namespace {

struct Ended {
    int status;
};

[[noreturn]] void throw_ended(int status)
{
    throw Ended{status};
}

// The fuzzer stays alive through rejections by this hook.
TEST(Reporters, EveryEndGoesThroughTheHookWithItsStatus)
{
    const ProcessResult r = run_in_child([] {
        end_run_hook = throw_ended;
        const std::pair<int, std::function<void()>> ends[] = {
            {1, [] { CUDAHandleError(cudaErrorInvalidValue, "vdwflow_a.cu", 3); }},
            {2, [] { gpuAssert(cudaErrorMemoryAllocation, "vdwflow_c.cu", 4, true); }},
            {1, [] { CHK_NULL_RETURN(static_cast<double *>(nullptr)); }},
            {1, [] { CHK_NULL_FILE(nullptr, "absent.input"); }},
            {1, [] { report_unreadable_file("folder.input"); }},
        };
        for (const auto &[status, end] : ends) {
            try {
                end();
                std::printf("returned\n");
            } catch (const Ended &ended) {
                if (ended.status != status)
                    std::printf("status %d, not %d\n", ended.status, status);
            }
        }
        std::printf("alive\n");
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("alive\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("returned"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("status"), std::string::npos) << r.out;
}

}  // namespace
