// Fault injection, run with
//   CUDACPU_FAIL=cudaMalloc:2,launch:1,cudaMemcpy:1:719,cudaEventCreate:2
// in the environment.
#include <gtest/gtest.h>

#include "launch.h"

namespace {

__global__ void mark_kernel(int *flag) { *flag = 7; }

TEST(FaultInjection, TheNamedCallFailsOnceAndTheOthersSucceed)
{
    void *a = nullptr, *b = nullptr, *c = nullptr;
    EXPECT_EQ(cudaMalloc(&a, 64), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&b, 64), cudaErrorMemoryAllocation);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(cudaMalloc(&c, 64), cudaSuccess);

    int host = 0;
    EXPECT_EQ(cudaMemcpy(a, &host, sizeof host, cudaMemcpyHostToDevice), cudaErrorLaunchFailure)
        << "an entry may give its own error code";
    EXPECT_EQ(cudaMemcpy(a, &host, sizeof host, cudaMemcpyHostToDevice), cudaSuccess);

    int *flag = static_cast<int *>(a);
    launch<mark_kernel>(dim3(1), dim3(1), 0, 0, flag);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaMemcpy(&host, flag, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 0) << "the failed launch must not run the kernel";
    launch<mark_kernel>(dim3(1), dim3(1), 0, 0, flag);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(&host, flag, sizeof host, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 7);

    cudaEvent_t e1, e2;
    EXPECT_EQ(cudaEventCreate(&e1), cudaSuccess);
    EXPECT_EQ(cudaEventCreate(&e2), cudaErrorMemoryAllocation);
    cudaEventDestroy(e1);
    cudaFree(a);
    cudaFree(c);
}

}  // namespace
