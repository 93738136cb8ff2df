#!/usr/bin/env python3
"""Contact angles of sessile drops on a three-dimensional lattice, against the
two-dimensional drops and Young's law.

Usage:
  build/venv/bin/python scripts/validation_3d/angles_3d.py run OUT [--scheme S]
      [--wetting=H,H,...] [--delta-time DT] [--from FOLDER] [--min-time T] [--max-time T]
      [--radius R0] [--init-y Y] [--box NX,NY,NZ]
  build/venv/bin/python scripts/validation_3d/angles_3d.py two_d OUT [--delta-time DT]
  /usr/bin/python3 scripts/validation_3d/angles_3d.py report OUT PICTURE

run poses a half sphere of liquid (radius 16 nodes) on the floor of a box with
walls below and above (-hwalls y), periodic in x and z, at T/Tc 0.9 and kappa
1e-4, for each wetting parameter h_w, and steps it one time unit at a time
until the fitted angle has settled (it moves less than SETTLED degrees over
the last SETTLED_UNITS units) or --max-time. Each drop writes OUT/NAME.json
(the angle against time, the final fit, the run's cost) and OUT/NAME.npy (the
last density, (nz, ny, nx)). --from FOLDER starts every drop from the last
density of the same h_w in FOLDER (a Lax-Wendroff run from the upwind state).
--radius and --init-y pose another drop (a sphere centred above the floor
meets it at more than 90 degrees: the angle approached from above). The
vapour and liquid are posed at the pair whose pressures differ by Laplace's
2 sigma / R for the cap of Young's angle with the half sphere's volume.
two_d runs the drops of the two-dimensional table (128 x 64, radius 20) at the
same time step. report prints the table in Markdown and draws the angles.

The angle: the half-density isosurface of the drop (crossings of the level
between neighbouring nodes, linear interpolation), its points more than
WALL_CLEARANCE nodes above the wall, a sphere fitted by linear least squares,
cos(theta) = -(y_c - y_wall) / R with the wall at y = -1/2: theta inside the
liquid. The level lies halfway between the far vapour and the drop's core.
"""
import argparse
import json
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from vdw_theory import Fluid, bisect  # noqa: E402

T_OVER_TC, KAPPA, RADIUS = 0.9, 1e-4, 16
WALL_CLEARANCE = 3          # isosurface points nearer the wall than this (nodes) are not fitted
CORE_DEPTH = 8              # the drop's core: nodes this far (6-neighbour steps) inside it
SETTLED, SETTLED_UNITS = 0.3, 3
WETTINGS = (-1.2e-3, -8e-4, -4e-4, 0.0, 4e-4, 8e-4, 1.2e-3)
# Boxes (nx, ny, nz): a flat cap needs width, a beaded drop height; the drop's
# images stay more than an interface width (8 nodes) apart, its top as far
# from the upper wall.
BOXES = {-1.2e-3: (48, 36, 48), -8e-4: (48, 36, 48), -4e-4: (48, 36, 48), 0.0: (56, 32, 56),
         4e-4: (56, 28, 56), 8e-4: (64, 24, 64), 1.2e-3: (80, 24, 80)}
# The two-dimensional table (docs/physics.md, "Validation": 128 x 64, radius 20,
# delta_time 4e-4, 25 000 steps).
TABLE_2D = {-1.2e-3: 150.5, -8e-4: 125.2, -4e-4: 106.6, 0.0: 89.9, 4e-4: 73.9, 8e-4: 57.3,
            1.2e-3: 38.7}


def name_of(h_w, scheme, radius=RADIUS, init_y=-0.5):
    name = f"{scheme}_{h_w:+.1e}"
    if radius != RADIUS or init_y != -0.5:
        name += f"_R{radius:g}_y{init_y:g}"
    return name.replace(".", "p")


# ---------------------------------------------------------------------------
# The fit (numpy only: it runs in the package's environment during a run)

