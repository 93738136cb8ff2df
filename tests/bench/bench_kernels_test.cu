// The benchmark kernels on fresh random inputs: the three product kernels
// agree bit for bit, and both sorts sort anything and agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "bitonic_sort.cuh"
#include "launch.h"
#include "matrix_mul.cuh"

namespace {

// A seed per test run, printed with every failure so that it can be replayed
// (VDWFLOW_TEST_SEED=<seed>).
unsigned test_seed()
{
    static const unsigned seed = [] {
        if (const char *s = std::getenv("VDWFLOW_TEST_SEED")) return static_cast<unsigned>(std::strtoul(s, nullptr, 10));
        return std::random_device{}();
    }();
    return seed;
}

// ---------------------------------------------------------------------------

template <auto kernel>
std::vector<float> product(const std::vector<float> &m, const std::vector<float> &n, int width)
{
    const std::size_t bytes = m.size() * sizeof(float);
    float *md, *nd, *pd;
    cudaMalloc(&md, bytes);
    cudaMalloc(&nd, bytes);
    cudaMalloc(&pd, bytes);
    cudaMemcpy(md, m.data(), bytes, cudaMemcpyHostToDevice);
    cudaMemcpy(nd, n.data(), bytes, cudaMemcpyHostToDevice);
    const dim3 grid(width / TILE_WIDTH, width / TILE_WIDTH), block(TILE_WIDTH, TILE_WIDTH);
    launch<kernel>(grid, block, 0, 0, md, nd, pd, width);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<float> p(m.size());
    cudaMemcpy(p.data(), pd, bytes, cudaMemcpyDeviceToHost);
    cudaFree(md);
    cudaFree(nd);
    cudaFree(pd);
    return p;
}

TEST(MatrixProduct, AllThreeKernelsGiveTheSameBitsOnRandomMatrices)
{
    const unsigned seed = test_seed();
    SCOPED_TRACE("VDWFLOW_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> value(-100.0f, 100.0f);
    for (int width : {8, 64, 96}) {
        std::vector<float> m(width * width), n(width * width);
        for (auto &x : m) x = value(rng);
        for (auto &x : n) x = value(rng);
        const auto global = product<global_accumulator::MatrixMul>(m, n, width);
        const auto reg = product<register_accumulator::MatrixMul>(m, n, width);
        const auto tiled = product<MatrixMulSh>(m, n, width);
        // The host sum in the same order is the reference.
        for (int row = 0; row < width; ++row)
            for (int col = 0; col < width; ++col) {
                float sum = 0.0f;
                for (int k = 0; k < width; ++k) sum += m[row * width + k] * n[k * width + col];
                const int i = row * width + col;
                ASSERT_EQ(std::memcmp(&global[i], &sum, sizeof sum), 0) << "width " << width << " element " << i;
                ASSERT_EQ(std::memcmp(&reg[i], &sum, sizeof sum), 0) << "width " << width << " element " << i;
                ASSERT_EQ(std::memcmp(&tiled[i], &sum, sizeof sum), 0) << "width " << width << " element " << i;
            }
    }
}

TEST(MatrixProduct, FixedInputsGive1280Everywhere)
{
    const std::vector<float> m(64 * 64, 10.0f), n(64 * 64, 2.0f);
    for (const auto &p : {product<global_accumulator::MatrixMul>(m, n, 64),
                          product<register_accumulator::MatrixMul>(m, n, 64),
                          product<MatrixMulSh>(m, n, 64)})
        for (float x : p) ASSERT_EQ(x, 1280.0f);
}

// ---------------------------------------------------------------------------

template <auto kernel>
std::vector<int> sorted_on_device(const std::vector<int> &values)
{
    int *device = nullptr;
    const std::size_t bytes = values.size() * sizeof(int);
    cudaMalloc(&device, bytes);
    cudaMemcpy(device, values.data(), bytes, cudaMemcpyHostToDevice);
    launch<kernel>(dim3(1), dim3(SORT_SIZE), SORT_SIZE * sizeof(int), 0, device);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    std::vector<int> out(values.size());
    cudaMemcpy(out.data(), device, bytes, cudaMemcpyDeviceToHost);
    cudaFree(device);
    return out;
}

TEST(BitonicSort, BothKernelsSortAnyArrayAndAgree)
{
    const unsigned seed = test_seed();
    SCOPED_TRACE("VDWFLOW_TEST_SEED=" + std::to_string(seed));
    std::mt19937 rng(seed);
    std::vector<std::pair<std::string, std::vector<int>>> inputs;
    auto random = [&](int lo, int hi) {
        std::uniform_int_distribution<int> d(lo, hi);
        std::vector<int> v(SORT_SIZE);
        for (auto &x : v) x = d(rng);
        return v;
    };
    inputs.emplace_back("random", random(std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    inputs.emplace_back("many duplicates", random(-3, 3));
    auto ascending = random(-1000000, 1000000);
    std::sort(ascending.begin(), ascending.end());
    inputs.emplace_back("sorted", ascending);
    inputs.emplace_back("reversed", std::vector<int>(ascending.rbegin(), ascending.rend()));
    inputs.emplace_back("all equal", std::vector<int>(SORT_SIZE, 42));
    for (const auto &[name, values] : inputs) {
        auto expected = values;
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(sorted_on_device<bitonicSortNaive>(values), expected) << name;
        EXPECT_EQ(sorted_on_device<bitonicSort>(values), expected) << name;
    }
}

}  // namespace
