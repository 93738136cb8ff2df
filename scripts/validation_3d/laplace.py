#!/usr/bin/env python3
"""Laplace's law for spheres: drops and bubbles of four radii, both schemes.

Usage:
  laplace.py run [--kinds drop,bubble] [--schemes upwind,lax_wendroff]
  laplace.py report [--figure docs/three_d_laplace.png]

run poses each sphere (sphere.py: Kelvin-shifted start, run until R and the
jump settle) one after the other on one core and leaves its record in
run/validation_3d/; a sphere whose record exists is not run again. report
prints the table (R, jump of the mechanical pressure, 2 sigma / R, ratio)
per scheme, the slope of jump against 1/R fitted through 0 and with an
intercept, against 2 sigma of the flat interface, and draws the figure.
"""
import argparse
import os
import subprocess
import sys

import numpy as np

import lattice3d as common

T = 0.9
DT = 8e-4
# (start radius, cube edge): the gap between a sphere and its periodic
# images at least about three interface widths (8 nodes at T/Tc 0.9, 10-90 %):
# nearer, their tails overlap and the jump falls (R0 10: ratio 0.92 in 32^3,
# 0.97 in 40^3). A drop settles at the radius its box's mass allows (R0 8 in
# 44^3 grows to 11.4; smaller drops need boxes whose images touch them). The
# R0 12 drop in 48^3 doubles as the sphere at rest.
SPHERES = ((8, 44), (12, 48), (14, 52), (16, 56))
# Bubbles from R0 12: one of R0 8 grows to about R 12 in its box, as the drop
# does, and adds no radius of its own.
BUBBLES = SPHERES[1:]


def spheres(kind):
    return SPHERES if kind == "drop" else BUBBLES


def name(kind, scheme, r0, box):
    return f"{kind}_{scheme}_R{r0}_N{box}_T{T:g}"


def run(args):
    for kind in args.kinds.split(","):
        for scheme in args.schemes.split(","):
            for r0, box in spheres(kind):
                n = name(kind, scheme, r0, box)
                if os.path.exists(os.path.join(common.RESULTS, n + ".json")):
                    continue
                subprocess.run([sys.executable, os.path.join(common.HERE, "sphere.py"), kind,
                                str(r0), str(box), "--scheme", scheme, "--t", str(T), "--dt",
                                str(DT), "--every", "1000", "--min-steps", "4000",
                                "--max-steps", "30000", "--name", n], check=False)


def fit(rows, sigma):
    x = np.array([1 / r["R"] for r in rows])
    y = np.array([r["jump"] for r in rows])
    through0 = float(np.dot(x, y) / np.dot(x, x))
    slope, intercept = np.polyfit(x, y, 1)
    return through0 / (2 * sigma), float(slope) / (2 * sigma), float(intercept)


def report(args):
    sigma = common.fluid(T).surface_tension(common.KAPPA)
    print(f"T/Tc {T}, kappa {common.KAPPA}, dt {DT}: flat sigma {sigma:.6g}, 2 sigma {2 * sigma:.6g}")
    results = {}
    for scheme in ("upwind", "lax_wendroff"):
        print(f"\n{scheme}\n| kind | R0 | box | steps | R (nodes) | inside | outside | jump | "
              f"2 sigma / R | ratio | p(n) at the centre - outside |")
        print("|---|---|---|---|---|---|---|---|---|---|---|")
        rows = []
        for kind in ("drop", "bubble"):
            for r0, box in spheres(kind):
                path = os.path.join(common.RESULTS, name(kind, scheme, r0, box) + ".json")
                if not os.path.exists(path):
                    continue
                rec = common.load(os.path.basename(path))
                if "final" not in rec:
                    last = rec["history"][-1]
                    what = "vanished" if last.get("vanished") else "unstable"
                    print(f"| {kind} | {r0} | {box}^3 | {last['step']} | {what} |")
                    continue
                f = rec["final"]
                # inside minus outside: positive for drops and bubbles alike
                row = {"kind": kind, "R0": r0, "R": f["R"], "jump": f["jump"],
                       "settled": rec["settled"]}
                rows.append(row)
                print(f"| {kind} | {r0} | {box}^3 | {f['step']}{'' if rec['settled'] else ' (not settled)'} | "
                      f"{f['R_nodes']:.3f} | {f['n_in']:.4f} | {f['n_out']:.4f} | {row['jump']:.5f} | "
                      f"{2 * sigma / f['R']:.5f} | {row['jump'] * f['R'] / (2 * sigma):.4f} | "
                      f"{f['vdw_jump_centre']:+.5f} |")
        results[scheme] = rows
        for which in ("drop", "bubble", "all"):
            sel = [r for r in rows if which == "all" or r["kind"] == which]
            if len(sel) >= 2:
                k0, k1, c = fit(sel, sigma)
                print(f"{which}: slope through 0 = {k0:.4f} x 2 sigma; with intercept "
                      f"{k1:.4f} x 2 sigma, intercept {c:+.2e}")
    if args.figure:
        draw(results, sigma, args.figure)


