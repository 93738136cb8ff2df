"""Contact angles of drops on walls of five wetting strengths, fitted in numpy, against
Young's law.

Half discs of liquid (radius 20) on the bottom wall of a 128 x 64 lattice, periodic in x,
T/Tc 0.9, relax; a circle fitted to the mid-density contour more than three nodes above the
wall gives the angle inside the liquid, cos(theta) = (y_wall - y_centre) / r.

    python examples/python/wetting_sweep.py            (--small: quick runs on 64 x 32)
"""
import importlib.util
import os
import sys

import numpy as np

import vdwflow

source = importlib.util.spec_from_file_location(
    "vdw_theory", os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "vdw_theory.py"))
theory = importlib.util.module_from_spec(source)
source.loader.exec_module(theory)

small = "--small" in sys.argv
t, kappa = 0.9, 1e-4
vapour, liquid = theory.Fluid(t).coexistence()


def contact_angle(n):
    """The angle of the drop in density field n (wall below row 0, at y = -1/2)."""
    level = (liquid + vapour) / 2
    xs, ys = [], []
    for row in range(3, n.shape[0] - 1):  # crossings along each row above the wall
        line = n[row]
        for i in np.nonzero((line[:-1] - level) * (line[1:] - level) < 0)[0]:
            xs.append(i + (level - line[i]) / (line[i + 1] - line[i]))
            ys.append(row)
    xs, ys = np.array(xs), np.array(ys, dtype=float)
    # least-squares circle: x^2 + y^2 + a x + b y + c = 0
    a, b, c = np.linalg.lstsq(np.c_[xs, ys, np.ones_like(xs)], -(xs ** 2 + ys ** 2), rcond=None)[0]
    yc, r = -b / 2, np.sqrt(a * a / 4 + b * b / 4 - c)
    return np.degrees(np.arccos(np.clip((-0.5 - yc) / r, -1, 1)))


print(" h_w       fitted   Young")
for h_w in (-8e-4, -4e-4, 0.0, 4e-4, 8e-4):
    keys = {"nodes_x": 64 if small else 128, "nodes_y": 32 if small else 64, "temperature": t,
            "kappa": kappa, "delta_time": 4e-4, "init": "drop", "init_radius": 10 if small else 20,
            "init_y": -0.5, "walls": "y"}
    if h_w != 0.0:
        keys["wall_wetting"] = h_w
    with vdwflow.Simulation(keys) as sim:
        sim.run(until=1000 if small else 25000)
        fitted = contact_angle(sim.density)
    print(f"{h_w:+.1e}   {fitted:6.1f}   {theory.Fluid(t).young_angle(h_w, kappa):6.1f}")
