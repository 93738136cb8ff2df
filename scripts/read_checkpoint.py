#!/usr/bin/python3
"""The full state of a vdwflow run, from its checkpoint file.

Usage: scripts/read_checkpoint.py [CHECKPOINT_FILE]   (default: vdwflow.checkpoint)

Prints the header and the range of every plane. The reader is the Python
package's (vdwflow.checkpoint): the installed package's, else the one of
this repository (python/vdwflow), whose key table then comes from the
program vdwflow built here. As a module:

    import read_checkpoint
    state = read_checkpoint.load("run/20261208-132834/vdwflow.checkpoint")
    state["f"]        # the nine distributions, shape (9, nodes_y, nodes_x)
    state["density"]  # the density a snapshot shows, shape (nodes_y, nodes_x)
    state["step"], state["nodes_x"], state["temperature"], ...

The format is described in docs/checkpoint.md; the checksum is checked.
"""
import os
import sys

try:
    from vdwflow.checkpoint import CheckpointError, load
except ImportError:
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
    from vdwflow.checkpoint import CheckpointError, load


def main(argv):
    if len(argv) > 2 or (len(argv) == 2 and argv[1].startswith("-")):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    path = argv[1] if len(argv) == 2 else "vdwflow.checkpoint"
    try:
        state = load(path)
    except (CheckpointError, OSError) as failure:
        print(f"read_checkpoint.py: {failure}", file=sys.stderr)
        return 1
    print(f"{path}: step {state['step']}, {state['nodes_x']} x {state['nodes_y']} nodes, "
          f"T/Tc {state['temperature'] / state['RTzero']:g}, dt {state['delta_time']:g}, "
          f"kappa {state['kappa']:g}, tau {state['tau']:g}, n0 {state['rho_zero']:g}")
    if state["version"] >= 2:
        print(f"  walls {state['walls']}, wetting {state['wall_wetting']:g}, "
              f"solid nodes {'yes' if state['solid_crc'] else 'none'}, gravity "
              f"({state['gravity_x']:g}, {state['gravity_y']:g}) against "
              f"{'the mean density ' if state['gravity_reference_mean'] else ''}"
              f"{state['gravity_reference']:g}, snapshots {state['output']}, "
              f"scheme {state['scheme']}")
    for i in range(9):
        print(f"  f{i}       {state['f'][i].min():.6e} .. {state['f'][i].max():.6e}")
    rho = state["density"]
    print(f"  density  {rho.min():.6e} .. {rho.max():.6e}, total {rho.sum():.12e}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
