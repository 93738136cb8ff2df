#!/usr/bin/env python3
"""A vapour bubble rising through the liquid of a closed three-dimensional box.

Usage:
  build/venv/bin/python scripts/validation_3d/bubble_rise.py run OUT [--reference R]
      [--gravity G] [--box NX,NY,NZ] [--radius R] [--height Y] [--max-time T] [--delta-time DT]
  /usr/bin/python3 scripts/validation_3d/bubble_rise.py plot OUT SERIES.png RISE.png

run poses a bubble of radius --radius nodes, centred --height nodes above the
floor of a box walled on every side (-hwalls xyz), at T/Tc 0.9, under gravity
-y. The liquid is posed stretched and the vapour compressed to the pair of
densities of equal chemical potential whose pressures differ by Laplace's
2 sigma / R, corrected for the hydrostatic head between the bubble and the
middle of the column, so that the bubble neither condenses nor grows before
it moves. Every quarter of a time unit the run records the bubble (nodes
lighter than the row's liquid, weighted by their vapour fraction): its
volume, centroid, extents and the mean velocity of its vapour; every
SNAPSHOT_EVERY units it keeps the density. It stops when the bubble's top is
TOP_CLEARANCE nodes under the ceiling, or at --max-time. OUT/NAME.json and
OUT/NAME.npz (NAME from the gravity reference).

plot draws the interface at several times (an isosurface by scikit-image's
marching cubes, and the middle plane x = nx/2) and the bubble's height,
speed and volume against time.
"""
import argparse
import json
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, ".."))
from vdw_theory import Fluid, bisect  # noqa: E402
from angles_3d import laplace_pair  # noqa: E402

T_OVER_TC, KAPPA, TAU = 0.9, 1e-4, 1e-3
RECORD_EVERY, SNAPSHOT_EVERY = 0.25, 1.0
TOP_CLEARANCE = 8
HALO = 4                     # nodes around the bubble's lighter nodes that count as its own
MIDDLE = 0.5 * sum(Fluid(T_OVER_TC).coexistence())


def grown(region):
    out = region.copy()
    for axis in range(3):
        low = [slice(None)] * 3
        high = [slice(None)] * 3
        low[axis], high[axis] = slice(None, -1), slice(1, None)
        out[tuple(high)] |= region[tuple(low)]
        out[tuple(low)] |= region[tuple(high)]
    return out


def measure(density, velocity):
    """The bubble in density (nz, ny, nx): the vapour fraction against each
    row's liquid (its median: the bubble covers less than half of a row)
    and the bubble's lightest density, over the nodes within HALO of those
    below the half level."""
    liquid = np.median(density, axis=(0, 2))[None, :, None]
    lightest = density.min()
    if lightest > MIDDLE:  # no vapour left: the bubble has condensed
        return None
    level = 0.5 * (liquid + lightest)
    near = density < level
    for _ in range(HALO):
        near = grown(near)
    phi = np.clip((liquid - density) / (liquid - lightest), 0, 1) * near
    volume = float(phi.sum())
    z, y, x = np.indices(density.shape).astype(float)
    centre = [float((phi * c).sum() / volume) for c in (x, y, z)]
    spread = [math.sqrt(float((phi * (c - m) ** 2).sum() / volume))
              for c, m in zip((x, y, z), centre)]
    inside = density < level
    ys = np.nonzero(inside.any(axis=(0, 2)))[0]
    vapour_u = velocity[inside].mean(axis=0)
    # The vapour's mass flux: what a bubble carried by the flow moves at.
    flux_u = (density[inside][:, None] * velocity[inside]).sum(axis=0) / density[inside].sum()
    at = tuple(int(round(c)) for c in (centre[2], centre[1], centre[0]))
    return {"volume": volume, "radius": (3 * volume / (4 * math.pi)) ** (1 / 3),
            "x": centre[0], "y": centre[1], "z": centre[2],
            "spread_x": spread[0], "spread_y": spread[1], "spread_z": spread[2],
            "bottom": float(ys.min()), "top": float(ys.max()),
            "lightest": float(lightest), "vapour_uy": float(vapour_u[1]),
            "vapour_flux_uy": float(flux_u[1]), "centre_uy": float(velocity[at][1]),
            "largest_speed": float(np.linalg.norm(velocity, axis=-1).max())}


def posed_densities(radius, depth, gravity):
    """The liquid and vapour of a bubble of radius (nodes) at rest depth
    nodes below the column's middle, where the whole weight acts: there
    the liquid's potential is the middle's plus |g| depth h."""
    fluid = Fluid(T_OVER_TC)
    sigma = fluid.surface_tension(KAPPA)
    vapour, liquid = laplace_pair(fluid, -2 * sigma / (radius / 128))
    if depth and gravity:

        low, high = fluid.spinodal()
        mu = fluid.potential(liquid) - abs(gravity) * depth / 128
        liquid = bisect(lambda n: fluid.potential(n) - mu, high, 3 - 1e-9)
    return vapour, liquid


