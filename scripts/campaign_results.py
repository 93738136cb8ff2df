"""Results of a campaign, for campaign.py collect: one row per point in
results.csv, the pictures, and where the temperature is swept below Tc the
coexistence curve against the equal-area construction with its table.

What a run's last snapshot gives:
  lightest, densest bulk density   means over the nodes far from every
                                   interface on either side of the mid density;
  interface width                  10 % to 90 % of the density step, in nodes,
                                   mean over the interfaces (slabs only);
  surface tension                  kappa * integral (dn/dx)^2 dx per interface
                                   (slabs only), solver units;
  change over the last cycle       largest relative change of the two bulk
                                   densities since the snapshot before: how
                                   far the run is from equilibrium.
A slab is a field whose rows (or columns) agree: flat interfaces only.
The snapshots are a run's PV*.vtk files, or where it wrote none (-houtput vti)
its PV*.vti files.

Runs that posed a shape get its analysis too, from their parameter files:
  a drop or bubble without walls   the Laplace law: inside and outside bulk
                                   densities, their pressures p(n) and the
                                   jump, the radius from the area of the
                                   inside phase; laplace.png, laplace.md;
  a drop on a wall                 the contact angle of a circle fitted to
                                   the mid-density contour, beside Young's
                                   angle of the wall's wetting parameter;
                                   contact_angle.png, contact_angle.md.
"""
import csv
import math
import os
import re

import numpy as np
import matplotlib

matplotlib.use("Agg")  # files only
import matplotlib.pyplot as plt  # noqa: E402

from run_folder import (CONSOLE, LEADING_REAL, PARAMETER_FILE, RunError,  # noqa: E402
                        find_snapshots, parameter, read_console_totals, read_density,
                        read_parameters, read_profile, reduced_temperature)
from vdw_theory import Fluid, TheoryError  # noqa: E402

SPACING = 1 / 128          # the lattice spacing h, whatever the node counts
ONE_PHASE = 0.01           # a contrast below this fraction of the mean density: one phase
SLAB_TOLERANCE = 0.01      # rows alike to this fraction of the contrast: a slab
BULK_MARGIN = 1.5          # bulk nodes are this many interface widths from an interface
FIXED_MARGIN = 8           # nodes, where no interface width is measured
COLUMNS = ("status", "detail", "final_step", "phases", "lightest_bulk", "densest_bulk",
           "total_drift",
           "interface_width", "surface_tension", "change_last_cycle", "seconds",
           "equal_area_vapour", "equal_area_liquid")
NAN = float("nan")
# The shapes' analyses: their columns, added where a point has that shape.
SHAPE_MARGIN = 2           # bulk nodes are this many interface widths (10-90 %) from the contour
WALL_CLEARANCE = 3         # contour points nearer the wall than this (nodes) are not fitted
LAPLACE_COLUMNS = ("inside_density", "outside_density", "inside_pressure", "outside_pressure",
                   "pressure_jump", "radius_nodes", "radius", "cahn_jump")
WALL_COLUMNS = ("wall_wetting", "contact_angle", "young_angle", "angle_difference",
                "circle_radius")


# ---------------------------------------------------------------------------
# One field

def eroded(mask, margin, axes):
    """The nodes of mask whose neighbours within margin nodes (periodic,
    along the given axes) all belong to it too."""
    out = mask.copy()
    for axis in axes:
        along = out.copy()
        for d in range(1, margin + 1):
            along &= np.roll(out, d, axis) & np.roll(out, -d, axis)
        out = along
    return out


def bulk(field, margin, axes):
    """Mean density of the nodes at least margin nodes away from the mid
    density on the light side and on the dense side (NaN where none are)."""
    dense = field > 0.5 * (field.min() + field.max())
    light_nodes = field[eroded(~dense, margin, axes)]
    dense_nodes = field[eroded(dense, margin, axes)]
    return (light_nodes.mean() if light_nodes.size else NAN,
            dense_nodes.mean() if dense_nodes.size else NAN)


