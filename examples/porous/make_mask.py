#!/usr/bin/python3
"""A solid mask for vdwflow (-hsolid_file) from a raw 8-bit voxel image.

Usage: make_mask.py RAW NX NY NZ --threshold T [--below] [-o OUT.npy]

RAW holds NX * NY * NZ bytes, x fastest, then y, then z (a micro-CT
volume as scanners write it, without a header). A voxel at or above T is
solid (bright grains), or with --below a voxel below T (dark grains). The
mask is written as a .npy array of bool of shape (NZ, NY, NX), row iy the
lattice's y (up in the pictures of scripts/plot_run.py): run it with
-hnodes_x NX -hnodes_y NY -hnodes_z NZ. OUT defaults to RAW with .npy.
"""
import argparse
import os
import sys

import numpy as np


def mask(raw, shape, threshold, below):
    """The solid nodes [z, y, x] of the image in the file raw."""
    nx, ny, nz = shape
    size = os.path.getsize(raw)
    if size != nx * ny * nz:
        raise ValueError(f"{raw}: {size} bytes, {nx} x {ny} x {nz} = {nx * ny * nz} expected")
    grey = np.fromfile(raw, np.uint8).reshape(nz, ny, nx)
    return grey < threshold if below else grey >= threshold


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("raw")
    parser.add_argument("shape", type=int, nargs=3, metavar=("NX", "NY", "NZ"))
    parser.add_argument("--threshold", type=int, required=True, help="0 to 255")
    parser.add_argument("--below", action="store_true",
                        help="solid where the voxel is below the threshold")
    parser.add_argument("-o", "--out")
    args = parser.parse_args(argv[1:])
    if min(args.shape) < 1 or not 0 <= args.threshold <= 255:
        parser.error("sizes from 1, a threshold from 0 to 255")
    out = args.out or os.path.splitext(args.raw)[0] + ".npy"
    try:
        solid = mask(args.raw, args.shape, args.threshold, args.below)
    except (OSError, ValueError) as problem:
        print(f"make_mask.py: {problem}", file=sys.stderr)
        return 1
    if solid.all():
        print(f"make_mask.py: every voxel of {args.raw} is solid at threshold "
              f"{args.threshold}: no fluid would be left", file=sys.stderr)
        return 1
    np.save(out, solid)
    print(f"{out}: {args.shape[0]} x {args.shape[1]} x {args.shape[2]} nodes, "
          f"{100 * solid.mean():.1f} % solid")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
