#!/usr/bin/python3
"""Thermodynamics of the solver's van der Waals fluid: what a run should give.

Usage:
  vdw_theory.py coexistence T_OVER_TC [--kappa K] [--rtzero R]
  vdw_theory.py wetting T_OVER_TC --kappa K (--angle DEG | --wetting H_W) [--rtzero R]

coexistence prints the equal-area (Maxwell) vapour and liquid densities at
T/Tc, their pressure, and for the surface-tension coefficient kappa (hkappa,
default 1e-4) the width of the flat interface and its surface tension.
wetting prints Young's contact angle of a wall with the wetting parameter
h_w (-hwall_wetting), or the h_w that gives an angle: what to put into a
parameter file for a drop that sits on its wall at that angle.

Units are the solver's: density in units of the critical density, T =
htemperature / hRTzero, Tc = 1 / hRTzero (--rtzero, default 1), lengths in
units of the lattice length (128 nodes), so that
    p(n)   = 3 n T / (3 - n) - a Tc n^2,  a = 9/8,
    mu(n)  = T (ln(n / (3 - n)) + 3 / (3 - n)) - 2 a Tc n,
    psi(n) = n T ln(n / (3 - n)) - a Tc n^2          (p = n psi' - psi).

The interface (Cahn): between the coexisting densities the excess grand
potential Omega(n) = psi(n) - psi(n_v) - mu_b (n - n_v) >= 0 and at
equilibrium kappa n'^2 / 2 = Omega, so that
    sigma = integral from n_v to n_l of sqrt(2 kappa Omega(n)) dn,
    W     = (n_l - n_v) / 2 / sqrt(2 max Omega / kappa),
W the width of the tanh profile with the same steepest slope.

A wall (Cahn's wetting) with the surface energy -h_w n_s sets the density
gradient dn/dz = -h_w / kappa at the wall (z into the fluid). Against bulk
phase b the wall density n_s solves sqrt(2 kappa Omega_b(n_s)) = |h_w| on
the branch from n_b toward the phase the wall prefers (h_w > 0: the liquid),
and the wall's tension is
    sigma_wb = -h_w n_s + |integral from n_b to n_s of sqrt(2 kappa Omega_b) dn|;
Young: cos(theta) = (sigma_wv - sigma_wl) / sigma_lv, theta inside the liquid.
Where |h_w| exceeds every sqrt(2 kappa Omega) on the branch, or the tensions
give |cos(theta)| >= 1, the wall is wetted (or dried) completely: 0 or 180
degrees.
"""
import argparse
import math
import sys

import numpy as np

A = 9.0 / 8.0
LATTICE_NODES = 128            # nodes per unit length: the spacing h is 1/128
VALUE_OPTIONS = ("--kappa", "--angle", "--wetting", "--rtzero")
GAUSS_NODES, GAUSS_WEIGHTS = np.polynomial.legendre.leggauss(96)


class TheoryError(ValueError):
    """A question the theory has no answer to (above Tc, a density out of range)."""


def bisect(f, lo, hi, iterations=200):
    """Root of f in [lo, hi], where f changes sign."""
    flo = f(lo)
    if (flo > 0) == (f(hi) > 0):
        raise TheoryError("no sign change")
    for _ in range(iterations):
        mid = 0.5 * (lo + hi)
        if mid in (lo, hi):
            break
        fm = f(mid)
        if (fm > 0) == (flo > 0):
            lo, flo = mid, fm
        else:
            hi = mid
    return 0.5 * (lo + hi)


def integrate(f, lo, hi):
    """Gauss-Legendre quadrature of a smooth f over [lo, hi]."""
    half = 0.5 * (hi - lo)
    return half * float(np.dot(GAUSS_WEIGHTS, f(0.5 * (hi + lo) + half * GAUSS_NODES)))


