"""A drop posed from a numpy array, and its Laplace pressure measured in numpy.

A liquid disc of radius R in its vapour (T/Tc 0.9), the equal-area densities joined by the
equilibrium interface's tanh profile, relaxes on 128 x 128 nodes; then the van der Waals
pressures of the bulk densities inside and outside it give the jump, against Laplace's law
sigma / R with the flat interface's surface tension.

    python examples/python/laplace_drop.py [RADIUS]      (--small: a quick 64 x 64 run)
"""
import importlib.util
import os
import sys

import numpy as np

import vdwflow

# The fluid's theory (equal-area densities, interface width, surface tension).
source = importlib.util.spec_from_file_location(
    "vdw_theory", os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "vdw_theory.py"))
theory = importlib.util.module_from_spec(source)
source.loader.exec_module(theory)

small = "--small" in sys.argv
args = [a for a in sys.argv[1:] if not a.startswith("--")]
nodes = 64 if small else 128
radius = float(args[0]) if args else (20.0 if small else 24.0)
t, kappa, h = 0.9, 1e-4, 1.0 / 128
fluid = theory.Fluid(t)
vapour, liquid = fluid.coexistence()
width = fluid.interface_width(kappa) / h  # nodes
sigma = fluid.surface_tension(kappa)

y, x = np.mgrid[0:nodes, 0:nodes]
r = np.hypot(x - nodes / 2, y - nodes / 2)
density = vapour + (liquid - vapour) * 0.5 * (1 + np.tanh((radius - r) / width))

sim = vdwflow.Simulation({"nodes_x": nodes, "nodes_y": nodes, "temperature": t, "kappa": kappa,
                          "delta_time": 4e-4}, density=density)
sim.run(until=2000 if small else 40000)

# The bulk phases: nodes two interface widths (10 % to 90 %: 2 atanh(0.8) W) or more
# from the interface; their pressures from their mean densities.
n = sim.density
margin = 2 * 2 * np.arctanh(0.8) * width
R = np.sqrt((n > (liquid + vapour) / 2).sum() / np.pi)  # nodes, from the liquid's area
inside, outside = n[r < R - margin].mean(), n[r > R + margin].mean()
jump = fluid.pressure(inside) - fluid.pressure(outside)
print(f"drop of {R:.2f} nodes after {sim.step_count} steps: densities {inside:.5f} inside, "
      f"{outside:.5f} outside")
print(f"pressure jump {jump:.5f}, sigma / R = {sigma / (R * h):.5f} (the flat interface's "
      f"sigma {sigma:.6f}): ratio {jump * R * h / sigma:.3f}")
