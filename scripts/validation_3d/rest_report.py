#!/usr/bin/env python3
"""The sphere at rest: largest speed and roundness of the settled spheres
(sphere.py, sphere_rest.py), beside the discs of the same start (disc.py).

Usage:
  rest_report.py [--figure docs/three_d_sphere_at_rest.png]

Prints one row per record and draws the density and the speed on the
sphere's middle layer for both schemes.
"""
import argparse
import glob
import os

import numpy as np

import lattice3d as common


def rows():
    # the measure's own floor: the posed (exactly spherical) tanh profile
    import vdwflow
    start = vdwflow.Simulation({"nodes_x": 48, "nodes_y": 48, "nodes_z": 48, "temperature": 0.9,
                                "init": "drop", "init_radius": 12}).density
    floor = common.roundness(start, np.array([23.5, 23.5, 23.5]),
                             0.5 * (start.max() + start.min()), 24)
    print(f"the posed tanh sphere of radius 12, sampled on the nodes: spread {floor['spread']:.1e}")
    print("| run | dt | steps | largest speed | at r (nodes) | R | radius along axes | face diagonals "
          "| body diagonals | spread |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for path in sorted(glob.glob(os.path.join(common.RESULTS, "drop_*_N*_T0.9*.json"))):
        r = common.load(os.path.basename(path))
        if "roundness" not in r:
            continue
        f = r["final"]
        dt = r["keys"]["delta_time"]
        steps = f["step"] if "trace" not in r else f"+{r['trace'][-1][0]}"
        speed = f["umax"] if "trace" not in r else r["speed_last_half"]
        at = r.get("umax_at", {}).get("r_nodes")
        at = f"{at:.1f}" if at is not None else "-"
        ro = r["roundness"]
        state = os.path.join(common.RESULTS, r.get("name", "") + "_density.npy")
        if os.path.exists(state):  # measured again with this script's interpolation
            level = 0.5 * (f["n_in"] + f["n_out"])
            n = np.load(state)
            ro = common.roundness(n, np.array(f["centre"]), level, n.shape[0] / 2)
        print(f"| {os.path.basename(path)[:-5]} | {dt:g} | {steps} | {speed:.5f} | {at} | "
              f"{f['R_nodes']:.3f} | {ro['axes']['mean']:.4f} | {ro['face diagonals']['mean']:.4f} | "
              f"{ro['body diagonals']['mean']:.4f} | {ro['spread']:.2e} |")
    for path in sorted(glob.glob(os.path.join(common.RESULTS, "disc_R12_N48_*.json"))):
        r = common.load(os.path.basename(path))
        print(f"| {os.path.basename(path)[:-5]} (2-D) | {r['args']['dt']:g} | {r['args']['steps']} | "
              f"upwind {r['upwind']['umax']:.5f}, lax_wendroff {r['lax_wendroff']['umax']:.5f} |")


def draw(path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, axes = plt.subplots(1, 2, figsize=(9.6, 4.4))
    for ax, scheme in zip(axes, ("upwind", "lax_wendroff")):
        name = f"drop_{scheme}_R12_N48_T0.9"
        n = np.load(os.path.join(common.RESULTS, name + "_density.npy"))
        u = np.load(os.path.join(common.RESULTS, name + "_velocity.npy"))
        k = n.shape[0] // 2
        speed = np.sqrt((u[k] ** 2).sum(axis=-1))
        im = ax.imshow(speed, origin="lower", cmap="viridis")
        ax.contour(n[k], levels=[0.5 * (n.max() + n.min())], colors="w", linewidths=0.8)
        step = 3
        y, x = np.mgrid[0:n.shape[1]:step, 0:n.shape[2]:step]
        ax.quiver(x, y, u[k, ::step, ::step, 0], u[k, ::step, ::step, 1], color="w", scale=None)
        fig.colorbar(im, ax=ax, shrink=0.8, label="|u| (solver units)")
        ax.set_title(f"{scheme}, dt 8e-4: largest |u| {np.sqrt((u ** 2).sum(axis=-1)).max():.4f}",
                     fontsize=9)
        ax.set_xlabel("x (nodes)")
        ax.set_ylabel("y (nodes)")
    fig.suptitle("Drop at rest, R0 12 in 48^3, T/Tc 0.9: speed on the middle layer z = 24, "
                 "half-density contour", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("wrote", path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--figure", default=os.path.join(common.REPOSITORY, "docs",
                                                     "three_d_sphere_at_rest.png"))
    a = ap.parse_args()
    rows()
    if a.figure:
        draw(a.figure)


if __name__ == "__main__":
    main()