class Fluid:
    """The fluid at t = T / Tc with the energy scale Tc = 1 / hRTzero."""

    def __init__(self, t, tc=1.0):
        if not (t > 0 and tc > 0):
            raise TheoryError(f"T/Tc {t} and Tc {tc} must be positive")
        self.t, self.tc, self.temperature = t, tc, t * tc

    def pressure(self, n):
        return 3 * n * self.temperature / (3 - n) - A * self.tc * n * n

    def potential(self, n):
        return self.temperature * (np.log(n / (3 - n)) + 3 / (3 - n)) - 2 * A * self.tc * n

    def free_energy(self, n):
        return n * self.temperature * np.log(n / (3 - n)) - A * self.tc * n * n

    def slope(self, n):
        """dp/dn."""
        return 9 * self.temperature / (3 - n) ** 2 - 2 * A * self.tc * n

    def spinodal(self):
        """Densities where dp/dn = 0, one on either side of the critical density."""
        self.below_critical()
        return bisect(self.slope, 1e-12, 1.0), bisect(self.slope, 1.0, 3 - 1e-12)

    def below_critical(self):
        if not self.t < 1:
            raise TheoryError(f"T/Tc {self.t:g}: no two phases coexist at or above Tc")

    def coexistence(self):
        """Vapour and liquid densities of equal pressure and potential."""
        if not hasattr(self, "_pair"):
            low, high = self.spinodal()

            def density(p, lo, hi):
                # On a rising branch; its end where p lies past it (round-off
                # at the ends of the loop, close to Tc).
                if self.pressure(lo) >= p:
                    return lo
                if self.pressure(hi) <= p:
                    return hi
                return bisect(lambda n: self.pressure(n) - p, lo, hi)

            def branches(p):
                return density(p, 1e-300, low), density(p, high, 3 - 1e-15)

            def gap(p):
                vapour, liquid = branches(p)
                return self.potential(liquid) - self.potential(vapour)

            self._pair = branches(bisect(gap, max(self.pressure(high), 0.0), self.pressure(low)))
        return self._pair

    def omega(self, n, bulk):
        """Excess grand potential density against the bulk density given."""
        return (self.free_energy(n) - self.free_energy(bulk) -
                self.potential(bulk) * (n - bulk))

    def _peak(self):
        """Density and value of the largest Omega between the coexisting densities."""
        vapour, liquid = self.coexistence()
        grid = np.linspace(vapour, liquid, 401)[1:-1]
        k = int(np.argmax(self.omega(grid, vapour)))
        lo, hi = grid[max(k - 1, 0)], grid[min(k + 1, len(grid) - 1)]
        g = 0.5 * (math.sqrt(5) - 1)
        for _ in range(100):
            m1, m2 = hi - g * (hi - lo), lo + g * (hi - lo)
            if self.omega(m1, vapour) < self.omega(m2, vapour):
                lo = m1
            else:
                hi = m2
        n = 0.5 * (lo + hi)
        return n, float(self.omega(n, vapour))

    def interface_width(self, kappa):
        """W of the tanh profile with the steepest slope of the flat
        interface, in solver length units (times 128: nodes)."""
        vapour, liquid = self.coexistence()
        return 0.5 * (liquid - vapour) / math.sqrt(2 * self._peak()[1] / kappa)

    def surface_tension(self, kappa):
        vapour, liquid = self.coexistence()
        return integrate(lambda n: np.sqrt(2 * kappa * np.maximum(self.omega(n, vapour), 0)),
                         vapour, liquid)

    def wall_density(self, h_w, kappa, bulk):
        """The wall density against the bulk phase given, or None where the
        wall wets (dries) completely: no solution on the branch."""
        vapour, liquid = self.coexistence()
        if h_w == 0:
            return bulk
        peak = self._peak()[0]
        if bulk == vapour:
            end = peak if h_w > 0 else 1e-300
        else:
            end = 3 - 1e-15 if h_w > 0 else peak
        excess = lambda n: np.sqrt(2 * kappa * max(self.omega(n, bulk), 0.0)) - abs(h_w)
        if excess(end) <= 0:
            return None
        return bisect(excess, bulk, end)

    def wall_tension(self, h_w, kappa, bulk):
        """sigma_wb of the wall against the bulk phase, or None (complete wetting)."""
        n_s = self.wall_density(h_w, kappa, bulk)
        if n_s is None:
            return None
        layer = integrate(lambda n: np.sqrt(2 * kappa * np.maximum(self.omega(n, bulk), 0)),
                          bulk, n_s)
        return -h_w * n_s + abs(layer)

    def cos_young(self, h_w, kappa):
        """cos(theta) of Young's law, clipped to [-1, 1]."""
        vapour, liquid = self.coexistence()
        with_vapour = self.wall_tension(h_w, kappa, vapour)
        with_liquid = self.wall_tension(h_w, kappa, liquid)
        if with_vapour is None or with_liquid is None:  # a layer of the other phase
            return 1.0 if h_w > 0 else -1.0
        return float(np.clip((with_vapour - with_liquid) / self.surface_tension(kappa), -1, 1))

    def young_angle(self, h_w, kappa):
        """Contact angle inside the liquid, degrees."""
        return math.degrees(math.acos(self.cos_young(h_w, kappa)))

    def wetting_for_angle(self, angle, kappa):
        """The h_w whose Young angle is the one given (degrees, 0 < angle < 180)."""
        if not 0 < angle < 180:
            raise TheoryError(f"angle {angle:g}: between 0 and 180 degrees (not included)")
        target = math.cos(math.radians(angle))
        # cos(theta) rises with h_w: widen the bracket until it holds the target.
        reach = math.sqrt(2 * kappa * self._peak()[1])
        return bisect(lambda h: self.cos_young(h, kappa) - target, -4 * reach, 4 * reach)


