#!/usr/bin/env python3
"""A drop or bubble at rest in a periodic cube, run until it settles.

Usage:
  sphere.py KIND R0 BOX [--scheme upwind|lax_wendroff] [--t 0.9] [--dt 8e-4]
            [--every 1000] [--max-steps 40000] [--min-steps 6000] [--name NAME]

KIND is drop or bubble, R0 its start radius and BOX the cube's edge (nodes).
The shape starts at the densities of equal chemical potential whose
pressures differ by 2 sigma / R0 (sigma of the flat interface, Cahn's
construction): Kelvin's shift, so that it starts near its equilibrium. Every
EVERY steps: its radius from the volume of the inside phase, bulk densities,
and the jump of the mechanical pressure p - kappa n lap(n) between the bulk
inside and far outside (common.drop_measure). It has settled when, over the
last 2 EVERY steps, R changed by less than 0.01 node and the jump by less
than 0.3 % (and at least MIN_STEPS ran). At the end: the largest speed, the
roundness of the half-density isosurface, and the record in
run/validation_3d/NAME.json.
"""
import argparse
import math
import os
import time

import numpy as np

import lattice3d as common

import vdwflow


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("kind", choices=("drop", "bubble"))
    ap.add_argument("r0", type=float)
    ap.add_argument("box", type=int)
    ap.add_argument("--scheme", default="upwind", choices=("upwind", "lax_wendroff"))
    ap.add_argument("--t", type=float, default=0.9)
    ap.add_argument("--dt", type=float, default=8e-4)
    ap.add_argument("--every", type=int, default=1000)
    ap.add_argument("--max-steps", type=int, default=40000)
    ap.add_argument("--min-steps", type=int, default=6000)
    ap.add_argument("--name")
    a = ap.parse_args()
    name = a.name or f"{a.kind}_{a.scheme}_R{a.r0:g}_N{a.box}_T{a.t:g}"

    fl = common.fluid(a.t)
    sigma = fl.surface_tension(common.KAPPA)
    w_nodes = fl.interface_width(common.KAPPA) / common.H
    jump0 = 2 * sigma / (a.r0 * common.H)
    inside, outside = common.equal_potential_pair(a.t, jump0 if a.kind == "drop" else -jump0)
    liquid, vapour = (inside, outside) if a.kind == "drop" else (outside, inside)
    keys = {"nodes_x": a.box, "nodes_y": a.box, "nodes_z": a.box, "temperature": a.t,
            "delta_time": a.dt, "kappa": common.KAPPA, "tau": 1e-3, "scheme": a.scheme,
            "init": a.kind, "init_radius": a.r0, "init_liquid": liquid, "init_vapour": vapour}
    sim = vdwflow.Simulation(keys)
    mass0 = sim.total_density
    history = []
    t0 = time.time()
    cpu0 = time.process_time()
    settled = False
    while sim.step_count < a.max_steps:
        sim.step(a.every)
        n = sim.density
        if not np.all(np.isfinite(n)):
            history.append({"step": sim.step_count, "unstable": True})
            break
        fl_mid = 0.5 * sum(fl.coexistence())
        if not np.any(n > fl_mid if a.kind == "drop" else n < fl_mid):
            history.append({"step": sim.step_count, "vanished": True})
            print(f"{name} step {sim.step_count}: the {a.kind} has vanished", flush=True)
            break
        m = common.drop_measure(n, sim.pressure, a.t, a.kind, w_nodes)
        m["step"] = sim.step_count
        m["umax"] = float(np.sqrt((sim.velocity ** 2).sum(axis=-1)).max())
        history.append(m)
        print(f"{name} step {m['step']:6d}  R {m['R_nodes']:.4f}  in {m['n_in']:.5f} "
              f"out {m['n_out']:.5f}  jump {m['jump']:.6f}  2s/R {2 * sigma / m['R']:.6f}  "
              f"umax {m['umax']:.5f}  {time.time() - t0:.0f} s", flush=True)
        if sim.step_count >= a.min_steps and len(history) >= 3:
            old = history[-3]
            if (abs(m["R_nodes"] - old["R_nodes"]) < 0.01 and
                    abs(m["jump"] - old["jump"]) < 3e-3 * abs(m["jump"])):
                settled = True
                break
    record = {"name": name, "args": vars(a), "keys": keys, "sigma": sigma, "W_nodes": w_nodes,
              "settled": settled, "history": history, "machine": common.machine(),
              "wall_s": time.time() - t0, "cpu_s": time.process_time() - cpu0,
              "mass_drift": sim.total_density / mass0 - 1}
    if history and not history[-1].get("unstable") and not history[-1].get("vanished"):
        n = sim.density
        last = history[-1]
        level = 0.5 * (last["n_in"] + last["n_out"])
        record["roundness"] = common.roundness(n, np.array(last["centre"]), level, a.box / 2)
        u = np.sqrt((sim.velocity ** 2).sum(axis=-1))
        r = common.distances(n.shape, np.array(last["centre"]))
        k = np.unravel_index(np.argmax(u), u.shape)
        record["umax_at"] = {"r_nodes": float(r[k]), "n": float(n[k])}
        record["final"] = last
        os.makedirs(common.RESULTS, exist_ok=True)
        np.save(os.path.join(common.RESULTS, name + "_layer.npy"), n[int(round(last["centre"][2]))])
        # the whole state, to go on from (sphere_rest.py)
        np.save(os.path.join(common.RESULTS, name + "_density.npy"), n)
        np.save(os.path.join(common.RESULTS, name + "_velocity.npy"), sim.velocity)
        print(f"{name}: settled {settled} at step {last['step']}, R {last['R_nodes']:.3f}, "
              f"jump {last['jump']:.6f}, 2 sigma/R {2 * sigma / last['R']:.6f} "
              f"(ratio {last['jump'] * last['R'] / (2 * sigma):.4f}), umax {last['umax']:.5f}, "
              f"roundness spread {record['roundness']['spread']:.2e}, "
              f"mass drift {record['mass_drift']:.2e}, {record['cpu_s']:.0f} s CPU", flush=True)
    print("wrote", common.save(name + ".json", record))


if __name__ == "__main__":
    main()
