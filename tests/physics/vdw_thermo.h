// Thermodynamics of the solver's van der Waals fluid, for the physics tests:
// the equation of state, its chemical potential, the spinodal and the
// coexisting (equal-area) densities.
//
// Units are the solver's: density in units of the critical density,
// temperatures T and Tc as the solver derives them (T = htemperature /
// hRTzero, Tc = 1 / hRTzero), so that
//     p(n) = 3 n T / (3 - n) - a Tc n^2,  a = 9/8,
// with its critical point at n = 1, T = Tc, p = 3/8 Tc.
#pragma once

#include <cmath>
#include <functional>
#include <stdexcept>

namespace vdw {

constexpr double a = 9.0 / 8.0;

struct Fluid {
    double T;   // fluid temperature
    double Tc;  // critical temperature

    double pressure(double n) const { return 3.0 * n * T / (3.0 - n) - a * Tc * n * n; }
    double dpressure(double n) const { return 9.0 * T / ((3.0 - n) * (3.0 - n)) - 2.0 * a * Tc * n; }
    // Chemical potential per unit mass, mu = integral of dp / n (up to a
    // constant): two phases in equilibrium share both p and mu.
    double potential(double n) const
    {
        return T * (std::log(n / (3.0 - n)) + 3.0 / (3.0 - n)) - 2.0 * a * Tc * n;
    }
};

// Root of f in [lo, hi], where f changes sign; to the last bits.
inline double bisect(const std::function<double(double)> &f, double lo, double hi)
{
    double flo = f(lo);
    if ((flo > 0) == (f(hi) > 0)) throw std::invalid_argument("bisect: no sign change");
    for (int i = 0; i < 200 && hi - lo > 1e-15 * std::fabs(hi); ++i) {
        const double mid = 0.5 * (lo + hi);
        const double fm = f(mid);
        if ((fm > 0) == (flo > 0)) {
            lo = mid;
            flo = fm;
        } else {
            hi = mid;
        }
    }
    return 0.5 * (lo + hi);
}

struct Pair {
    double vapour;
    double liquid;
};

// Densities where dp/dn = 0, i.e. n (3 - n)^2 = 4 T / Tc; below Tc one on
// each side of the critical density.
inline Pair spinodal(const Fluid &fl)
{
    if (!(fl.T < fl.Tc)) throw std::invalid_argument("spinodal: not below the critical temperature");
    const auto f = [&](double n) { return fl.dpressure(n); };
    return {bisect(f, 1e-12, 1.0), bisect(f, 1.0, 3.0 - 1e-12)};
}

// Coexisting densities: equal pressure and equal chemical potential, which is
// Maxwell's equal-area rule for the isotherm p(1/n). Bisection on the
// saturation pressure between the spinodal pressures: for each trial pressure
// the vapour and liquid branches give one density each, and the difference of
// their potentials falls monotonically with the pressure.
inline Pair coexistence(const Fluid &fl)
{
    const Pair sp = spinodal(fl);
    const double pmin = fl.pressure(sp.liquid), pmax = fl.pressure(sp.vapour);
    const auto branches = [&](double p) {
        const auto f = [&](double n) { return fl.pressure(n) - p; };
        return Pair{bisect(f, 1e-12, sp.vapour), bisect(f, sp.liquid, 3.0 - 1e-12)};
    };
    const auto gap = [&](double p) {
        const Pair b = branches(p);
        return fl.potential(b.liquid) - fl.potential(b.vapour);
    };
    // Trial pressures stay a hair inside the interval, where both branches
    // still cross them.
    const double margin = 1e-9 * (pmax - pmin);
    return branches(bisect(gap, std::fmax(pmin, 0.0) + margin, pmax - margin));
}

}  // namespace vdw