def coexistence_text(t, kappa, tc=1.0):
    fluid = Fluid(t, tc)
    vapour, liquid = fluid.coexistence()
    width = fluid.interface_width(kappa)
    return "\n".join([
        f"T/Tc {t:g} (Tc {tc:g}), kappa {kappa:g}",
        f"vapour density        {vapour:.6f}",
        f"liquid density        {liquid:.6f}",
        f"saturation pressure   {fluid.pressure(vapour):.6f}",
        f"interface width W     {width:.6g} ({width * LATTICE_NODES:.3f} nodes; "
        f"10-90 %: {2 * math.atanh(0.8) * width * LATTICE_NODES:.3f} nodes)",
        f"surface tension       {fluid.surface_tension(kappa):.6g}"])


def wetting_text(t, kappa, tc=1.0, angle=None, wetting=None):
    fluid = Fluid(t, tc)
    if angle is not None:
        wetting = fluid.wetting_for_angle(angle, kappa)
    vapour, liquid = fluid.coexistence()
    cos = fluid.cos_young(wetting, kappa)
    said = {1.0: ": complete wetting, a liquid layer on the wall",
            -1.0: ": complete drying, a vapour layer on the wall"}.get(cos, "")
    lines = [f"T/Tc {t:g} (Tc {tc:g}), kappa {kappa:g}",
             f"wall wetting h_w      {wetting:.6g}",
             f"Young's angle         {math.degrees(math.acos(cos)):.2f} degrees "
             f"(inside the liquid){said}"]
    for name, bulk in (("vapour", vapour), ("liquid", liquid)):
        n_s = fluid.wall_density(wetting, kappa, bulk)
        lines.append(f"wall density, {name}  " +
                     (f"{n_s:.6f}" if n_s is not None else "none: a layer of the other phase"))
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(prog="vdw_theory.py", description=__doc__.split("\n\n")[0])
    commands = parser.add_subparsers(dest="command", required=True)
    coexist = commands.add_parser("coexistence", help="densities, interface width, tension")
    coexist.add_argument("t", type=float, metavar="T_OVER_TC")
    coexist.add_argument("--kappa", type=float, default=1e-4)
    wet = commands.add_parser("wetting", help="Young's angle of h_w, or h_w of an angle")
    wet.add_argument("t", type=float, metavar="T_OVER_TC")
    wet.add_argument("--kappa", type=float, required=True)
    which = wet.add_mutually_exclusive_group(required=True)
    which.add_argument("--angle", type=float, help="degrees, inside the liquid")
    which.add_argument("--wetting", type=float, help="h_w, as -hwall_wetting")
    for command in (coexist, wet):
        command.add_argument("--rtzero", type=float, default=1.0, help="hRTzero (default 1)")
    # --wetting -1.2e-3: argparse would take the value for an option.
    words = list(argv[1:])
    for i in range(len(words) - 1):
        if words[i] in VALUE_OPTIONS:
            words[i:i + 2] = [f"{words[i]}={words[i + 1]}", ""]
    args = parser.parse_args([w for w in words if w])
    try:
        if not args.kappa > 0:
            raise TheoryError(f"kappa {args.kappa:g} must be positive")
        if args.command == "coexistence":
            print(coexistence_text(args.t, args.kappa, 1 / args.rtzero))
        else:
            print(wetting_text(args.t, args.kappa, 1 / args.rtzero, args.angle, args.wetting))
    except (TheoryError, ZeroDivisionError) as problem:
        print(f"vdw_theory.py: {problem}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
