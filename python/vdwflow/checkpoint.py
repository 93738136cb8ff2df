"""vdwflow's checkpoint files: the header and the planes as numpy arrays.

    from vdwflow import checkpoint
    state = checkpoint.load("run/20261208-132834/vdwflow.checkpoint")
    state["f"]        # the distributions, shape (9, nodes_y, nodes_x), or
                      # (19, nodes_z, nodes_y, nodes_x) for a three-dimensional run
    state["density"]  # the density a snapshot shows, shape (nodes_y, nodes_x) or
                      # (nodes_z, nodes_y, nodes_x)
    state["step"], state["nodes_x"], state["temperature"], state["scheme"], ...

The format is described in docs/checkpoint.md; the checksum is checked.
(scripts/read_checkpoint.py prints a checkpoint with this module.)
"""
import struct
import zlib

import numpy as np

from . import keys as _keys

MAGIC = b"VDWCHKPT"
VERSIONS = {1: 128, 2: 256, 3: 256}  # format version: header bytes
# Fields of the header after the magic, at their offsets (docs/checkpoint.md).
FIELDS = ("version", "byte_order", "nodes_x", "nodes_y", "step", "planes", "RTzero",
          "temperature", "delta_time", "kappa", "rho_zero", "tau", "last_iter",
          "niter_cycle", "ncycles")
LAYOUT = "8sIIiiii6d3i"
# Version 2 goes on with the setup: walls, wetting, gravity, solid nodes.
FIELDS_2 = ("walls", "wall_wetting", "gravity_x", "gravity_y", "gravity_reference",
            "solid_crc", "gravity_reference_mean", "output", "scheme")
LAYOUT_2 = "i4dIiii"
# Version 3, three-dimensional lattices: nodes_z and gravity_z.
FIELDS_3 = ("nodes_z", "gravity_z")
LAYOUT_3 = "i4xd"
# The choices are stored as their numbers: the order of the key's words.
CHOICES = {"walls": _keys.words("-hwalls"), "output": _keys.words("-houtput"),
           "scheme": _keys.words("-hscheme")}


class CheckpointError(Exception):
    pass


def load(path="vdwflow.checkpoint"):
    """The header's fields and the planes as numpy arrays; CheckpointError
    where the file is not a complete, undamaged checkpoint of this version."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < VERSIONS[1]:
        raise CheckpointError(f"{path}: truncated, {len(data)} bytes")
    if data[:8] != MAGIC:
        raise CheckpointError(f"{path}: not a vdwflow checkpoint (wrong magic)")
    # The byte-order mark 0x01020304 tells how the writer stored its numbers.
    order = "<" if struct.unpack_from("<I", data, 12)[0] == 0x01020304 else ">"
    values = struct.unpack_from(order + LAYOUT, data, 0)
    header = dict(zip(FIELDS, values[1:]))
    if header["version"] not in VERSIONS:
        raise CheckpointError(f"{path}: format version {header['version']}, "
                              f"this reader knows {', '.join(map(str, VERSIONS))}")
    header_bytes = VERSIONS[header["version"]]
    if header["version"] >= 2 and len(data) >= header_bytes:
        header.update(zip(FIELDS_2, struct.unpack_from(order + LAYOUT_2, data, 92)))
        for field, choices in CHOICES.items():
            n = header[field]
            header[field] = choices[n] if 0 <= n < len(choices) else "unknown"
    header.update({"nodes_z": 1, "gravity_z": 0.0})
    if header["version"] >= 3 and len(data) >= header_bytes:
        header.update(zip(FIELDS_3, struct.unpack_from(order + LAYOUT_3, data, 144)))
    nx, ny, nz = header["nodes_x"], header["nodes_y"], header["nodes_z"]
    expected = header_bytes + header["planes"] * nx * ny * nz * 8 + 4
    if len(data) != expected:
        lattice = f"{nx} x {ny}" + (f" x {nz}" if nz > 1 else "")
        raise CheckpointError(f"{path}: {len(data)} bytes, a checkpoint of {lattice} "
                              f"nodes has {expected}")
    stored = struct.unpack_from(order + "I", data, len(data) - 4)[0]
    if zlib.crc32(data[:-4]) != stored:
        raise CheckpointError(f"{path}: checksum mismatch, the file is damaged")
    shape = (header["planes"],) + ((nz,) if nz > 1 else ()) + (ny, nx)
    planes = np.frombuffer(data, dtype=np.dtype(order + "f8"), count=header["planes"] * nx * ny * nz,
                           offset=header_bytes).reshape(shape)
    state = dict(header)
    state["f"] = planes[:-1]
    state["density"] = planes[-1]
    return state
