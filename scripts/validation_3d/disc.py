#!/usr/bin/env python3
"""The two-dimensional counterpart of a sphere at rest: a disc of the same
start radius on the square of the same edge, posed at the densities of
equal chemical potential whose pressures differ by sigma / R0 (Kelvin's
shift in two dimensions), run as long; its largest speed, jump and radius
beside the sphere's.

Usage:
  disc.py R0 BOX STEPS [--dt 8e-4] [--t 0.9]
"""
import argparse
import math
import time

import numpy as np

import lattice3d as common

import vdwflow


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("r0", type=float)
    ap.add_argument("box", type=int)
    ap.add_argument("steps", type=int)
    ap.add_argument("--dt", type=float, default=8e-4)
    ap.add_argument("--t", type=float, default=0.9)
    a = ap.parse_args()
    fl = common.fluid(a.t)
    sigma = fl.surface_tension(common.KAPPA)
    w = fl.interface_width(common.KAPPA) / common.H
    liquid, vapour = common.equal_potential_pair(a.t, sigma / (a.r0 * common.H))
    out = {"machine": common.machine(), "args": vars(a)}
    for scheme in ("upwind", "lax_wendroff"):
        sim = vdwflow.Simulation({"nodes_x": a.box, "nodes_y": a.box, "temperature": a.t,
                                  "delta_time": a.dt, "scheme": scheme, "init": "drop",
                                  "init_radius": a.r0, "init_liquid": liquid,
                                  "init_vapour": vapour})
        cpu = time.process_time()
        sim.step(a.steps)
        n = sim.density
        c = 0.5 * (a.box - 1)
        y, x = np.mgrid[0:a.box, 0:a.box]
        r = np.hypot(x - c, y - c)
        # the disc's radius from the inside phase's area, the jump of the
        # mechanical pressure with the 9-point Laplacian
        lap = sum(np.roll(n, s, axis=ax) for s in (1, -1) for ax in (0, 1)) * 4
        lap += sum(np.roll(np.roll(n, s, axis=0), t, axis=1) for s in (1, -1) for t in (1, -1))
        lap = (lap - 20 * n) / (6 * common.H ** 2)
        P = sim.pressure - common.KAPPA * n * lap
        r0 = math.sqrt((n > 0.5 * (n.max() + n.min())).sum() / math.pi)
        inner, outer = r <= 1.5, r >= r0 + 2.5 * w
        n_in, n_out = n[inner].mean(), n[outer].mean()
        R = math.sqrt(((n - n_out) / (n_in - n_out)).sum() / math.pi)
        jump = P[inner].mean() - P[outer].mean()
        u = np.sqrt((sim.velocity ** 2).sum(axis=-1)).max()
        out[scheme] = {"umax": float(u), "R_nodes": R, "jump": float(jump),
                       "ratio": float(jump * R * common.H / sigma),
                       "cpu_s": time.process_time() - cpu}
        print(f"disc R0 {a.r0:g} on {a.box}^2, T/Tc {a.t}, dt {a.dt:g}, {a.steps} steps, {scheme}: "
              f"largest speed {u:.5f}, R {R:.3f}, jump {jump:.6f} = {out[scheme]['ratio']:.4f} "
              f"sigma / R", flush=True)
    common.save(f"disc_R{a.r0:g}_N{a.box}_dt{a.dt:g}_T{a.t:g}.json", out)


if __name__ == "__main__":
    main()
