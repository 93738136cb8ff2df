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

The program's parameter keys are the Simulation's (vdwflow.keys, the
README's tables); the state, kernels and files are the program's own (the
same bits).
"""
import importlib

__all__ = ["Simulation", "show", "checkpoint", "keys", "DEFAULTS"]

# The modules load when first used, so that the checkpoint reader and the key
# table serve a source tree whose extension is not built (the scripts).
_WHERE = {"Simulation": "simulation", "DEFAULTS": "simulation", "show": "live"}


def __getattr__(name):
    if name in ("checkpoint", "keys"):
        return importlib.import_module(f".{name}", __name__)
    if name in _WHERE:
        return getattr(importlib.import_module(f".{_WHERE[name]}", __name__), name)
    raise AttributeError(f"module 'vdwflow' has no attribute {name!r}")
