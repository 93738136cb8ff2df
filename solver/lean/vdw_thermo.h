// Thermodynamics of the solver's van der Waals fluid: the equation of state,
// its chemical potential, the spinodal, the coexisting (equal-area) densities
// and the width of a flat interface between them. vdwflow poses its drops
// and slabs with them; the physics tests compare runs against them.
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
    // Free energy density psi, with p = n psi' - psi and mu = psi' (up to a
    // term linear in n, which neither sees).
    double free_energy(double n) const
    {
        return n * T * std::log(n / (3.0 - n)) - a * Tc * n * n;
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

// Width of the flat interface between coexisting densities `pair` for the
// surface-tension coefficient kappa, as the length W of the profile
// n = (liquid + vapour) / 2 + (liquid - vapour) / 2 tanh(x / W) with the same
// steepest slope. At equilibrium kappa n'^2 / 2 = Omega(n), the excess grand
// potential Omega = psi(n) - psi(vapour) - mu (n - vapour) (Cahn), so the
// steepest slope is sqrt(2 max Omega / kappa). The tanh profile is exact near
// the critical point; below it, it is a start close to equilibrium.
inline double interface_width(const Fluid &fl, Pair pair, double kappa)
{
    const double mu = fl.potential(pair.vapour);
    const auto omega = [&](double n) {
        return fl.free_energy(n) - fl.free_energy(pair.vapour) - mu * (n - pair.vapour);
    };
    // Omega has one maximum between the two densities: sample, then refine
    // by golden-section search around the best sample.
    const int samples = 200;
    const double step = (pair.liquid - pair.vapour) / samples;
    int best = 1;
    for (int k = 2; k < samples; ++k)
        if (omega(pair.vapour + k * step) > omega(pair.vapour + best * step))
            best = k;
    double lo = pair.vapour + (best - 1) * step, hi = pair.vapour + (best + 1) * step;
    const double g = 0.5 * (std::sqrt(5.0) - 1.0);
    for (int i = 0; i < 100; ++i) {
        const double m1 = hi - g * (hi - lo), m2 = lo + g * (hi - lo);
        if (omega(m1) < omega(m2))
            lo = m1;
        else
            hi = m2;
    }
    const double peak = omega(0.5 * (lo + hi));
    return 0.5 * (pair.liquid - pair.vapour) / std::sqrt(2.0 * peak / kappa);
}

}  // namespace vdw