def draw(results, sigma, path):
    import glob
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, (ax, side) = plt.subplots(1, 2, figsize=(11, 4.6))
    xmax = 0
    style = {"upwind": "tab:blue", "lax_wendroff": "tab:red"}
    for scheme, rows in results.items():
        colour = style[scheme]
        for kind, marker in (("drop", "o"), ("bubble", "s")):
            sel = [r for r in rows if r["kind"] == kind]
            if sel:
                face = "none" if kind == "bubble" else colour
                ax.plot([1 / r["R"] for r in sel], [r["jump"] for r in sel], marker,
                        color=colour, mfc=face, label=f"{scheme}, {kind}s")
                side.plot([r["R"] / common.H for r in sel],
                          [r["jump"] * r["R"] / (2 * sigma) for r in sel], marker, color=colour,
                          mfc=face, label=f"spheres, {scheme}, {kind}s")
                xmax = max(xmax, max(1 / r["R"] for r in sel))
        if rows:
            k0 = fit(rows, sigma)[0]
            x = np.linspace(0, xmax * 1.05, 2)
            ax.plot(x, k0 * 2 * sigma * x, "--", color=colour, lw=0.8,
                    label=f"{scheme}: fit through 0, {k0:.3f} x 2 sigma")
        # the discs of disc.py on squares of 2 R0 + 28, the same measure in 2-D
        discs = []
        for path_ in glob.glob(os.path.join(common.RESULTS, "disc_R*_dt0.0008_T0.9.json")):
            rec = common.load(os.path.basename(path_))
            r0, box = rec["args"]["r0"], rec["args"]["box"]
            if box == 2 * r0 + 28 and r0 <= 24:
                discs.append((rec[scheme]["R_nodes"], rec[scheme]["ratio"]))
        if discs:
            discs.sort()
            side.plot([d[0] for d in discs], [d[1] for d in discs], "^:", color=colour, lw=0.8,
                      label=f"discs (2-D), {scheme}")
    x = np.linspace(0, xmax * 1.05, 2)
    ax.plot(x, 2 * sigma * x, "k-", lw=1, label="2 sigma / R (flat sigma, Cahn)")
    ax.set_xlabel("1 / R (solver units; R from the inside phase's volume)")
    ax.set_ylabel("jump of p - kappa n lap n (solver units)")
    ax.set_title("Laplace's law for spheres, D3Q19, T/Tc 0.9, dt 8e-4", fontsize=9)
    ax.set_xlim(0, xmax * 1.05)
    ax.set_ylim(0, None)
    ax.legend(fontsize=7)
    side.axhline(1.0, color="k", lw=1)
    side.axhspan(0.95, 1.05, color="0.9", zorder=0)
    side.set_xlabel("R (nodes); the interface is 8.2 nodes wide (10-90 %)")
    side.set_ylabel("jump / (2 sigma / R)   (discs: jump / (sigma / R))")
    side.set_title("against the radius, with discs of the same start and measure", fontsize=9)
    side.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("wrote", path)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="command", required=True)
    r = sub.add_parser("run")
    r.add_argument("--kinds", default="drop,bubble")
    r.add_argument("--schemes", default="upwind,lax_wendroff")
    p = sub.add_parser("report")
    p.add_argument("--figure", default=os.path.join(common.REPOSITORY, "docs",
                                                     "three_d_laplace.png"))
    a = ap.parse_args()
    run(a) if a.command == "run" else report(a)


if __name__ == "__main__":
    main()
