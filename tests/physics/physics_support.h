// Shared pieces of the physics tests.
#pragma once

#include <chrono>
#include <functional>

namespace physics {

// Bound on the relative change of the total density of a separating fluid
// per 15 000 steps, as the kernel tests hold it: the single-precision
// quotients with fixed divisors make the scheme leak slightly once
// interfaces form.
constexpr double kLeakPer15000Steps = 6e-8;

inline double leak_bound(int steps)
{
    return kLeakPer15000Steps * steps / 15000;
}

// Wall-clock seconds of a piece of work, for the tests' reports.
inline double seconds_of(const std::function<void()> &work)
{
    const auto t0 = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace physics
