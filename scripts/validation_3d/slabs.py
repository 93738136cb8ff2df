#!/usr/bin/env python3
"""Coexistence from flat slabs in three dimensions against two.

Usage:
  slabs.py run [--temperatures 0.95,0.9,...] [--schemes upwind,lax_wendroff]
  slabs.py report

run: for each temperature and scheme a liquid slab (-hinit slab, half
thickness 32, normal along x) on 128 x 4 x 4 nodes and the same slab on the
two-dimensional 128 x 4 lattice, the same steps each (60 000: 24 time units
at dt 4e-4 from T/Tc 0.9 up, 12 at 2e-4 below; a posed slab rings, most near
Tc, and its bulk densities settle to 1e-4 and better), then the
bulk densities (means over the nodes 1.5 interface widths or more from both
interfaces, the 10-90 % width of Cahn's profile) against the equal-area
values, and the largest relative difference of any 3-D node from the 2-D
node it extends. A 3-D run that becomes unstable is retried at half the
step. Records in run/validation_3d/slab_*.json; report prints the table.
"""
import argparse
import math
import os
import time

import numpy as np

import lattice3d as common

import vdwflow

TEMPERATURES = (0.95, 0.9, 0.85, 0.8, 0.75, 0.7)
NX, NT, HALF = 128, 4, 32


def plan(t):
    return (4e-4, 60000) if t >= 0.9 else (2e-4, 60000)


def bulk(n_x, t):
    """Vapour and liquid means of a profile along x (slab centred)."""
    fl = common.fluid(t)
    width = 2 * math.atanh(0.8) * fl.interface_width(common.KAPPA) / common.H
    x = np.arange(len(n_x))
    d = np.abs(x - (len(n_x) - 1) / 2)  # distance from the slab's mid-plane
    liquid = d <= HALF - 1.5 * width
    vapour = d >= HALF + 1.5 * width
    return float(n_x[vapour].mean()), float(n_x[liquid].mean())


def one(t, scheme, nz, dt, steps):
    keys = {"nodes_x": NX, "nodes_y": NT, "nodes_z": nz, "temperature": t, "delta_time": dt,
            "kappa": common.KAPPA, "tau": 1e-3, "scheme": scheme, "init": "slab",
            "init_radius": HALF}
    sim = vdwflow.Simulation(keys)
    m0 = sim.total_density
    cpu = time.process_time()
    chunk = steps // 10
    trace = []
    for _ in range(10):
        sim.step(chunk)
        n = sim.density
        if not np.all(np.isfinite(n)):
            return {"unstable_at": sim.step_count, "dt": dt, "steps": steps}
        trace.append(bulk(n.reshape(-1, NX).mean(axis=0), t))
    n = sim.density
    u = np.sqrt((sim.velocity ** 2).sum(axis=-1)).max()
    return {"dt": dt, "steps": sim.step_count, "density": n.tolist(), "trace": trace,
            "mass_drift": sim.total_density / m0 - 1, "umax": float(u),
            "cpu_s": time.process_time() - cpu}


def run(args):
    for t in [float(x) for x in args.temperatures.split(",")]:
        for scheme in args.schemes.split(","):
            path = os.path.join(common.RESULTS, f"slab_{scheme}_T{t:g}.json")
            if os.path.exists(path):
                continue
            dt, steps = plan(t)
            three = one(t, scheme, NT, dt, steps)
            while "unstable_at" in three and three["dt"] > 2.4e-5:
                print(f"T/Tc {t} {scheme}: 3-D unstable at step {three['unstable_at']} "
                      f"(dt {three['dt']:g}); halving the step", flush=True)
                failed = three
                three = one(t, scheme, NT, three["dt"] / 2, three["steps"] * 2)
                three["failed"] = failed
            two = one(t, scheme, 1, three["dt"], three["steps"])
            rec = {"t": t, "scheme": scheme, "three": three, "two": two,
                   "machine": common.machine()}
            if "density" in three and "density" in two:
                n3 = np.array(three["density"])
                n2 = np.array(two["density"])
                rec["largest_difference"] = float(np.max(np.abs(n3 - n2[None]) / n2[None]))
                rec["vapour3"], rec["liquid3"] = three["trace"][-1]
                rec["vapour2"], rec["liquid2"] = two["trace"][-1]
                # the bulk densities' change over the last tenth of the run
                rec["last_tenth"] = float(max(abs(a / b - 1) for a, b in
                                              zip(three["trace"][-1], three["trace"][-2])))
                del three["density"], two["density"]
                print(f"T/Tc {t} {scheme} dt {three['dt']:g} x {three['steps']}: vapour "
                      f"{rec['vapour3']:.6f} (2-D {rec['vapour2']:.6f}), liquid {rec['liquid3']:.6f} "
                      f"(2-D {rec['liquid2']:.6f}), largest 3-D/2-D difference "
                      f"{rec['largest_difference']:.2e}, last tenth {rec['last_tenth']:.1e}, "
                      f"{three['cpu_s']:.0f} + {two['cpu_s']:.0f} s CPU", flush=True)
            common.save(os.path.basename(path), rec)


def report(args):
    print("| T/Tc | scheme | dt, steps | vapour 3-D | 2-D | equal area | deviation | liquid 3-D | 2-D "
          "| equal area | deviation | 3-D vs 2-D, any node | last tenth | mass drift 3-D | largest |u| |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for t in TEMPERATURES:
        fl = common.fluid(t)
        v0, l0 = fl.coexistence()
        for scheme in ("upwind", "lax_wendroff"):
            path = os.path.join(common.RESULTS, f"slab_{scheme}_T{t:g}.json")
            if not os.path.exists(path):
                continue
            r = common.load(os.path.basename(path))
            th = r["three"]
            if "vapour3" not in r:
                print(f"| {t} | {scheme} | unstable at step {th.get('unstable_at')} (dt {th['dt']:g}) |")
                continue
            note = f" (dt {th['failed']['dt']:g}: unstable at step {th['failed']['unstable_at']})" \
                if "failed" in th else ""
            print(f"| {t} | {scheme} | {th['dt']:g}, {th['steps']}{note} | {r['vapour3']:.6f} | "
                  f"{r['vapour2']:.6f} | {v0:.6f} | {100 * (r['vapour3'] / v0 - 1):+.2f} % | "
                  f"{r['liquid3']:.6f} | {r['liquid2']:.6f} | {l0:.6f} | "
                  f"{100 * (r['liquid3'] / l0 - 1):+.3f} % | {r['largest_difference']:.1e} | "
                  f"{r['last_tenth']:.1e} | {th['mass_drift']:+.1e} | {th['umax']:.1e} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    r = sub.add_parser("run")
    r.add_argument("--temperatures", default=",".join(str(t) for t in TEMPERATURES))
    r.add_argument("--schemes", default="upwind,lax_wendroff")
    sub.add_parser("report")
    a = ap.parse_args()
    run(a) if a.command == "run" else report(a)


if __name__ == "__main__":
    main()
