// The lean solver's fused step against the step it fuses: the same bits as
// the hand-written serial step and as variant b's two kernels, from a field
// whose every value varies, on lattices whose rows the launch geometry covers
// exactly and with padding, and on the narrowest ones.
#include "device_constants.cuh"
#include "kernels/vdwflow_b.cuh"
#include "kernels/vdwflow_lean.cuh"
#include "lean_state.cuh"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "kernel_fixture.h"
#include "serial_step.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "lean_kernel_test", line);
}

namespace {

using kt::Lattice;

// Runs `steps` lean steps from gf; returns the host field as lean_state_to_host
// leaves it (distributions, and the density a snapshot shows).
std::vector<double> lean_run(const Lattice &lat, const std::vector<double> &gf, int steps)
{
    host_allocation();
    std::copy(gf.begin(), gf.end(), hgf);
    std::copy(lat.speed_x.begin(), lat.speed_x.end(), hcspeed_x);
    std::copy(lat.speed_y.begin(), lat.speed_y.end(), hcspeed_y);
    std::copy(lat.weight.begin(), lat.weight.end(), hcweight);
    lean_allocation();
    lean_upload();
    lean_steps(steps);
    lean_state_to_host();
    std::vector<double> out(hgf, hgf + lat.field_size);
    lean_free();
    host_free();
    return out;
}

TEST(LeanStep, SameBitsAsTheSerialStepAndTheKernelsOfVariantB)
{
    const std::vector<std::array<int, 2>> sizes = {{2, 2}, {3, 2}, {2, 3}, {7, 5}, {37, 23},
                                                   {64, 16}};
    for (auto [nx, ny] : sizes) {
        for (int steps : {0, 1, 4}) {
            SCOPED_TRACE(testing::Message() << nx << " x " << ny << ", " << steps << " steps");
            Lattice lat({nx, ny});
            const std::vector<double> start = kt::varied_field(lat);

            std::vector<double> serial_gf = start;
            std::vector<double> halo(static_cast<std::size_t>(hnvar) * hlnodes, NAN);
            lat.one.upload(start);
            for (int s = 0; s < steps; ++s) {
                serial::step(serial_gf.data(), halo.data(), lat.speed_x.data(),
                             lat.speed_y.data(), lat.weight.data());
                lat.step();
            }
            const std::vector<double> kernels_gf = lat.one.download();
            const std::vector<double> lean_gf = lean_run(lat, start, steps);

            int mismatches = 0;
            for (int slot = 0; slot <= hkn; ++slot) {
                if (slot < hkn && steps == 0) continue;  // (nothing moved yet)
                for (int n = 0; n < lat.nodes; ++n) {
                    const std::size_t i = lat.slot(slot, n);
                    if (!kt::same_bits(lean_gf[i], serial_gf[i]) ||
                        !kt::same_bits(lean_gf[i], kernels_gf[i])) {
                        if (++mismatches <= 3)
                            ADD_FAILURE() << "slot " << slot << " of node " << n << ": lean "
                                          << lean_gf[i] << ", serial " << serial_gf[i]
                                          << ", variant b " << kernels_gf[i];
                    }
                }
            }
            EXPECT_EQ(mismatches, 0);
        }
    }
}

// The state handed over to the host and uploaded again continues as if it
// had stayed on the device.
TEST(LeanStep, StateBackFromTheHostContinuesBitForBit)
{
    Lattice lat({19, 6});
    const std::vector<double> start = kt::varied_field(lat);
    const std::vector<double> straight = lean_run(lat, start, 5);
    const std::vector<double> halfway = lean_run(lat, start, 2);
    const std::vector<double> resumed = lean_run(lat, halfway, 3);
    for (int slot = 0; slot <= hkn; ++slot)
        for (int n = 0; n < lat.nodes; ++n)
            ASSERT_TRUE(kt::same_bits(resumed[lat.slot(slot, n)], straight[lat.slot(slot, n)]))
                << "slot " << slot << " of node " << n;
}

}  // namespace
