#!/usr/bin/env python3
"""How a z-uniform slab in three dimensions parts from the two-dimensional
one: every CHUNK steps, the largest relative difference of a 3-D node from
its 2-D node, and the largest spread across y and z of the 3-D slab itself
(a slab uniform in y and z stays so unless a transverse mode grows). Growth
like the square root of the steps is rounding; exponential growth would be an
instability of the three-dimensional step.

Usage:
  slab_drift.py T_OVER_TC SCHEME [--dt 4e-4] [--steps 60000] [--chunk 6000]
"""
import argparse

import numpy as np

import lattice3d as common

import vdwflow


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("t", type=float)
    ap.add_argument("scheme")
    ap.add_argument("--dt", type=float, default=4e-4)
    ap.add_argument("--steps", type=int, default=60000)
    ap.add_argument("--chunk", type=int, default=6000)
    a = ap.parse_args()
    keys = {"nodes_x": 128, "nodes_y": 4, "temperature": a.t, "delta_time": a.dt,
            "scheme": a.scheme, "init": "slab", "init_radius": 32}
    three = vdwflow.Simulation(dict(keys, nodes_z=4))
    two = vdwflow.Simulation(keys)
    rows = []
    while three.step_count < a.steps:
        three.step(a.chunk)
        two.step(a.chunk)
        n3, n2 = three.density, two.density
        diff = float(np.max(np.abs(n3 - n2[None]) / n2[None]))
        flat = n3.reshape(-1, 128)
        spread = float(np.max((flat.max(axis=0) - flat.min(axis=0)) / flat.mean(axis=0)))
        where = int(np.argmax(np.max(np.abs(n3 - n2[None]), axis=(0, 1))))
        rows.append([three.step_count, diff, spread, where])
        print(f"T/Tc {a.t} {a.scheme} step {three.step_count}: 3-D vs 2-D {diff:.2e} (at x = {where}), "
              f"spread across y and z {spread:.2e}", flush=True)
    common.save(f"slab_drift_{a.scheme}_T{a.t:g}.json", {"args": vars(a), "rows": rows,
                                                        "machine": common.machine()})


if __name__ == "__main__":
    main()
