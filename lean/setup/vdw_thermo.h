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

// Root of f between lo and hi (either may be the larger), where f changes
// sign; to the last bits.
inline double bisect(const std::function<double(double)> &f, double lo, double hi)
{
    double flo = f(lo);
    if ((flo > 0) == (f(hi) > 0)) throw std::invalid_argument("bisect: no sign change");
    for (int i = 0; i < 200 && std::fabs(hi - lo) > 1e-15 * std::fmax(std::fabs(lo), std::fabs(hi));
         ++i) {
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
// The excess grand potential against the bulk density `bulk`,
// Omega_b(n) = psi(n) - psi(b) - mu(b) (n - b): >= 0 between coexisting
// densities, and the free energy that a gradient pays (Cahn).
inline double omega(const Fluid &fl, double n, double bulk)
{
    return fl.free_energy(n) - fl.free_energy(bulk) - fl.potential(bulk) * (n - bulk);
}

// The density between the coexisting ones where Omega against the vapour
// is largest (the steepest point of a flat interface).
inline double omega_peak(const Fluid &fl, Pair pair)
{
    const auto om = [&](double n) { return omega(fl, n, pair.vapour); };
    // Omega has one maximum between the two densities: sample, then refine
    // by golden-section search around the best sample.
    const int samples = 200;
    const double step = (pair.liquid - pair.vapour) / samples;
    int best = 1;
    for (int k = 2; k < samples; ++k)
        if (om(pair.vapour + k * step) > om(pair.vapour + best * step)) best = k;
    double lo = pair.vapour + (best - 1) * step, hi = pair.vapour + (best + 1) * step;
    const double g = 0.5 * (std::sqrt(5.0) - 1.0);
    for (int i = 0; i < 100; ++i) {
        const double m1 = hi - g * (hi - lo), m2 = lo + g * (hi - lo);
        if (om(m1) < om(m2))
            lo = m1;
        else
            hi = m2;
    }
    return 0.5 * (lo + hi);
}

// Width of the flat interface between coexisting densities `pair` for the
// surface-tension coefficient kappa, as the length W of the profile
// n = (liquid + vapour) / 2 + (liquid - vapour) / 2 tanh(x / W) with the same
// steepest slope. At equilibrium kappa n'^2 / 2 = Omega(n), the excess grand
// potential (Cahn), so the steepest slope is sqrt(2 max Omega / kappa). The
// tanh profile is exact near the critical point; below it, it is a start
// close to equilibrium.
inline double interface_width(const Fluid &fl, Pair pair, double kappa)
{
    const double peak = omega(fl, omega_peak(fl, pair), pair.vapour);
    return 0.5 * (pair.liquid - pair.vapour) / std::sqrt(2.0 * peak / kappa);
}

// The integral of sqrt(2 kappa Omega_b) from a to b (a gradient's free
// energy per unit area from density a to b; Simpson's rule).
inline double gradient_energy(const Fluid &fl, double kappa, double bulk, double a, double b)
{
    const int intervals = 400;
    const double h = (b - a) / intervals;
    const auto f = [&](double n) { return std::sqrt(2.0 * kappa * std::fmax(omega(fl, n, bulk), 0.0)); };
    double sum = f(a) + f(b);
    for (int k = 1; k < intervals; ++k) sum += (k % 2 ? 4.0 : 2.0) * f(a + k * h);
    return sum * h / 3.0;
}

// Young's cos(theta) for a wall of surface energy -h_w n_s (Cahn's wetting:
// the gradient -h_w / kappa at the wall): the wall density against each bulk
// phase b solves sqrt(2 kappa Omega_b(n_s)) = |h_w| on the branch from b
// toward the phase the wall prefers, the wall's tension is
// -h_w n_s + |integral from b to n_s of sqrt(2 kappa Omega_b)|, and
// cos(theta) = (sigma_wv - sigma_wl) / sigma_lv. Not clipped: beyond 1 (-1)
// the liquid (vapour) wets the wall completely; where no wall density solves
// the condition on a branch, a layer of the other phase forms: +-2.
inline double cos_young(const Fluid &fl, Pair pair, double h_w, double kappa)
{
    if (h_w == 0.0) return 0.0;
    const double peak = omega_peak(fl, pair);
    const auto tension = [&](double bulk, double end, bool &layer) {
        const auto excess = [&](double n) {
            return std::sqrt(2.0 * kappa * std::fmax(omega(fl, n, bulk), 0.0)) - std::fabs(h_w);
        };
        layer = !(excess(end) > 0.0);
        if (layer) return 0.0;
        const double n_s = bisect(excess, bulk, end);
        return -h_w * n_s + std::fabs(gradient_energy(fl, kappa, bulk, bulk, n_s));
    };
    bool vapour_layer = false, liquid_layer = false;
    const double with_vapour = tension(pair.vapour, h_w > 0.0 ? peak : 1e-300, vapour_layer);
    const double with_liquid = tension(pair.liquid, h_w > 0.0 ? 3.0 - 1e-15 : peak, liquid_layer);
    if (vapour_layer || liquid_layer) return h_w > 0.0 ? 2.0 : -2.0;
    const double sigma = gradient_energy(fl, kappa, pair.vapour, pair.vapour, pair.liquid);
    return (with_vapour - with_liquid) / sigma;
}

// The wetting h_w at which the vapour (h_w < 0: theta = 180 degrees) and
// the liquid (h_w > 0: theta = 0) wet a wall completely; between them a
// contact angle exists. Below the critical temperature, kappa > 0.
inline Pair complete_wetting(const Fluid &fl, double kappa)
{
    const Pair pair = coexistence(fl);
    const double reach = 4.0 * std::sqrt(2.0 * kappa * omega(fl, omega_peak(fl, pair), pair.vapour));
    const auto f_dry = [&](double h) { return cos_young(fl, pair, h, kappa) + 1.0; };
    const auto f_wet = [&](double h) { return cos_young(fl, pair, h, kappa) - 1.0; };
    return {bisect(f_dry, -reach, -1e-300), bisect(f_wet, 1e-300, reach)};
}

}  // namespace vdw
