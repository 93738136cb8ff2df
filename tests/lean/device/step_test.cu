// The lean solver's fused step against the step it fuses: the same bits as
// the hand-written serial step and as variant b's two kernels, from a field
// whose every value varies, on lattices whose rows the launch geometry covers
// exactly and with padding, and on the narrowest ones.
#include "device_constants.cuh"
#include "kernels/vdwflow_b.cuh"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <string>
#include <vector>

#include "initial_state.h"
#include "kernel_fixture.h"
#include "param_reader.h"
#include "reporters.h"
#include "serial_step.h"
#include "setup.h"
#include "state.h"

void report_status(cudaError_t status, int line)
{
    CUDAHandleError(status, "lean_step_test", line);
}

namespace {

using kt::Lattice;

// The lean run of the lattice's configuration (kt::Params' defaults).
lean::configuration lean_configuration(const Lattice &lat)
{
    parameter_table t;
    t.pairs = {{"-hnodes_x", std::to_string(lat.nx)}, {"-hnodes_y", std::to_string(lat.ny)},
               {"-hRTzero", "1"}, {"-htemperature", "0.9"}, {"-hdelta_time", "1e-4"},
               {"-htau", "1e-3"}, {"-hkappa", "1e-4"}, {"-hrho_zero", "1"}};
    return lean::read_configuration(t, "test", false);
}

// Runs `steps` lean steps from the slots 0 .. 9 of gf; returns them as the
// device state hands them back (distributions, and the density a snapshot
// shows), in a field of gf's size.
std::vector<double> lean_run(const Lattice &lat, const std::vector<double> &gf, int steps)
{
    const lean::configuration c = lean_configuration(lat);
    lean::device_state state(c);
    state.upload(gf.data());
    state.steps(steps);
    std::vector<double> out(lat.field_size);
    state.state_to(out.data());
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
