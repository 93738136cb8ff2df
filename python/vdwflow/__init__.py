"""vdwflow: the lean van der Waals lattice Boltzmann solver in Python.

    import vdwflow
    sim = vdwflow.Simulation({"nodes_x": 128, "nodes_y": 128, "temperature": 0.8,
                              "init": "drop", "init_radius": 32})
    sim.run(until=20000, every=2500)
    sim.density      # numpy array (nodes_y, nodes_x)
    sim.velocity     # (nodes_y, nodes_x, 2)
    sim.pressure
    sim.write_snapshot()                 # the program's files, byte for byte
    sim.save_checkpoint("vdwflow.checkpoint")
    vdwflow.show(sim, until=40000, every=1000)   # a live picture

The program's parameter keys are the Simulation's (README, "Setups"); the
state, kernels and files are the program's own (the same bits).
"""
from .simulation import DEFAULTS, Simulation
from .live import show
from . import checkpoint

__all__ = ["Simulation", "show", "checkpoint", "DEFAULTS"]
