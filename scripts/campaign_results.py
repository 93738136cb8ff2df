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
"""
import csv
import math
import os
import re

import numpy as np
import matplotlib

matplotlib.use("Agg")  # files only
import matplotlib.pyplot as plt  # noqa: E402

from plot_run import (RunError, coexistence, find_snapshots, read_console_totals,  # noqa: E402
                      read_density, read_profile)
from run_progress import LEADING_REAL, parameter, read_parameters  # noqa: E402

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
# One point

def reduced_temperature(values):
    """T / Tc of a point's parameter file: its htemperature."""
    return parameter(values, "htemperature", LEADING_REAL, float)


def point_row(folder, values, seconds):
    """What a point's files say: final step, bulk densities, drift, ..."""
    kappa = parameter(values, "hkappa", LEADING_REAL, float)
    row = {"final_step": "", "total_drift": NAN, "change_last_cycle": NAN, "seconds": seconds}
    t = row["t"] = reduced_temperature(values)
    vapour, liquid = coexistence(t) if 0.05 < t < 1 else (NAN, NAN)
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
            result = analyse(read_density(path), kappa,
                             read_profile(profile) if profile else None)
        except (RunError, ValueError, IndexError, OSError):
            continue
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
    console = os.path.join(folder, "console.txt")
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
        values = read_parameters(os.path.join(where, "nw2cuda.input"))
        row = {"point": point["name"], "status": state, "detail": "" if state == "done" else detail}
        row.update({key: values.get(key, "") for key in keys})
        row.update(point_row(where, values, (record or {}).get("seconds", NAN)))
        rows.append(row)
    table = os.path.join(folder, "results.csv")
    with open(table, "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["point"] + keys + list(COLUMNS))
        for row in rows:
            writer.writerow([row["point"]] + [row[k] for k in keys] +
                            [text(row.get(c, "")) for c in COLUMNS])
    print(table)
    if keys:
        print(plot_sweep(os.path.join(folder, "sweep.png"), rows, keys, folder))
    if len({r["t"] for r in rows if r["t"] < 1}) > 1:
        print(plot_coexistence(os.path.join(folder, "coexistence.png"), rows, folder))
        markdown = os.path.join(folder, "coexistence.md")
        with open(markdown, "w") as f:
            f.write(coexistence_table(rows))
        print(markdown)
        print(coexistence_table(rows), end="")
    failed = [r for r in rows if r["status"] != "done"]
    return 1 if failed else 0


def number(value):
    try:
        return float(value)
    except (TypeError, ValueError):
        return NAN


def plot_sweep(path, rows, keys, folder):
    """Bulk densities, interface, surface tension and drift against the first
    swept key, a curve for each combination of the other keys' values;
    points that did not end well marked on the axis."""
    key = keys[0]
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


def plot_coexistence(path, rows, folder):
    """The runs' bulk densities over the equal-area curve, the critical
    point marked, and the deviations."""
    done = [r for r in rows if separated(r)]
    failed = [r for r in rows if r["status"] != "done"]
    low = min(r["t"] for r in rows) - 0.03
    t = np.concatenate([np.linspace(max(0.3, low), 0.99, 36), 1 - np.geomspace(1e-2, 1e-5, 10)])
    curve = np.array([coexistence(ti) for ti in t])
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 5.2), layout="constrained",
                                      gridspec_kw={"width_ratios": [3, 2]})
    fig.suptitle(f"coexistence curve of the van der Waals fluid: campaign "
                 f"{os.path.basename(os.path.abspath(folder))}", fontsize=10)
    left.plot(np.concatenate([curve[:, 0], [1.0], curve[::-1, 1]]),
              np.concatenate([t, [1.0], t[::-1]]), "-", color="0.4", lw=1.2,
              label="equal-area construction")
    left.plot([1], [1], "*", color="k", ms=13, label="critical point n = n$_c$, T = T$_c$")
    if done:
        tt = [r["t"] for r in done]
        left.plot([number(r["lightest_bulk"]) for r in done], tt, "o", color="C0",
                  label="runs: vapour")
        left.plot([number(r["densest_bulk"]) for r in done], tt, "s", color="C1",
                  label="runs: liquid")
    for r in failed:
        unstable = re.search(r"unstable at iteration (\d+)", r["detail"])
        said = f"unstable at step {unstable.group(1)}" if unstable else r["status"]
        left.axhline(r["t"], color="C3", lw=0.8, ls=":")
        left.text(1.0, r["t"], f"T/T$_c$ {r['t']:g}: {said}", color="C3", fontsize=7,
                  va="bottom", ha="center")
    left.set(xlabel="density n / n$_c$", ylabel="T / T$_c$")
    left.grid(alpha=0.3)
    left.legend(fontsize=8, loc="upper right")
    for column, reference, marker, label in (("lightest_bulk", "equal_area_vapour", "o", "vapour"),
                                             ("densest_bulk", "equal_area_liquid", "s", "liquid")):
        err = [100 * (number(r[column]) / r[reference] - 1) for r in done]
        right.plot([r["t"] for r in done], err, marker + "-", label=label)
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


def coexistence_table(rows):
    lines = ["| T / Tc | vapour (equal area) | deviation | liquid (equal area) | deviation | "
             "interface width (nodes) | surface tension | change over the last cycle |",
             "|---|---|---|---|---|---|---|---|"]
    for r in sorted(rows, key=lambda r: -r["t"]):
        if not separated(r):
            said = (f"{r['status']}: {r['detail']}" if r["status"] != "done" else
                    f"done, step {r['final_step']}: one phase, not separated")
            lines.append(f"| {r['t']:g} | {said} | | | | | | |")
            continue
        v, l = number(r["lightest_bulk"]), number(r["densest_bulk"])
        ev, el = r["equal_area_vapour"], r["equal_area_liquid"]
        lines.append(f"| {r['t']:g} | {v:.5f} ({ev:.5f}) | {100 * (v / ev - 1):+.2f} % | "
                     f"{l:.5f} ({el:.5f}) | {100 * (l / el - 1):+.2f} % | "
                     f"{number(r['interface_width']):.1f} | "
                     f"{number(r['surface_tension']):.3g} | "
                     f"{number(r['change_last_cycle']):.1e} |")
    return "\n".join(lines) + "\n"