def grown(region, mask, axes):
    """One 6-neighbour step of region into mask (not across the box's edges)."""
    out = region.copy()
    for axis in axes:
        low = [slice(None)] * region.ndim
        high = [slice(None)] * region.ndim
        low[axis], high[axis] = slice(None, -1), slice(1, None)
        out[tuple(high)] |= region[tuple(low)]
        out[tuple(low)] |= region[tuple(high)]
    return out & mask


def flood(mask, seeds):
    """The nodes of mask connected to the seeds (6-neighbours)."""
    region = seeds & mask
    while True:
        bigger = grown(region, mask, range(mask.ndim))
        if (bigger == region).all():
            return region
        region = bigger


def eroded(mask, depth):
    """The nodes of mask at least depth 6-neighbour steps from its outside."""
    inner = mask.copy()
    for _ in range(depth):
        outside = ~inner
        inner = inner & ~grown(outside, np.ones_like(mask), range(mask.ndim))
    return inner


def centred(field, level):
    """The field rolled along the periodic x and z (axes 2 and 0) so that the
    dense nodes of the lower half sit around the middle."""
    weight = (field[:, : field.shape[1] // 2] - level).clip(0)
    shifts = []
    for axis, other in ((0, (1, 2)), (2, (0, 1))):
        n = field.shape[axis]
        w = weight.sum(axis=other)
        angle = np.angle(np.sum(w * np.exp(2j * np.pi * np.arange(n) / n)))
        shifts.append(int(round(n / 2 - angle * n / (2 * np.pi))) % n)
    return np.roll(field, shifts, axis=(0, 2))


def crossings(field, level, inside):
    """Points (x, y, z in nodes) where the field passes level between
    neighbouring nodes of which one is inside and the other not."""
    points = []
    for axis in range(3):
        a = [slice(None)] * 3
        b = [slice(None)] * 3
        a[axis], b[axis] = slice(None, -1), slice(1, None)
        fa, fb = field[tuple(a)], field[tuple(b)]
        cross = (inside[tuple(a)] != inside[tuple(b)]) & (fa != fb)
        index = [i.astype(float) for i in np.nonzero(cross)]
        index[axis] += np.clip((level - fa[cross]) / (fb[cross] - fa[cross]), 0, 1)
        points.append(np.column_stack([index[2], index[1], index[0]]))
    return np.concatenate(points)


def fit_sphere(points):
    """Centre and radius of x^2 + y^2 + z^2 + D x + E y + F z + G = 0 by
    linear least squares, and the rms distance of the points from it."""
    matrix = np.column_stack([points, np.ones(len(points))])
    rhs = -(points ** 2).sum(axis=1)
    (d, e, f, g), *_ = np.linalg.lstsq(matrix, rhs, rcond=None)
    centre = -0.5 * np.array([d, e, f])
    radius = math.sqrt(max(centre @ centre - g, 0.0))
    residual = np.sqrt(np.mean((np.linalg.norm(points - centre, axis=1) - radius) ** 2))
    return centre, radius, float(residual)


def drop_angle(density):
    """The drop on the floor of density (nz, ny, nx): its angle, sphere,
    height, base radius and the densities that set the level."""
    ny = density.shape[1]
    rows = np.arange(ny)[None, :, None]
    off_walls = (rows >= 4) & (rows <= ny - 5)
    level = 0.5 * (density.min() + density.max())
    field = centred(density, level)
    for _ in range(2):  # the level from the extremes, then from the vapour and the core
        dense = field > level
        seeds = np.zeros_like(dense)
        seeds[:, 0] = True
        drop = flood(dense, seeds)
        if not drop.any():
            raise ValueError("no drop on the floor")
        vapour = float(np.median(field[~dense & np.broadcast_to(off_walls, dense.shape)]))
        for depth in range(CORE_DEPTH, 0, -1):  # the deepest nodes a small drop has
            core = eroded(drop, depth) & (rows >= WALL_CLEARANCE)
            if core.any():
                break
        liquid = float(field[core].mean()) if core.any() else float(field[drop].max())
        level = 0.5 * (vapour + liquid)
    dense = field > level
    seeds = np.zeros_like(dense)
    seeds[:, 0] = True
    drop = flood(dense, seeds)
    points = crossings(field, level, drop)
    points = points[points[:, 1] > WALL_CLEARANCE - 0.5]
    if len(points) < 20:
        raise ValueError("too few isosurface points off the wall")
    centre, radius, residual = fit_sphere(points)
    cos = float(np.clip(-(centre[1] + 0.5) / radius, -1, 1))
    volume = float(((field - vapour) / (liquid - vapour)).clip(0, None)[drop].sum())
    return {"angle": math.degrees(math.acos(cos)), "sphere_radius": radius,
            "centre_y": float(centre[1]), "height": float(radius + centre[1] + 0.5),
            "base_radius": float(math.sqrt(max(radius ** 2 - (centre[1] + 0.5) ** 2, 0))),
            "fit_rms": residual, "points": int(len(points)), "vapour": vapour,
            "liquid": liquid, "level": level, "drop_volume": volume}


# ---------------------------------------------------------------------------
# Runs

def laplace_pair(fluid, jump):
    """Vapour and liquid densities of equal chemical potential whose
    pressures differ by jump = p(liquid) - p(vapour) (> 0 around a drop,
    < 0 around a bubble): the bulk phases of a curved interface at rest."""
    low, high = fluid.spinodal()

    def on_branch(mu, lo, hi):
        return bisect(lambda n: fluid.potential(n) - mu, lo, hi)

    def pair(mu):
        return on_branch(mu, 1e-9, low), on_branch(mu, high, 3 - 1e-9)

    def excess(mu):
        n_v, n_l = pair(mu)
        return fluid.pressure(n_l) - fluid.pressure(n_v) - jump

    # Both branches hold the potentials between those of the two spinodals.
    lo, hi = fluid.potential(high), fluid.potential(low)
    return pair(bisect(excess, lo + 1e-9 * (hi - lo), hi - 1e-9 * (hi - lo)))


def cap_radius(angle, volume):
    """Radius of the spherical cap of contact angle angle (degrees) and volume."""
    c = math.cos(math.radians(angle))
    return (3 * volume / (math.pi * (2 - 3 * c + c ** 3))) ** (1 / 3)


def supersaturated(h_w, radius0=RADIUS):
    """The densities a drop of Young's angle for h_w, holding the half
    sphere's volume, has at rest: posed so, the vapour does not have to
    take a third of a small drop to reach its Laplace pressure."""
    fluid = Fluid(T_OVER_TC)
    radius = cap_radius(fluid.young_angle(h_w, KAPPA), 2 * math.pi / 3 * radius0 ** 3)
    return laplace_pair(fluid, 2 * fluid.surface_tension(KAPPA) / (radius / 128))

def parameters(h_w, scheme, dt, box, radius=RADIUS, init_y=-0.5):
    nx, ny, nz = box
    keys = {"nodes_x": nx, "nodes_y": ny, "nodes_z": nz, "temperature": T_OVER_TC,
            "kappa": KAPPA, "delta_time": dt, "scheme": scheme, "walls": "y",
            "init": "drop", "init_radius": radius, "init_y": init_y, "init_x": (nx - 1) / 2,
            "init_z": (nz - 1) / 2}
    keys["init_vapour"], keys["init_liquid"] = supersaturated(h_w, radius)
    if h_w != 0.0:
        keys["wall_wetting"] = h_w
    return keys


def run_drop(out, h_w, scheme, dt, start, min_time, max_time, radius=RADIUS, init_y=-0.5,
             box=None):
    import vdwflow
    box = box or BOXES[h_w]
    keys = parameters(h_w, scheme, dt, box, radius, init_y)
    density = None
    if start:
        density = np.load(os.path.join(start, name_of(h_w, "upwind", radius, init_y) + ".npy"))
        keys = {k: v for k, v in keys.items() if not k.startswith("init")}
    unit = int(round(1.0 / dt))
    history, detached = [], None
    wall, cpu = time.time(), time.process_time()
    with vdwflow.Simulation(keys, density=density, folder=out) as sim:
        mass0 = sim.total_density
        while sim.time < max_time - 1e-9:
            sim.step(unit)
            try:
                fit = drop_angle(sim.density)
            except ValueError as error:  # the drop has left the floor
                print(f"  t {sim.time:6.2f}  {error}", flush=True)
                detached = sim.time
                break
            history.append({"time": sim.time, **fit})
            print(f"  t {sim.time:6.2f}  angle {fit['angle']:7.2f}  R {fit['sphere_radius']:6.2f}"
                  f"  rms {fit['fit_rms']:.3f}", flush=True)
            last = [h["angle"] for h in history[-(SETTLED_UNITS + 1):]]
            if fit["angle"] >= 179.99:  # a sphere above the floor: detached
                detached = sim.time
                break
            if (sim.time >= min_time - 1e-9 and len(last) > SETTLED_UNITS
                    and max(last) - min(last) < SETTLED):
                break
        final = sim.density
        speed = float(np.linalg.norm(sim.velocity, axis=-1).max())
        mass_change = (sim.total_density - mass0) / mass0
        steps = sim.step_count
    name = name_of(h_w, scheme, radius, init_y)
    np.save(os.path.join(out, name + ".npy"), final)
    angles = [h["angle"] for h in history[-(SETTLED_UNITS + 1):]]
    result = {"wetting": h_w, "scheme": scheme, "radius": radius, "init_y": init_y,
              "delta_time": dt, "box": box, "steps": steps,
              "from": start, "detached": detached, "settled": detached is None and max(angles) - min(angles) < SETTLED,
              "drift_last_units": max(angles) - min(angles), "largest_speed": speed,
              "mass_change": mass_change, "wall_seconds": time.time() - wall,
              "cpu_seconds": time.process_time() - cpu,
              "young": Fluid(T_OVER_TC).young_angle(h_w, KAPPA), "final": history[-1],
              "history": history}
    with open(os.path.join(out, name + ".json"), "w") as f:
        json.dump(result, f, indent=1)
    return result


def run_two_d(out, dt):
    """The two-dimensional table's drops at this time step, fitted as the
    campaign does (scripts/campaign_results.py)."""
    import vdwflow
    from campaign_results import contact_angle
    rows = {}
    for h_w in WETTINGS:
        keys = {"nodes_x": 128, "nodes_y": 64, "temperature": T_OVER_TC, "kappa": KAPPA,
                "delta_time": dt, "walls": "y", "init": "drop", "init_radius": 20,
                "init_y": -0.5}
        if h_w != 0.0:
            keys["wall_wetting"] = h_w
        with vdwflow.Simulation(keys, folder=out) as sim:
            sim.step(int(round(10.0 / dt)))
            found = contact_angle(sim.density, True, 8.2)
        rows[f"{h_w:+.1e}"] = found["contact_angle"]
        print(f"  2-D h_w {h_w:+.1e}: {found['contact_angle']:.2f}", flush=True)
    with open(os.path.join(out, f"two_d_{dt:g}.json"), "w") as f:
        json.dump({"delta_time": dt, "steps": int(round(10.0 / dt)), "angles": rows}, f, indent=1)


# ---------------------------------------------------------------------------
# The report

def load(out):
    results, variants = {}, []
    for name in sorted(os.listdir(out)):
        if name.endswith(".json") and not name.startswith("two_d"):
            with open(os.path.join(out, name)) as f:
                r = json.load(f)
            if r.get("radius", RADIUS) == RADIUS and r.get("init_y", -0.5) == -0.5:
                results[(r["scheme"], r["wetting"])] = r
            else:
                variants.append(r)
    two_d = {}
    for name in os.listdir(out):
        if name.startswith("two_d"):
            with open(os.path.join(out, name)) as f:
                two_d = {float(k): v for k, v in json.load(f)["angles"].items()}
    return results, two_d, variants


def report(out, picture):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    results, two_d, variants = load(out)
    fluid = Fluid(T_OVER_TC)
    sigma = fluid.surface_tension(KAPPA) * 128     # per node length
    print("| h_w | 3-D upwind | 3-D Lax-Wendroff | 2-D (table) | 2-D, this dt | Young "
          "| 3-D - Young | sphere R | base radius | height | settled (drift) | time units |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for h_w in WETTINGS:
        up = results.get(("upwind", h_w))
        lw = results.get(("lax_wendroff", h_w))
        young = fluid.young_angle(h_w, KAPPA)
        cells = [f"{h_w:+.1e}"]
        if up and up.get("detached"):
            held = [h for h in up["history"] if h["angle"] < 179.99]
            cells.append(f"{held[-1]['angle']:.1f} at t {held[-1]['time']:.0f}, then left the "
                         f"floor (t {up['detached']:.0f})" if held else "left the floor")
        else:
            cells.append(f"{up['final']['angle']:.1f}" if up else "")
        cells.append(f"{lw['final']['angle']:.1f}" if lw else "")
        cells.append(f"{TABLE_2D[h_w]:.1f}")
        cells.append(f"{two_d[h_w]:.1f}" if h_w in two_d else "")
        cells.append(f"{young:.1f}")
        if up and not up.get("detached"):
            f = up["final"]
            cells += [f"{f['angle'] - young:+.1f}", f"{f['sphere_radius']:.1f}",
                      f"{f['base_radius']:.1f}", f"{f['height']:.1f}",
                      f"{'yes' if up['settled'] else 'no'} ({up['drift_last_units']:.2f})",
                      f"{up['history'][-1]['time']:.0f}"]
        print("| " + " | ".join(cells) + " |")
    print()
    print("| run | box | steps | largest speed | mass change | fit rms (nodes) | vapour | "
          "core | cpu s |")
    print("|---|---|---|---|---|---|---|---|---|")
    for (scheme, h_w), r in sorted(results.items()):
        f = r["final"]
        print(f"| {scheme} {h_w:+.1e} | {'x'.join(map(str, r['box']))} | {r['steps']} | "
              f"{r['largest_speed']:.4f} | {r['mass_change']:.1e} | {f['fit_rms']:.3f} | "
              f"{f['vapour']:.4f} | {f['liquid']:.4f} | {r['cpu_seconds']:.0f} |")
    if variants:
        print()
        print("| run | start | box | angle | Young | sphere R | base radius | settled (drift) "
              "| time units |")
        print("|---|---|---|---|---|---|---|---|---|")
        for r in sorted(variants, key=lambda r: (r["scheme"], r["wetting"], r["radius"])):
            f = r["final"]
            start = (f"sphere R0 {r['radius']:g} centred at y {r['init_y']:g}"
                     if r["init_y"] != -0.5 else f"half sphere R0 {r['radius']:g}")
            print(f"| {r['scheme']} {r['wetting']:+.1e} | {start} | "
                  f"{'x'.join(map(str, r['box']))} | {f['angle']:.1f} | {r['young']:.1f} | "
                  f"{f['sphere_radius']:.1f} | {f['base_radius']:.1f} | "
                  f"{'yes' if r['settled'] else 'no'} ({r['drift_last_units']:.2f}) | "
                  f"{f['time']:.0f} |")
    # Apparent line tension: cos(theta) = cos(theta_Y) - tau / (sigma r_base).
    print()
    print("| h_w | cos 3-D - cos Young | apparent line tension tau (sigma x nodes) |")
    print("|---|---|---|")
    for h_w in WETTINGS:
        up = results.get(("upwind", h_w))
        if up and not up.get("detached"):
            f = up["final"]
            dc = math.cos(math.radians(f["angle"])) - math.cos(math.radians(
                fluid.young_angle(h_w, KAPPA)))
            print(f"| {h_w:+.1e} | {dc:+.4f} | {-dc * f['base_radius']:+.2f} |")
    print(f"\n(sigma = {sigma:.4f} per node; tau in sigma x nodes)")

    figure, axes = plt.subplots(1, 2, figsize=(10, 4.2))
    grid = np.linspace(-1.45e-3, 1.45e-3, 200)
    axes[0].plot(grid * 1e3, [fluid.young_angle(h, KAPPA) for h in grid], "k-", lw=1,
                 label="Young (Cahn's construction)")
    axes[0].plot([h * 1e3 for h in WETTINGS], [TABLE_2D[h] for h in WETTINGS], "s",
                 mfc="none", color="tab:blue", label="2-D, 128 x 64, R0 20 (docs)")
    for scheme, mark, colour in (("upwind", "o", "tab:red"), ("lax_wendroff", "^", "tab:green")):
        hs = [h for h in WETTINGS if (scheme, h) in results and not results[(scheme, h)].get("detached")]
        if hs:
            axes[0].plot([h * 1e3 for h in hs], [results[(scheme, h)]["final"]["angle"]
                                                 for h in hs], mark, color=colour,
                         label=f"3-D {scheme.replace('_', '-')}, R0 16")
    if variants:
        axes[0].plot([r["wetting"] * 1e3 for r in variants],
                     [r["final"]["angle"] for r in variants], "x", color="tab:purple", ms=7,
                     label="3-D upwind, larger drops (sphere R " + ", ".join(
                         f"{r['final']['sphere_radius']:.1f}" for r in variants) + ")")
    for (scheme, h_w), r in results.items():
        held = [h for h in r["history"] if h["angle"] < 179.99]
        if r.get("detached") and held:
            axes[0].plot(h_w * 1e3, held[-1]["angle"], "o", mfc="none", color="tab:red")
            axes[0].annotate(f"3-D: left the floor\nat t {r['detached']:.0f}",
                             (h_w * 1e3, held[-1]["angle"]), xytext=(-1.5, 162), fontsize=7,
                             arrowprops={"arrowstyle": "-", "lw": 0.6})
    axes[0].set_xlabel("h_w (1e-3)")
    axes[0].set_ylabel("contact angle (degrees, inside the liquid)")
    axes[0].set_title("T/Tc 0.9, kappa 1e-4", fontsize=9)
    axes[0].legend(fontsize=7, loc="upper right")
    for h_w in WETTINGS:
        r = results.get(("upwind", h_w))
        if r:
            axes[1].plot([0] + [h["time"] for h in r["history"]],
                         [90] + [h["angle"] for h in r["history"]], "-", label=f"{h_w:+.1e}")
    axes[1].set_xlabel("time (solver units)")
    axes[1].set_ylabel("fitted angle (degrees)")
    axes[1].set_title("3-D upwind: the angle while the drop settles", fontsize=9)
    axes[1].legend(fontsize=7, ncol=2)
    figure.tight_layout()
    figure.savefig(picture, dpi=110)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("run", "two_d", "report"))
    parser.add_argument("out")
    parser.add_argument("picture", nargs="?")
    parser.add_argument("--scheme", default="upwind", choices=("upwind", "lax_wendroff"))
    parser.add_argument("--wetting", default=",".join(map(str, WETTINGS)),
                        help="comma-separated h_w values, e.g. --wetting=0,-8e-4")
    parser.add_argument("--delta-time", type=float, default=1e-3)
    parser.add_argument("--from", dest="start")
    parser.add_argument("--min-time", type=float, default=6.0)
    parser.add_argument("--max-time", type=float, default=20.0)
    parser.add_argument("--radius", type=float, default=RADIUS, help="of the posed drop, nodes")
    parser.add_argument("--init-y", type=float, default=-0.5,
                        help="its centre (-0.5: a half sphere on the floor; higher: a cap "
                             "of more than 90 degrees, to approach the angle from above)")
    parser.add_argument("--box", help="NX,NY,NZ instead of the h_w's own")
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    if args.command == "run":
        for h_w in [float(w) for w in args.wetting.split(",")]:
            box = tuple(int(v) for v in args.box.split(",")) if args.box else BOXES[h_w]
            print(f"{args.scheme} h_w {h_w:+.1e} box {box}", flush=True)
            r = run_drop(args.out, h_w, args.scheme, args.delta_time, args.start,
                         args.min_time, args.max_time, args.radius, args.init_y, box)
            print(f"  -> {r['final']['angle']:.2f} (Young {r['young']:.2f}), "
                  f"{r['cpu_seconds']:.0f} s cpu", flush=True)
    elif args.command == "two_d":
        run_two_d(args.out, args.delta_time)
    else:
        report(args.out, args.picture or "three_d_angles.png")


if __name__ == "__main__":
    main(sys.argv[1:])
