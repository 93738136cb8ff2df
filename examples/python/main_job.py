"""The main job in Python: examples/nw2cuda.input (128 x 128 nodes, T/Tc 0.9, 24 cycles of
2 500 steps), its snapshots written into run/python/ byte for byte as vdwflow writes them.
    python examples/python/main_job.py            (--small: a 32 x 32 run of 200 steps)"""
import os, sys
import vdwflow

small = {"nodes_x": 32, "nodes_y": 32, "niter_cycle": 100, "ncycles": 2} if "--small" in sys.argv else {}
sim = vdwflow.Simulation(os.path.join(os.path.dirname(__file__), "..", "nw2cuda.input"), folder="run/python", **small)
cycle, cycles = int(sim.parameters["-hniter_cycle"]), int(sim.parameters["-hncycles"])
sim.write_snapshot()
sim.run(until=cycle * cycles, every=cycle, write_snapshots=True,
        callback=lambda s: print(f"step {s.step_count:6d}: density {s.density.min():.4f} .. {s.density.max():.4f}"))
