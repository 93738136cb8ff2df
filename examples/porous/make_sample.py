#!/usr/bin/python3
"""A small made-up micro-CT image of a porous rock, for trying make_mask.py.

Usage: make_sample.py [OUT.raw] [--nodes N] [--solid FRACTION] [--seed S]

Writes N^3 bytes (default 40^3, into rock.raw beside this script), x fastest,
then y, then z, as a micro-CT scanner writes a raw 8-bit volume: grains of
random overlapping spheres (radius 3 to 6 voxels) until FRACTION of the
voxels (default 0.3) are grain, bright (about 200) against dark pores (about
60), with noise. The spheres wrap around the faces, so that the sample tiles
a periodic lattice without seams. The same seed gives the same file.
"""
import argparse
import os
import sys

import numpy as np


def sample(nodes, solid_fraction, seed):
    """The grey values [z, y, x] of the sample."""
    rng = np.random.default_rng(seed)
    axis = np.arange(nodes)
    solid = np.zeros((nodes,) * 3, bool)
    while solid.mean() < solid_fraction:
        centre = rng.uniform(0, nodes, 3)
        radius = rng.uniform(3, 6)
        # The distance along each axis to the nearest periodic image of the centre.
        d = [np.minimum(abs(axis - c), nodes - abs(axis - c)) for c in centre]
        solid |= (d[0][:, None, None] ** 2 + d[1][None, :, None] ** 2
                  + d[2][None, None, :] ** 2) <= radius ** 2
    grey = np.where(solid, 200.0, 60.0) + rng.normal(0, 20, solid.shape)
    return np.clip(np.rint(grey), 0, 255).astype(np.uint8), solid.mean()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out", nargs="?",
                        default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                             "rock.raw"))
    parser.add_argument("--nodes", type=int, default=40)
    parser.add_argument("--solid", type=float, default=0.3)
    parser.add_argument("--seed", type=int, default=2026)
    args = parser.parse_args(argv[1:])
    if args.nodes < 8 or not 0 < args.solid < 0.9:
        parser.error("--nodes from 8, --solid between 0 and 0.9")
    grey, fraction = sample(args.nodes, args.solid, args.seed)
    grey.tofile(args.out)  # C order of [z, y, x]: x fastest
    print(f"{args.out}: {args.nodes}^3 voxels, {100 * fraction:.1f} % grain")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
