#!/usr/bin/env python3
"""Mass in a closed three-dimensional box: walls on all six sides (wetting),
a solid ball and a post from a .npy mask (-hsolid_file), gravity along -z,
a drop falling onto the floor; both schemes.

Usage:
  mass.py [--nodes 24] [--steps 10000] [--dt 4e-4]

Prints the relative change of the total density every tenth of the run and
leaves run/validation_3d/mass.json.
"""
import argparse
import os
import time

import numpy as np

import lattice3d as common

import vdwflow


def mask(n):
    z, y, x = np.meshgrid(np.arange(n), np.arange(n), np.arange(n), indexing="ij")
    ball = (x - 0.7 * n) ** 2 + (y - 0.5 * n) ** 2 + (z - 0.3 * n) ** 2 < (0.15 * n) ** 2
    post = (abs(x - 0.25 * n) < 1.5) & (abs(y - 0.3 * n) < 1.5) & (z < 0.4 * n)
    return ball | post


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--nodes", type=int, default=24)
    ap.add_argument("--steps", type=int, default=10000)
    ap.add_argument("--dt", type=float, default=4e-4)
    a = ap.parse_args()
    n = a.nodes
    os.makedirs(common.RESULTS, exist_ok=True)
    path = os.path.join(common.RESULTS, "mass_mask.npy")
    solid = mask(n)
    np.save(path, solid)
    record = {"machine": common.machine(), "args": vars(a), "solid_nodes": int(solid.sum())}
    for scheme in ("upwind", "lax_wendroff"):
        keys = {"nodes_x": n, "nodes_y": n, "nodes_z": n, "temperature": 0.85, "delta_time": a.dt,
                "walls": "xyz", "wall_wetting": 4e-4, "gravity_z": -0.05, "solid_file": path,
                "init": "drop", "init_radius": n / 3, "init_z": 0.6 * n, "init_x": 0.4 * n,
                "scheme": scheme}
        sim = vdwflow.Simulation(keys)
        m0 = sim.total_density
        cpu = time.process_time()
        drift = []
        for _ in range(10):
            sim.step(a.steps // 10)
            drift.append(sim.total_density / m0 - 1)
        d = sim.density
        record[scheme] = {"keys": keys, "drift": drift, "cpu_s": time.process_time() - cpu,
                          "solid_max": float(np.abs(d[solid]).max()),
                          "umax": float(np.sqrt((sim.velocity ** 2).sum(axis=-1)).max()),
                          "n_range": [float(d[~solid].min()), float(d[~solid].max())]}
        print(f"{scheme}: relative change of the total density every {a.steps // 10} steps: "
              + " ".join(f"{x:+.2e}" for x in drift)
              + f"; solid nodes {record[scheme]['solid_max']:g}, density "
              f"{record[scheme]['n_range'][0]:.4f} .. {record[scheme]['n_range'][1]:.4f}, "
              f"{record[scheme]['cpu_s']:.0f} s CPU", flush=True)
    print("wrote", common.save("mass.json", record))


if __name__ == "__main__":
    main()
