"""A live picture: a drop falls onto a wetting wall under gravity and spreads, its density
and velocity redrawn every 500 steps while the run goes on (a window in a terminal, the
figure under the cell in a notebook). Ctrl-C stops it with the state whole.

    python examples/python/live_drop.py           (--small: a quick run; MPLBACKEND=Agg
                                                   leaves the last frame in live_drop.png)
"""
import sys

import vdwflow

small = "--small" in sys.argv
sim = vdwflow.Simulation({"nodes_x": 64 if small else 192, "nodes_y": 48 if small else 128,
                          "temperature": 0.9, "delta_time": 4e-4, "init": "drop",
                          "init_radius": 10 if small else 24, "init_y": 30 if small else 70,
                          "walls": "y", "wall_wetting": 8e-4, "gravity_y": -0.02})
figure = vdwflow.show(sim, until=1000 if small else 40000, every=250 if small else 500,
                      vmin=0.3, vmax=1.8)
figure.savefig("live_drop.png", dpi=90, bbox_inches="tight")
print(f"step {sim.step_count}: the last frame is in live_drop.png")