def reach(line, start, direction, level):
    """Where the periodic line, walked from node start in the direction
    given, first passes level: an unwrapped position in nodes."""
    n = len(line)
    previous = line[start % n]
    for k in range(1, n // 2 + 1):
        value = line[(start + direction * k) % n]
        if (value - level) * (previous - level) <= 0 and value != previous:
            return start + direction * (k - 1 + (level - previous) / (value - previous))
        previous = value
    return None


def interface_widths(line, light, dense):
    """10 %-90 % width of every interface of a periodic profile, in nodes."""
    n = len(line)
    above = line > 0.5 * (light + dense)
    low, high = light + 0.1 * (dense - light), light + 0.9 * (dense - light)
    widths = []
    for i in np.flatnonzero(above != np.roll(above, -1)):
        rising = above[(i + 1) % n]
        high_at = reach(line, i if rising else i + 1, 1 if rising else -1, high)
        low_at = reach(line, i + 1 if rising else i, -1 if rising else 1, low)
        if high_at is not None and low_at is not None:
            widths.append(abs(high_at - low_at))
    return widths


def slab_profile(field, profile):
    """The density across a slab's interfaces (the written profile where it
    is the row's), or None where the field is no slab."""
    contrast = field.max() - field.min()
    if np.ptp(field, axis=0).max() < SLAB_TOLERANCE * contrast:  # rows alike
        if profile is not None and len(profile) == field.shape[1]:
            return np.asarray(profile)
        return field.mean(axis=0)
    if np.ptp(field, axis=1).max() < SLAB_TOLERANCE * contrast:  # columns alike
        return field.mean(axis=1)
    return None


def analyse(field, kappa, profile=None):
    """The bulk densities of a snapshot, and for a slab its interfaces."""
    found = {"phases": "", "lightest_bulk": NAN, "densest_bulk": NAN, "interface_width": NAN,
             "surface_tension": NAN}
    if not np.isfinite(field).all():
        return found
    mean = field.mean()
    if field.max() - field.min() < ONE_PHASE * abs(mean):
        found.update(phases=1, lightest_bulk=mean, densest_bulk=mean)
        return found
    found["phases"] = 2
    line = slab_profile(field, profile)
    if line is None:
        found["lightest_bulk"], found["densest_bulk"] = bulk(field, FIXED_MARGIN, (0, 1))
        return found
    light, dense = line.min(), line.max()
    widths = []
    for _ in range(2):  # the levels from the extremes, then from the bulk
        widths = interface_widths(line, light, dense) or widths
        if not widths:
            break
        margin = math.ceil(BULK_MARGIN * np.mean(widths))
        light, dense = bulk(line, margin, (0,))
        if not (math.isfinite(light) and math.isfinite(dense)):
            break
    found.update(lightest_bulk=light, densest_bulk=dense)
    if widths:
        slope = (8 * (np.roll(line, -1) - np.roll(line, 1)) -
                 (np.roll(line, -2) - np.roll(line, 2))) / (12 * SPACING)
        found["interface_width"] = float(np.mean(widths))
        found["surface_tension"] = kappa * float(np.sum(slope**2) * SPACING) / len(widths)
    return found


# ---------------------------------------------------------------------------
# Shapes: drops and bubbles, free or on a wall

class ShapeError(Exception):
    """A field the shape's analysis cannot read (one phase left, no contour)."""


def centred(field, inside, axes):
    """The field rolled along the periodic axes given so that the inside
    nodes sit around the middle (their circular mean), and the shifts."""
    shifts = [0, 0]
    for axis in axes:
        n = field.shape[axis]
        weight = inside.sum(axis=1 - axis).astype(float)
        angle = np.angle(np.sum(weight * np.exp(2j * np.pi * np.arange(n) / n)))
        shifts[axis] = int(round(n / 2 - angle * n / (2 * np.pi))) % n
    return np.roll(field, shifts, axis=(0, 1)), shifts


def contour_points(field, level, inside):
    """Where the field passes level between neighbouring nodes of which one
    is inside and the other not, by linear interpolation: (x, y) in nodes.
    Pairs across the lattice's edge are left out (the shape is centred)."""
    xs, ys = [], []
    for axis in (0, 1):
        a = [slice(None), slice(None)]
        b = [slice(None), slice(None)]
        a[axis], b[axis] = slice(None, -1), slice(1, None)
        fa, fb = field[tuple(a)], field[tuple(b)]
        cross = (inside[tuple(a)] != inside[tuple(b)]) & (fa != fb)
        y, x = np.nonzero(cross)
        t = (level - fa[cross]) / (fb[cross] - fa[cross])
        t = np.clip(t, 0, 1)
        if axis == 0:
            y = y + t
        else:
            x = x + t
        xs.append(x.astype(float))
        ys.append(y.astype(float))
    return np.concatenate(xs), np.concatenate(ys)


def contour_distance(shape, xs, ys):
    """Distance of every node to the nearest contour point, in nodes."""
    ny, nx = shape
    y, x = np.mgrid[:ny, :nx]
    nearest = np.full(ny * nx, np.inf)
    flat_x, flat_y = x.ravel().astype(float), y.ravel().astype(float)
    for start in range(0, len(xs), 256):
        dx = flat_x[:, None] - xs[None, start:start + 256]
        dy = flat_y[:, None] - ys[None, start:start + 256]
        nearest = np.minimum(nearest, np.sqrt(dx * dx + dy * dy).min(axis=1))
    return nearest.reshape(shape)


def far_mean(field, side, distance, margin):
    """Mean of the field over the nodes of side at least margin from the
    contour; where a small shape has none so far, over its innermost nodes.
    And whether there were nodes so far (a bulk)."""
    if not side.any():
        raise ShapeError("one side is empty")
    far = side & (distance >= margin)
    bulk = far.any()
    if not bulk:
        far = side & (distance >= distance[side].max() - 1)
    return float(field[far].mean()), bulk


def mid_level(field):
    """The density halfway between the extremes of a separated field."""
    if not np.isfinite(field).all():
        raise ShapeError("not finite")
    if field.max() - field.min() < ONE_PHASE * abs(field.mean()):
        raise ShapeError("one phase left")
    return 0.5 * (field.min() + field.max())


def laplace(field, drop, fluid, width):
    """A drop (dense inside) or a bubble on a periodic lattice: bulk
    densities inside and outside, farther than SHAPE_MARGIN widths (nodes)
    from the mid-density contour; their pressures p(n) and the jump; the
    radius of the area the inside phase covers, sum (n - n_out) / (n_in -
    n_out) = pi R^2, in nodes and in solver units."""
    level = mid_level(field)
    sign = 1 if drop else -1
    field, _ = centred(field, sign * (field - level) > 0, (0, 1))
    margin = SHAPE_MARGIN * width
    for _ in range(2):  # the level from the extremes, then from the bulk densities
        inside = sign * (field - level) > 0
        xs, ys = contour_points(field, level, inside)
        if not xs.size:
            raise ShapeError("no contour")
        distance = contour_distance(field.shape, xs, ys)
        n_in, bulk_inside = far_mean(field, inside, distance, margin)
        n_out, _ = far_mean(field, ~inside, distance, margin)
        level = 0.5 * (n_in + n_out)
    area = float(np.sum((field - n_out) / (n_in - n_out)))
    radius = math.sqrt(max(area, 0) / math.pi)
    p_in, p_out = float(fluid.pressure(n_in)), float(fluid.pressure(n_out))
    return {"inside_density": n_in, "outside_density": n_out, "inside_pressure": p_in,
            "outside_pressure": p_out, "pressure_jump": p_in - p_out, "radius_nodes": radius,
            "radius": radius * SPACING, "bulk_inside": bulk_inside}


def orient(field, wall):
    """The field turned so that the wall given lies below row 0."""
    return {"bottom": field, "top": field[::-1], "left": field.T,
            "right": field.T[::-1]}[wall]


def flood(mask, seed):
    """The nodes of mask connected to the seed node (4-neighbours, not
    across the lattice's edges)."""
    region = np.zeros_like(mask)
    if not mask[seed]:
        return region
    region[seed] = True
    while True:
        grown = region.copy()
        grown[1:] |= region[:-1]
        grown[:-1] |= region[1:]
        grown[:, 1:] |= region[:, :-1]
        grown[:, :-1] |= region[:, 1:]
        grown &= mask
        if (grown == region).all():
            return region
        region = grown


def fit_circle(xs, ys):
    """Centre and radius of the circle x^2 + y^2 + D x + E y + F = 0 fitted
    by linear least squares (the algebraic fit)."""
    matrix = np.column_stack([xs, ys, np.ones_like(xs)])
    (d, e, f), *_ = np.linalg.lstsq(matrix, -(xs * xs + ys * ys), rcond=None)
    xc, yc = -d / 2, -e / 2
    return xc, yc, math.sqrt(max(xc * xc + yc * yc - f, 0.0))


def contact_angle(field, along_periodic, width):
    """A drop on the wall below row 0 (the field turned by orient): the
    angle inside the liquid of the circle fitted to the mid-density contour
    points farther than WALL_CLEARANCE nodes from the wall,
    theta = arccos(-(y_c - y_wall) / R), y_wall = -0.5. The lattice has a
    wall opposite too; along it, it is periodic or not."""
    level = mid_level(field)
    ny = field.shape[0]
    if along_periodic:
        field, _ = centred(field, field > level, (1,))
    # Bulk densities away from the contour and from both walls.
    margin = SHAPE_MARGIN * width
    rows = np.arange(ny)[:, None] + np.zeros(field.shape)
    wall_distance = np.minimum(rows + 0.5, ny - 0.5 - rows)
    for _ in range(2):
        dense = field > level
        xs, ys = contour_points(field, level, dense)
        if not xs.size:
            raise ShapeError("no contour")
        distance = np.minimum(contour_distance(field.shape, xs, ys), wall_distance)
        level = 0.5 * (far_mean(field, dense, distance, margin)[0] +
                       far_mean(field, ~dense, distance, margin)[0])
    # The drop: the dense region on the wall under its densest column.
    liquid = field > level
    column = int(np.argmax((field[:max(1, ny // 4)] - level).clip(0).sum(axis=0)))
    drop = flood(liquid, (0, column))
    if not drop.any():
        raise ShapeError("no drop on the wall")
    xs, ys = contour_points(field, level, drop)
    keep = ys > WALL_CLEARANCE - 0.5
    if keep.sum() < 6:
        raise ShapeError("too few contour points off the wall")
    xc, yc, radius = fit_circle(xs[keep], ys[keep])
    cos = np.clip(-(yc + 0.5) / radius, -1, 1)
    return {"contact_angle": math.degrees(math.acos(cos)), "circle_radius": radius}


def shape_of(values):
    """What a point's parameter file poses, for its analysis: ("laplace",
    "drop" | "bubble"), ("wall", "bottom" | "top" | "left" | "right",
    periodic along the wall), or None (also for a shape joined to a pool,
    beside a solid mask or under gravity)."""
    init = values.get("hinit", "noise")
    walls = values.get("hwalls", "none")
    if init not in ("drop", "bubble") or "hsolid_file" in values or "hinit_pool" in values:
        return None
    if any(parameter(values, key, LEADING_REAL, float) for key in ("hgravity_x", "hgravity_y")):
        return None
    if walls == "none":
        return ("laplace", init)
    if init != "drop":
        return None
    nx, ny = parameter(values, "hnodes_x"), parameter(values, "hnodes_y")
    radius = parameter(values, "hinit_radius", LEADING_REAL, float)
    x0 = parameter(values, "hinit_x", LEADING_REAL, float) if "hinit_x" in values else (nx - 1) / 2
    y0 = parameter(values, "hinit_y", LEADING_REAL, float) if "hinit_y" in values else (ny - 1) / 2
    # The wall the centre lies at or near: within half a radius of it.
    near = []
    if "y" in walls:
        near += [(y0 + 0.5, "bottom"), (ny - 0.5 - y0, "top")]
    if "x" in walls:
        near += [(x0 + 0.5, "left"), (nx - 0.5 - x0, "right")]
    distance, wall = min(near)
    if distance > 0.5 * radius:
        return None
    return ("wall", wall, walls != "xy")


def fluid_of(values):
    """The point's fluid (T / Tc = htemperature, Tc = 1 / hRTzero) and kappa."""
    rt_zero = parameter(values, "hRTzero", LEADING_REAL, float) or 1.0
    return (Fluid(reduced_temperature(values), 1 / rt_zero),
            parameter(values, "hkappa", LEADING_REAL, float))


def shape_words(shape):
    return shape[1] if shape[0] == "laplace" else f"drop on the {shape[1]} wall"


def analyse_shape(shape, field, values):
    """The columns of a point's shape analysis, and the words for its setup
    column (with why there are no figures where the analysis failed)."""
    wetting = parameter(values, "hwall_wetting", LEADING_REAL, float)
    found = {"wall_wetting": wetting} if shape[0] == "wall" else {}
    words = shape_words(shape)
    try:
        if field is None:
            raise ShapeError("no snapshot")
        fluid, kappa = fluid_of(values)
        # The 10-90 % width of the flat interface's tanh profile, in nodes.
        width = 2 * math.atanh(0.8) * fluid.interface_width(kappa) / SPACING
        if shape[0] == "laplace":
            found.update(laplace(field, shape[1] == "drop", fluid, width))
            found["cahn_jump"] = fluid.surface_tension(kappa) / found["radius"]
            if not found.pop("bulk_inside"):
                found["unfitted"] = True
                words += (f" (no node {SHAPE_MARGIN} interface widths inside the contour: "
                          "no bulk, left out of the fit)")
        else:
            found["young_angle"] = fluid.young_angle(wetting, kappa)
            found.update(contact_angle(orient(field, shape[1]), shape[2], width))
            found["angle_difference"] = found["contact_angle"] - found["young_angle"]
    except (ShapeError, TheoryError, ValueError, ZeroDivisionError, np.linalg.LinAlgError) as e:
        words += f" (not analysed: {e})"
    return words, found


# ---------------------------------------------------------------------------
# One point

def point_row(folder, values, seconds):
    """What a point's files say: final step, bulk densities, drift, ..."""
    kappa = parameter(values, "hkappa", LEADING_REAL, float)
    row = {"final_step": "", "total_drift": NAN, "change_last_cycle": NAN, "seconds": seconds}
    t = row["t"] = reduced_temperature(values)
    vapour, liquid = Fluid(t).coexistence() if 0.05 < t < 1 else (NAN, NAN)
    row.update(equal_area_vapour=vapour, equal_area_liquid=liquid)
    try:
        _, snapshots = find_snapshots(folder)
    except RunError:
        row.update(analyse(np.zeros((1, 1)) * NAN, kappa))
        return row
    # The last two snapshots that read whole: a run killed while it wrote one
    # leaves that one cut short.
    results, steps = [], []
    for step, path, profile in reversed(snapshots):
        try:
            field = read_density(path)
            result = analyse(field, kappa, read_profile(profile) if profile else None)
        except (RunError, ValueError, IndexError, OSError):
            continue
        row.setdefault("field", field)  # the last whole one
        results.insert(0, result)
        steps.insert(0, step)
        if len(results) == 2:
            break
    if not results:
        row.update(analyse(np.zeros((1, 1)) * NAN, kappa))
        return row
    row.update(results[-1])
    row["final_step"] = steps[-1]
    if len(results) == 2:
        change = [abs(results[1][k] / results[0][k] - 1)
                  for k in ("lightest_bulk", "densest_bulk")]
        row["change_last_cycle"] = max(change)
    console = os.path.join(folder, CONSOLE)
    totals = read_console_totals(console) if os.path.isfile(console) else {}
    if totals:
        first, last = totals[min(totals)], totals[max(totals)]
        row["total_drift"] = (last - first) / first if first else NAN
        row["final_step"] = max(totals)
    return row


def text(value):
    if isinstance(value, float):
        return "" if math.isnan(value) else f"{value:.7g}"
    return str(value)


# ---------------------------------------------------------------------------
# The campaign

def collect(folder, campaign, states):
    keys = campaign["keys"]
    rows = []
    for point, state, detail, record in states:
        where = os.path.join(folder, "points", point["name"])
        values = read_parameters(os.path.join(where, PARAMETER_FILE))
        row = {"point": point["name"], "status": state, "detail": "" if state == "done" else detail}
        row.update({key: values.get(key, "") for key in keys})
        row.update(point_row(where, values, (record or {}).get("seconds", NAN)))
        shape = shape_of(values)
        if shape:
            row["shape"] = shape
            row["theory"] = (row["t"], parameter(values, "hkappa", LEADING_REAL, float),
                             parameter(values, "hRTzero", LEADING_REAL, float) or 1.0)
            row["initial_radius"] = parameter(values, "hinit_radius", LEADING_REAL, float)
            row["setup"], found = analyse_shape(shape, row.get("field"), values)
            row.update(found)
        row.pop("field", None)
        rows.append(row)
    columns = list(COLUMNS)
    kinds = {r["shape"][0] for r in rows if "shape" in r}
    if kinds:
        columns.append("setup")
    if "laplace" in kinds:
        columns += LAPLACE_COLUMNS
    if "wall" in kinds:
        columns += WALL_COLUMNS
    table = os.path.join(folder, "results.csv")
    with open(table, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["point"] + keys + columns)
        for row in rows:
            writer.writerow([row["point"]] + [row[k] for k in keys] +
                            [text(row.get(c, "")) for c in columns])
    print(table)
    if keys:
        print(plot_sweep(os.path.join(folder, "sweep.png"), rows, keys, folder))
    if len({r["t"] for r in rows if r["t"] < 1}) > 1:
        print(plot_coexistence(os.path.join(folder, "coexistence.png"), rows, folder, keys))
        markdown = os.path.join(folder, "coexistence.md")
        with open(markdown, "w") as f:
            f.write(coexistence_table(rows, keys))
        print(markdown)
        print(coexistence_table(rows, keys), end="")
    for kind, plot, table in (("laplace", plot_laplace, laplace_table),
                              ("wall", plot_contact_angles, contact_angle_table)):
        members = [r for r in rows if r.get("shape", ("",))[0] == kind]
        if members:
            name = "laplace" if kind == "laplace" else "contact_angle"
            print(plot(os.path.join(folder, name + ".png"), members, folder))
            markdown = os.path.join(folder, name + ".md")
            with open(markdown, "w") as f:
                f.write(table(members))
            print(markdown)
            print(table(members), end="")
    failed = [r for r in rows if r["status"] != "done"]
    return 1 if failed else 0


def number(value):
    try:
        return float(value)
    except (TypeError, ValueError):
        return NAN


def plot_sweep(path, rows, keys, folder):
    """Bulk densities, interface, surface tension and drift against the first
    swept key that takes numbers (else the point's number), a curve for each
    combination of the other keys' values; points that did not end well
    marked on the axis."""
    numeric = [k for k in keys if all(math.isfinite(number(r[k])) for r in rows)]
    if numeric:
        key = numeric[0]
        keys = [key] + [k for k in keys if k != key]
    else:
        key = "point number"
        for i, r in enumerate(rows):
            r[key] = i
        keys = [key] + keys
    fig, axes = plt.subplots(2, 2, figsize=(10, 7), sharex=True, layout="constrained")
    fig.suptitle(f"campaign {os.path.basename(os.path.abspath(folder))}: "
                 f"{len(rows)} points against {key}", fontsize=10)
    groups = {}
    for r in rows:
        groups.setdefault(", ".join(f"{k} {r[k]}" for k in keys[1:]), []).append(r)
    panels = ((axes[0, 0], ("lightest_bulk", "densest_bulk"), "bulk density n / n$_c$"),
              (axes[0, 1], ("interface_width",), "interface width, 10-90 % (nodes)"),
              (axes[1, 0], ("surface_tension",), "surface tension (solver units)"),
              (axes[1, 1], ("total_drift",), "relative drift of the total density"))
    for ax, columns, label in panels:
        for g, (name, members) in enumerate(groups.items()):
            members = sorted(members, key=lambda r: number(r[key]))
            x = [number(r[key]) for r in members]
            for column, marker in zip(columns, "os"):
                ax.plot(x, [number(r[column]) for r in members], marker + "-", color=f"C{g}",
                        label=name if column == columns[0] and name else None)
        for r in rows:
            if r["status"] != "done":
                ax.plot([number(r[key])], [0], "x", color="C3", ms=9, clip_on=False,
                        transform=ax.get_xaxis_transform())
        ax.set_ylabel(label, fontsize=9)
        ax.grid(alpha=0.3)
    if len(groups) > 1:
        axes[0, 0].legend(fontsize=7)
    axes[0, 0].set_title("circles: lightest, squares: densest", fontsize=8)
    for ax in axes[1]:
        ax.set_xlabel(key + "   (x on the axis: failed or not done)", fontsize=9)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def word_groups(rows, keys):
    """The rows by the values of the swept keys that are words (such as
    hscheme): {(words): rows}, in the order they first appear."""
    def is_word(value):
        try:
            float(value)
            return False
        except (TypeError, ValueError):
            return True
    word_keys = [k for k in keys if any(is_word(r.get(k)) for r in rows)]
    groups = {}
    for r in rows:
        groups.setdefault(tuple(f"{k.lstrip('h')} {r[k]}" for k in word_keys), []).append(r)
    return groups


def plot_coexistence(path, rows, folder, keys=()):
    """The runs' bulk densities over the equal-area curve, the critical
    point marked, and the deviations; a set of markers and curves for each
    value of a swept word key (such as the scheme)."""
    done = [r for r in rows if separated(r)]
    failed = [r for r in rows if r["status"] != "done"]
    low = min(r["t"] for r in rows) - 0.03
    t = np.concatenate([np.linspace(max(0.3, low), 0.99, 36), 1 - np.geomspace(1e-2, 1e-5, 10)])
    curve = np.array([Fluid(ti).coexistence() for ti in t])
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 5.2), layout="constrained",
                                      gridspec_kw={"width_ratios": [3, 2]})
    fig.suptitle(f"coexistence curve of the van der Waals fluid: campaign "
                 f"{os.path.basename(os.path.abspath(folder))}", fontsize=10)
    left.plot(np.concatenate([curve[:, 0], [1.0], curve[::-1, 1]]),
              np.concatenate([t, [1.0], t[::-1]]), "-", color="0.4", lw=1.2,
              label="equal-area construction")
    left.plot([1], [1], "*", color="k", ms=13, label="critical point n = n$_c$, T = T$_c$")
    groups = word_groups(done, keys)
    for g, (words, members) in enumerate(groups.items()):
        tt = [r["t"] for r in members]
        name = f" ({', '.join(words)})" if words else ""
        fill = "full" if g == 0 else "none"
        left.plot([number(r["lightest_bulk"]) for r in members], tt, "o", color=f"C{2 * g}",
                  fillstyle=fill, label=f"runs: vapour{name}")
        left.plot([number(r["densest_bulk"]) for r in members], tt, "s", color=f"C{2 * g + 1}",
                  fillstyle=fill, label=f"runs: liquid{name}")
    failed_words = {id(r): w for w, members in word_groups(failed, keys).items() for r in members}
    for r in failed:
        unstable = re.search(r"unstable at iteration (\d+)", r["detail"])
        said = f"unstable at step {unstable.group(1)}" if unstable else r["status"]
        if failed_words.get(id(r)):
            said = ", ".join(failed_words[id(r)]) + ": " + said
        left.axhline(r["t"], color="C3", lw=0.8, ls=":")
        left.text(1.0, r["t"], f"T/T$_c$ {r['t']:g}: {said}", color="C3", fontsize=7,
                  va="bottom", ha="center")
    left.set(xlabel="density n / n$_c$", ylabel="T / T$_c$")
    left.grid(alpha=0.3)
    left.legend(fontsize=8, loc="upper right")
    for g, (words, members) in enumerate(groups.items()):
        members = sorted(members, key=lambda r: r["t"])
        name = f" ({', '.join(words)})" if words else ""
        for column, reference, marker, label, c in (
                ("lightest_bulk", "equal_area_vapour", "o", "vapour", 2 * g),
                ("densest_bulk", "equal_area_liquid", "s", "liquid", 2 * g + 1)):
            err = [100 * (number(r[column]) / r[reference] - 1) for r in members]
            right.plot([r["t"] for r in members], err, marker + "-", color=f"C{c}",
                       fillstyle="full" if g == 0 else "none", label=label + name)
    right.axhline(0, color="0.4", lw=0.8)
    right.set(xlabel="T / T$_c$", ylabel="deviation from the equal-area density (%)")
    right.grid(alpha=0.3)
    right.legend(fontsize=8)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def separated(row):
    """A run that ended well in two phases, below Tc."""
    return row["status"] == "done" and row["phases"] == 2 and row["t"] < 1


def coexistence_table(rows, keys=()):
    groups = word_groups(rows, keys)
    first = "| " + " | ".join(k.split()[0] for k in next(iter(groups))) + " " \
        if len(groups) > 1 else ""
    lines = [first + "| T / Tc | vapour (equal area) | deviation | liquid (equal area) | "
             "deviation | interface width (nodes) | surface tension | change over the last "
             "cycle |",
             ("|---" * len(next(iter(groups))) if first else "") + "|---|---|---|---|---|---|---|---|"]
    order = {id(r): g for g, members in enumerate(groups.values()) for r in members}
    words = {id(r): w for w, members in groups.items() for r in members}
    for r in sorted(rows, key=lambda r: (-r["t"], order[id(r)])):
        lead = "| " + " | ".join(w.split(" ", 1)[1] for w in words[id(r)]) + " " if first else ""
        if not separated(r):
            said = (f"{r['status']}: {r['detail']}" if r["status"] != "done" else
                    f"done, step {r['final_step']}: one phase, not separated")
            lines.append(f"{lead}| {r['t']:g} | {said} | | | | | | |")
            continue
        v, l = number(r["lightest_bulk"]), number(r["densest_bulk"])
        ev, el = r["equal_area_vapour"], r["equal_area_liquid"]
        lines.append(f"{lead}| {r['t']:g} | {v:.5f} ({ev:.5f}) | {100 * (v / ev - 1):+.2f} % | "
                     f"{l:.5f} ({el:.5f}) | {100 * (l / el - 1):+.2f} % | "
                     f"{number(r['interface_width']):.1f} | "
                     f"{number(r['surface_tension']):.3g} | "
                     f"{number(r['change_last_cycle']):.1e} |")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------
# Drops, bubbles and walls: pictures and tables

def theory_groups(rows):
    """{(t, kappa, hRTzero): rows}, and the words that tell the groups apart."""
    groups = {}
    for r in rows:
        groups.setdefault(r["theory"], []).append(r)
    return groups


def group_words(key):
    t, kappa, rt_zero = key
    return f"T/T$_c$ {t:g}, $\\kappa$ {kappa:g}" + (f", hRTzero {rt_zero:g}" if rt_zero != 1 else "")


def flat_tension(key):
    """The Cahn surface tension of a flat interface, or NaN (no two phases)."""
    t, kappa, rt_zero = key
    try:
        return Fluid(t, 1 / rt_zero).surface_tension(kappa)
    except (TheoryError, ZeroDivisionError, ValueError):
        return NAN


def analysed(rows, column):
    return [r for r in rows if math.isfinite(number(r.get(column, NAN)))]


def laplace_fit(rows):
    """a and sigma of the least-squares line jump = a + sigma / R through the
    analysed drops and bubbles (R in solver units); None under two points."""
    rows = [r for r in analysed(rows, "pressure_jump") if not r.get("unfitted")]
    inverse = np.array([1 / r["radius"] for r in rows])
    if len(rows) < 2 or np.ptp(inverse) < 0.05 * inverse.mean():
        return None
    jump = np.array([r["pressure_jump"] for r in rows])
    (a, sigma), *_ = np.linalg.lstsq(np.column_stack([np.ones_like(inverse), inverse]), jump,
                                     rcond=None)
    return float(a), float(sigma)


def plot_laplace(path, rows, folder):
    """Pressure jump against 1 / R, drops and bubbles, the fitted line and
    the Cahn surface tension's sigma / R."""
    fig, ax = plt.subplots(figsize=(7.5, 5.4), layout="constrained")
    groups = theory_groups(rows)
    left_out = len(rows) - len(analysed(rows, "pressure_jump"))
    fig.suptitle(f"Laplace law: campaign {os.path.basename(os.path.abspath(folder))}" +
                 (f" ({left_out} point(s) not analysed)" if left_out else ""), fontsize=10)
    top = max([1 / r["radius"] for r in analysed(rows, "pressure_jump")] or [1.0]) * 1.1
    x = np.linspace(0, top, 50)
    for g, (key, members) in enumerate(groups.items()):
        colour = f"C{g}"
        prefix = group_words(key) + ": " if len(groups) > 1 else ""
        shown = analysed(members, "pressure_jump")
        for shape, marker in (("drop", "o"), ("bubble", "s")):
            chosen = [r for r in shown if r["shape"][1] == shape and not r.get("unfitted")]
            ax.plot([1 / r["radius"] for r in chosen], [r["pressure_jump"] for r in chosen],
                    marker, color=colour, mfc="none" if shape == "bubble" else colour,
                    label=f"{prefix}{shape}s" if chosen else None)
        small = [r for r in shown if r.get("unfitted")]
        ax.plot([1 / r["radius"] for r in small], [r["pressure_jump"] for r in small], "x",
                color=colour, ms=8, label=f"{prefix}no bulk inside, not fitted" if small else None)
        flat = flat_tension(key)
        fit = laplace_fit(members)
        if fit:
            a, sigma = fit
            ax.plot(x, a + sigma * x, "-", color=colour, lw=1.2,
                    label=f"least squares: jump = {a:.2e} + $\\sigma_{{fit}}$ / R, "
                          f"$\\sigma_{{fit}}$ = {sigma:.4g} = {sigma / flat:.3f} $\\sigma_{{flat}}$")
        if math.isfinite(flat):
            ax.plot(x, flat * x, "--", color=colour, lw=1,
                    label=f"$\\sigma_{{flat}}$ / R, $\\sigma_{{flat}}$ = {flat:.4g} (Cahn)")
    ax.set(xlabel="1 / R (R from the area of the inside phase, solver units)",
           ylabel="p$_{in}$ - p$_{out}$ from p(n) of the bulk densities", xlim=(0, top))
    ax.set_ylim(bottom=min(0, ax.get_ylim()[0]))
    ax.set_title(" / ".join(group_words(k) for k in groups) +
                 ";  filled: drops, open: bubbles", fontsize=9)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, loc="upper left")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def laplace_table(rows):
    lines = ["| point | setup | initial radius (nodes) | R (nodes) | R | inside | outside | "
             "jump | sigma_flat / R | ratio |", "|---|---|---|---|---|---|---|---|---|---|"]
    for r in rows:
        if not math.isfinite(number(r.get("pressure_jump", NAN))):
            lines.append(f"| {r['point']} | {r['setup']}, {r['status']} | "
                         f"{r['initial_radius']:g} | | | | | | | |")
            continue
        lines.append(f"| {r['point']} | {r['setup']} | {r['initial_radius']:g} | "
                     f"{r['radius_nodes']:.2f} | "
                     f"{r['radius']:.4f} | {r['inside_density']:.5f} | "
                     f"{r['outside_density']:.5f} | {r['pressure_jump']:.5f} | "
                     f"{r['cahn_jump']:.5f} | {r['pressure_jump'] / r['cahn_jump']:.3f} |")
    lines.append("")
    for key, members in theory_groups(rows).items():
        flat, fit = flat_tension(key), laplace_fit(members)
        said = (f"jump = {fit[0]:.3e} + {fit[1]:.4g} / R, sigma_fit / sigma_flat = "
                f"{fit[1] / flat:.3f}" if fit else "no fit (fewer than two radii 5 % apart)")
        lines.append(f"{group_words(key).replace('$', '').replace(chr(92), '')}: "
                     f"sigma_flat {flat:.4g} (Cahn); least squares {said}")
    return "\n".join(lines) + "\n"


def plot_contact_angles(path, rows, folder):
    """Measured contact angles against h_w beside Young's law."""
    fig, ax = plt.subplots(figsize=(7.5, 5.4), layout="constrained")
    groups = theory_groups(rows)
    done = analysed(rows, "contact_angle")
    left_out = len(rows) - len(done)
    fig.suptitle(f"contact angles: campaign {os.path.basename(os.path.abspath(folder))}" +
                 (f" ({left_out} point(s) not analysed)" if left_out else ""), fontsize=10)
    wetting = [number(r.get("wall_wetting", NAN)) for r in rows]
    wetting = [h for h in wetting if math.isfinite(h)] or [0.0]
    low, high = min(wetting), max(wetting)
    span = (high - low) or 1e-3
    h = np.linspace(low - 0.1 * span, high + 0.1 * span, 121)
    for g, (key, members) in enumerate(groups.items()):
        colour = f"C{g}"
        prefix = group_words(key) + ": " if len(groups) > 1 else ""
        t, kappa, rt_zero = key
        try:
            fluid = Fluid(t, 1 / rt_zero)
            ax.plot(h, [fluid.young_angle(v, kappa) for v in h], "-", color=colour, lw=1.2,
                    label=f"{prefix}Young's law (Cahn's wall)")
        except (TheoryError, ZeroDivisionError, ValueError):
            pass
        chosen = analysed(members, "contact_angle")
        ax.plot([r["wall_wetting"] for r in chosen], [r["contact_angle"] for r in chosen], "o",
                color=colour, label=f"{prefix}runs: circle fitted to the contour")
    ax.set(xlabel="wall wetting h$_w$ (-hwall_wetting)",
           ylabel="contact angle inside the liquid (degrees)", ylim=(0, 180))
    ax.set_yticks(range(0, 181, 30))
    ax.axhline(90, color="0.6", lw=0.8)
    ax.set_title(" / ".join(group_words(k) for k in groups), fontsize=9)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, loc="upper right")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def contact_angle_table(rows):
    lines = ["| point | h_w | measured (deg) | Young (deg) | difference | circle radius (nodes) |",
             "|---|---|---|---|---|---|"]
    for r in sorted(rows, key=lambda r: number(r.get("wall_wetting", NAN))):
        if not math.isfinite(number(r.get("contact_angle", NAN))):
            lines.append(f"| {r['point']} | {text(r.get('wall_wetting', NAN))} | "
                         f"{r['setup']}, {r['status']} | | | |")
            continue
        lines.append(f"| {r['point']} | {r['wall_wetting']:g} | {r['contact_angle']:.1f} | "
                     f"{r['young_angle']:.1f} | {r['angle_difference']:+.1f} | "
                     f"{r['circle_radius']:.1f} |")
    return "\n".join(lines) + "\n"
