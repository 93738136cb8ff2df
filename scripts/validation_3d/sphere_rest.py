#!/usr/bin/env python3
"""A settled sphere at rest, continued at a smaller time step: the flow the
Lax-Wendroff scheme leaves around a drop grows with the step (two
dimensions, 48^2, R0 12: 0.0036 at dt 2e-4, 0.0055 at 4e-4, 0.0094 at 8e-4;
the upwind step's does not change), so the sphere that sphere.py settled at
dt 8e-4 goes on from its density and velocity at DT until its largest speed
has settled.

Usage:
  sphere_rest.py NAME [--dt 2e-4] [--steps 5000] [--every 500]

NAME is a sphere.py record in run/validation_3d/ with its state saved
(NAME_density.npy, NAME_velocity.npy). Leaves NAME_dtDT.json.
"""
import argparse
import os
import time

import numpy as np

import lattice3d as common

import vdwflow


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("name")
    ap.add_argument("--dt", type=float, default=2e-4)
    ap.add_argument("--steps", type=int, default=5000)
    ap.add_argument("--every", type=int, default=500)
    a = ap.parse_args()
    rec = common.load(a.name + ".json")
    n0 = np.load(os.path.join(common.RESULTS, a.name + "_density.npy"))
    u0 = np.load(os.path.join(common.RESULTS, a.name + "_velocity.npy"))
    keys = {k: v for k, v in rec["keys"].items() if not k.startswith("init")}
    keys["delta_time"] = a.dt
    sim = vdwflow.Simulation(keys, density=n0, velocity=u0)
    cpu = time.process_time()
    trace = []
    while sim.step_count < a.steps:
        sim.step(a.every)
        u = float(np.sqrt((sim.velocity ** 2).sum(axis=-1)).max())
        trace.append([sim.step_count, u])
        print(f"{a.name} at dt {a.dt:g}: step {sim.step_count} largest speed {u:.5f}", flush=True)
    n = sim.density
    fl = common.fluid(keys["temperature"])
    w = fl.interface_width(common.KAPPA) / common.H
    kind = "drop" if rec["keys"]["init"] == "drop" else "bubble"
    m = common.drop_measure(n, sim.pressure, keys["temperature"], kind, w)
    level = 0.5 * (m["n_in"] + m["n_out"])
    out = {"from": a.name, "keys": keys, "trace": trace, "final": m,
           "roundness": common.roundness(n, np.array(m["centre"]), level, n.shape[0] / 2),
           "machine": common.machine(), "cpu_s": time.process_time() - cpu,
           "speed_last_half": float(max(u for s, u in trace if s > a.steps / 2))}
    print(f"largest speed over the last half {out['speed_last_half']:.5f}; R {m['R_nodes']:.3f}, "
          f"jump {m['jump']:.6f}, roundness spread {out['roundness']['spread']:.2e}, "
          f"{out['cpu_s']:.0f} s CPU")
    print("wrote", common.save(f"{a.name}_dt{a.dt:g}.json", out))


if __name__ == "__main__":
    main()