def run(out, reference, gravity, box, radius, height, max_time, dt, equal_area=False):
    import vdwflow
    nx, ny, nz = box
    # The mean density's weight (reference "mean") acts on neither phase as
    # a whole; the bubble's surroundings then are not hydrostatic, so the
    # posed pair is corrected only under the whole weight.
    depth = (ny - 1) / 2 - height if reference == "0" else 0.0
    vapour, liquid = posed_densities(radius, depth, gravity)
    keys = {"nodes_x": nx, "nodes_y": ny, "nodes_z": nz, "temperature": T_OVER_TC,
            "kappa": KAPPA, "tau": TAU, "delta_time": dt, "walls": "xyz", "init": "bubble",
            "init_radius": radius, "init_x": (nx - 1) / 2, "init_y": height,
            "init_z": (nz - 1) / 2, "init_liquid": liquid, "init_vapour": vapour,
            "gravity_y": -gravity, "gravity_reference": reference}
    if equal_area:  # the solver's own start: the equal-area pair
        del keys["init_liquid"], keys["init_vapour"]
        vapour, liquid = Fluid(T_OVER_TC).coexistence()
    every = int(round(RECORD_EVERY / dt))
    snap_every = int(round(SNAPSHOT_EVERY / RECORD_EVERY))
    history, snapshots, snap_times, planes = [], [], [], []
    wall, cpu = time.time(), time.process_time()
    with vdwflow.Simulation(keys, folder=out) as sim:
        mass0 = sim.total_density
        snapshots.append(sim.density.astype(np.float32))
        planes.append(sim.velocity[:, :, nx // 2].astype(np.float32))
        snap_times.append(0.0)
        history.append({"time": 0.0, **measure(sim.density, sim.velocity)})
        count = 0
        while sim.time < max_time - 1e-9:
            sim.step(every)
            count += 1
            found = measure(sim.density, sim.velocity)
            if found is None:
                print(f"  t {sim.time:6.2f}  no vapour left: the bubble has condensed", flush=True)
                history.append({"time": sim.time, "volume": 0.0})
                break
            history.append({"time": sim.time, **found})
            if count % 4 == 0:
                print(f"  t {sim.time:6.2f}  y {found['y']:6.2f}  R {found['radius']:5.2f}  "
                      f"vapour flux uy {found['vapour_flux_uy']:+.4f}  centre uy "
                      f"{found['centre_uy']:+.4f}  max {found['largest_speed']:.4f}", flush=True)
            if count % snap_every == 0:
                snapshots.append(sim.density.astype(np.float32))
                planes.append(sim.velocity[:, :, nx // 2].astype(np.float32))
                snap_times.append(sim.time)
            if found["top"] >= ny - 1 - TOP_CLEARANCE:
                break
        if snap_times[-1] != sim.time:
            snapshots.append(sim.density.astype(np.float32))
            planes.append(sim.velocity[:, :, nx // 2].astype(np.float32))
            snap_times.append(sim.time)
        mass_change = (sim.total_density - mass0) / mass0
        steps = sim.step_count
    name = "bubble_" + ("whole_weight" if reference == "0" else reference)
    if equal_area:
        name += "_equal_area"
    np.savez_compressed(os.path.join(out, name + ".npz"), density=np.array(snapshots),
                        times=np.array(snap_times), plane_velocity=np.array(planes))
    result = {"reference": reference, "gravity": gravity, "box": box, "radius": radius,
              "height": height, "delta_time": dt, "steps": steps, "posed_liquid": liquid,
              "posed_vapour": vapour, "mass_change": mass_change,
              "wall_seconds": time.time() - wall, "cpu_seconds": time.process_time() - cpu,
              "history": history}
    with open(os.path.join(out, name + ".json"), "w") as f:
        json.dump(result, f, indent=1)
    return result


# ---------------------------------------------------------------------------
# Pictures (scikit-image and matplotlib: /usr/bin/python3)

def plot(out, series, rise):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection
    from skimage.measure import marching_cubes
    with open(os.path.join(out, "bubble_whole_weight.json")) as f:
        main = json.load(f)
    data = np.load(os.path.join(out, "bubble_whole_weight.npz"))
    density, times = data["density"], data["times"]
    nz, ny, nx = density.shape[1:]
    pick = np.unique(np.linspace(0, len(times) - 1, min(5, len(times))).round().astype(int))
    figure = plt.figure(figsize=(2.6 * len(pick), 7.2))
    for column, k in enumerate(pick):
        field = density[k].astype(float)
        liquid = np.median(field, axis=(0, 2))[None, :, None]
        level = 0.5 * (liquid + field.min())
        # The isosurface of the level relative to the row's liquid.
        relative = field - level
        axes = figure.add_subplot(2, len(pick), column + 1, projection="3d")
        verts, faces, normals, _ = marching_cubes(relative, 0.0)
        light = np.array([0.5, 0.75, -0.45])  # (z, y, x) of the field
        shade = 0.35 + 0.65 * np.abs(normals[faces].mean(axis=1) @ (light / np.linalg.norm(light)))
        mesh = Poly3DCollection(verts[faces][:, :, [2, 0, 1]], linewidth=0)
        mesh.set_facecolor(np.outer(shade, (0.2, 0.45, 0.75)).clip(0, 1))
        axes.add_collection3d(mesh)
        axes.set_xlim(0, nx - 1)
        axes.set_ylim(0, nz - 1)
        axes.set_zlim(0, ny - 1)
        axes.set_box_aspect((nx, nz, ny))
        axes.set_xticks([])
        axes.set_yticks([])
        axes.set_zticks([0, ny // 2, ny - 1])
        axes.set_title(f"t = {times[k]:.1f}", fontsize=9)
        plane = figure.add_subplot(2, len(pick), len(pick) + column + 1)
        image = plane.imshow(field[:, :, nx // 2].T, origin="lower", cmap="viridis",
                             vmin=0.4, vmax=1.75, extent=(-0.5, nz - 0.5, -0.5, ny - 0.5))
        plane.contour(np.arange(nz), np.arange(ny), relative[:, :, nx // 2].T, [0.0],
                      colors="w", linewidths=0.8)
        if "plane_velocity" in data:
            u = data["plane_velocity"][k]
            zz, yy = np.meshgrid(np.arange(0, nz, 3), np.arange(0, ny, 3))
            plane.quiver(zz, yy, u[::3, ::3, 2].T, u[::3, ::3, 1].T, color="w", scale=1.0,
                         width=0.006)
        plane.set_xlabel("z (nodes)", fontsize=8)
        if column == 0:
            plane.set_ylabel("y (nodes)", fontsize=8)
    figure.colorbar(image, ax=figure.axes, fraction=0.02, label="density")
    figure.suptitle(f"a vapour bubble rising, {nx} x {ny} x {nz}, walls on every side, "
                    f"g = {main['gravity']} downward (the whole weight), T/Tc 0.9; "
                    "top: half-level isosurface, bottom: plane x = nx/2 with its velocity (arrows)", fontsize=9)
    figure.savefig(series, dpi=100)

    figure, axes = plt.subplots(1, 3, figsize=(12, 3.6))
    for name, style in (("bubble_whole_weight", "-"), ("bubble_mean", "--"),
                        ("bubble_whole_weight_equal_area", ":")):
        path = os.path.join(out, name + ".json")
        if not os.path.exists(path):
            continue
        with open(path) as f:
            r = json.load(f)
        h = [e for e in r["history"] if e.get("volume", 0) > 0 and e["lightest"] < MIDDLE]
        t = np.array([e["time"] for e in h])
        y = np.array([e["y"] for e in h])
        label = "whole weight" if r["reference"] == "0" else f"reference {r['reference']}"
        if name.endswith("equal_area"):
            label += ", equal-area start"
        axes[0].plot(t, y, style, label=label)
        speed = np.gradient(y, t) / 128
        axes[1].plot(t, speed, style, label=f"{label}: centroid")
        axes[1].plot(t, [e.get("vapour_flux_uy", e["vapour_uy"]) for e in h], style,
                     alpha=0.6, label=f"{label}: the vapour's flux, mean u_y")
        axes[2].plot(t, [e["radius"] for e in h], style, label=f"{label}: radius")
        axes[2].plot(t, [e["spread_y"] / e["spread_x"] for e in h], style, alpha=0.6,
                     label=f"{label}: height / width")
    axes[0].set_ylabel("centroid y (nodes)")
    axes[1].set_ylabel("rise speed (solver units)")
    axes[2].set_ylabel("radius (nodes) and aspect ratio")
    for a in axes:
        a.set_xlabel("time (solver units)")
        if a is axes[1]:
            a.legend(fontsize=6, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=2)
        else:
            a.legend(fontsize=6)
    figure.tight_layout()
    figure.savefig(rise, dpi=100, bbox_inches="tight")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("run", "plot"))
    parser.add_argument("out")
    parser.add_argument("pictures", nargs="*")
    parser.add_argument("--reference", default="0", help="0 (the whole weight) or mean")
    parser.add_argument("--gravity", type=float, default=0.1, help="|g|, acting along -y")
    parser.add_argument("--box", default="40,64,40")
    parser.add_argument("--radius", type=float, default=10)
    parser.add_argument("--height", type=float, default=18)
    parser.add_argument("--max-time", type=float, default=20)
    parser.add_argument("--delta-time", type=float, default=1e-3)
    parser.add_argument("--equal-area", action="store_true",
                        help="pose the equal-area densities instead of the bubble's Laplace pair")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    if args.command == "run":
        r = run(args.out, args.reference, args.gravity,
                tuple(int(v) for v in args.box.split(",")), args.radius, args.height,
                args.max_time, args.delta_time, args.equal_area)
        print(f"{r['steps']} steps, {r['cpu_seconds']:.0f} s cpu, mass {r['mass_change']:.1e}")
    else:
        plot(args.out, *args.pictures)


if __name__ == "__main__":
    main(sys.argv[1:])
