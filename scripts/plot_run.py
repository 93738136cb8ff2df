#!/usr/bin/python3
"""Pictures of a solver run.

Usage: scripts/plot_run.py RUN_FOLDER

Reads the snapshot files of a run (PV*.vtk density on the lattice, BP* density
profile along the middle row) and, where there is one, the console the demo
keeps (console.txt), and writes into RUN_FOLDER/plots/:

  density.png    the last snapshot's density on the lattice
  profiles.png   the middle-row profile of every snapshot
  history.png    min and max density and the drift of the total density
  evolution.png  every snapshot's density, on one colour scale

The interpreter is the system's python3, where the packages python3-numpy and
python3-matplotlib go (scripts/setup.sh installs them).
"""
import math
import os
import re
import sys

try:
    import numpy as np
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt
except ImportError as missing:
    sys.exit(f"plot_run.py: {sys.executable} lacks numpy or matplotlib ({missing});\n"
             "  on Debian: apt-get install python3-numpy python3-matplotlib "
             "(scripts/setup.sh does it)")

COLOURS = "viridis"
DENSITY = "density n / n$_c$"

VTK_NAME = re.compile(r"^PV(.*)\.(-?\d{9,})\.vtk$")
PROFILE_NAME = re.compile(r"^BP(.*)\.(-?\d{9,})$")
# iter=%10.10d  ntot=%25.20e, found anywhere in a line: error text of the
# program may stand in front of it.
CONSOLE_TOTAL = re.compile(r"iter=(-?\d+)  ntot=\s*(\S+)")
TAG = re.compile(r"^_X(\d+)_Y(\d+)_S(\S+?)_T(\S+?)_Ta(\S+?)_R(\S+?)_Z(\S+?)_T(\S+?)_K(\S+)$")


class RunError(Exception):
    pass


def read_vtk(path):
    """Density of a VTK snapshot as an array rho[y, x]: row y, column x.

    Each value is placed by the coordinates of its point, so the picture
    shows the lattice as it is whatever order the file lists the nodes in."""
    with open(path) as f:
        tokens = f.read().split()

    def after(keyword, count):
        try:
            i = tokens.index(keyword)
        except ValueError:
            raise RunError(f"{path}: cut short, or not a snapshot of the solver "
                           f"(no {keyword} section)") from None
        if len(tokens) < i + 1 + count:
            raise RunError(f"{path}: {keyword} section cut short")
        return i, tokens[i + 1:i + 1 + count]

    try:
        _, dims = after("DIMENSIONS", 3)
        dims = [int(d) for d in dims]
        i, (n, _) = after("POINTS", 2)
        n = int(n)
        points = tokens[i + 3:i + 3 + 3 * n]
        j, (m,) = after("POINT_DATA", 1)
        m = int(m)
        k, _ = after("LOOKUP_TABLE", 1)
        values = tokens[k + 2:k + 2 + m]
        if len(points) != 3 * n or j != i + 3 + 3 * n or len(values) != m or m != n:
            raise RunError(f"{path}: {n} points and {m} values announced, "
                           f"{len(points) // 3} and {len(values)} found")
        points = np.array(points, dtype=float).reshape(n, 3)
        values = np.array(values, dtype=float)
    except ValueError as bad:
        raise RunError(f"{path}: not a snapshot of the solver ({bad})") from None

    xs, ix = np.unique(points[:, 0], return_inverse=True)
    ys, iy = np.unique(points[:, 1], return_inverse=True)
    nx, ny = len(xs), len(ys)
    cells = np.zeros((ny, nx), dtype=int)
    np.add.at(cells, (iy, ix), 1)
    if math.prod(dims) != n or sorted(dims[:2]) != sorted([nx, ny]) or (cells != 1).any():
        raise RunError(f"{path}: the points do not form the {dims[0]} x {dims[1]} grid "
                       "the file declares")
    rho = np.empty((ny, nx))
    rho[iy, ix] = values
    return rho


def read_profile(path):
    """Density along the middle row, one value per column x = 0, 1, ..."""
    try:
        table = np.loadtxt(path, ndmin=2)
    except ValueError as bad:
        raise RunError(f"{path}: not a profile of the solver ({bad})") from None
    if table.shape[0] == 0 or table.shape[1] != 2:
        raise RunError(f"{path}: not a profile of the solver (two columns expected)")
    return table[:, 1]


def read_console_totals(path):
    """Total density of every snapshot line of a console: {step: ntot}."""
    totals = {}
    with open(path, errors="replace") as f:
        for line in f:
            for step, total in CONSOLE_TOTAL.findall(line):
                try:
                    totals[int(step)] = float(total)
                except ValueError:
                    pass
    return totals


def describe(tag):
    """The run's parameters, in words, from its file-name tag."""
    m = TAG.match(tag)
    if not m:
        return tag
    nx, ny, _, dt, tau, rho0, _, temp, kappa = m.groups()
    return (f"{int(nx)} x {int(ny)} nodes,  T/T$_c$ = {temp},  n$_0$ = {rho0},  "
            f"$\\tau$ = {tau},  $\\Delta t$ = {dt},  $\\kappa$ = {kappa}")


def find_snapshots(folder):
    """Tag and [(step, vtk path, profile path or None)] of the run in a folder,
    by step. A folder holding several runs shows the one written last."""
    if not os.path.isdir(folder):
        raise RunError(f"{folder}: no such folder")
    runs = {}
    for name in os.listdir(folder):
        m = VTK_NAME.match(name)
        if m:
            runs.setdefault(m.group(1), []).append((int(m.group(2)), name))
    if not runs:
        raise RunError(f"{folder}: no snapshot files (PV*.vtk) here")

    def newest(tag):
        return max(os.path.getmtime(os.path.join(folder, name)) for _, name in runs[tag])

    tag = max(runs, key=newest)
    if len(runs) > 1:
        print(f"plot_run.py: {len(runs)} runs in {folder}; showing the latest, {tag}",
              file=sys.stderr)
    snapshots = []
    for step, name in sorted(runs[tag]):
        profile = os.path.join(folder, f"BP{tag}.{name[len(tag) + 3:-4]}")
        snapshots.append((step, os.path.join(folder, name),
                          profile if os.path.isfile(profile) else None))
    return tag, snapshots


def density_map(ax, rho, vmin, vmax):
    """rho[y, x] with x to the right and y up, node centres on the integers."""
    ny, nx = rho.shape
    return ax.imshow(np.ma.masked_invalid(rho), origin="lower", cmap=COLOURS,
                     vmin=vmin, vmax=vmax, interpolation="nearest",
                     extent=(-0.5, nx - 0.5, -0.5, ny - 0.5))


def finite_range(arrays):
    finite = [a[np.isfinite(a)] for a in arrays]
    finite = [a for a in finite if a.size]
    if not finite:
        return 0.0, 1.0
    lo = min(a.min() for a in finite)
    hi = max(a.max() for a in finite)
    return (lo, hi) if hi > lo else (lo - 0.5, hi + 0.5)


def plot_density(path, step, rho, about):
    fig, ax = plt.subplots(figsize=(6.4, 5.6))
    image = density_map(ax, rho, *finite_range([rho]))
    fig.colorbar(image, ax=ax, label=DENSITY)
    ax.set(xlabel="x (nodes)", ylabel="y (nodes)", title=f"density n at step {step}")
    fig.suptitle(about, fontsize=8, y=0.02, va="bottom")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_profiles(path, steps, profiles, row, about):
    fig, ax = plt.subplots(figsize=(7.5, 5))
    shades = plt.get_cmap("plasma")(np.linspace(0.0, 0.85, len(steps)))
    for step, profile, shade in zip(steps, profiles, shades):
        ax.plot(np.arange(len(profile)), profile, color=shade, lw=1.3, label=f"step {step}")
    ax.set(xlabel="x (nodes)", ylabel=DENSITY, title=f"density along the middle row y = {row}")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, ncol=2 if len(steps) > 8 else 1, loc="best")
    fig.suptitle(about, fontsize=8, y=0.01, va="bottom")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_history(path, steps, low, high, total_steps, totals, source, about):
    fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(7.5, 6.5))
    top.plot(steps, high, "o-", label="max n (liquid)")
    top.plot(steps, low, "s-", label="min n (vapour)")
    top.set(ylabel=DENSITY, title="density extremes and total density")
    top.grid(alpha=0.3)
    top.legend(fontsize=8)
    start = totals[0]
    drift = (np.asarray(totals) - start) / start if start else np.full(len(totals), np.nan)
    bottom.plot(total_steps, drift, "o-", color="C2")
    bottom.set(xlabel="step", ylabel="(N - N$_0$) / N$_0$",
               title=f"relative drift of the total density N ({source})")
    bottom.grid(alpha=0.3)
    bottom.ticklabel_format(axis="y", style="sci", scilimits=(-3, 3))
    fig.suptitle(about, fontsize=8, y=0.01, va="bottom")
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_evolution(path, steps, fields, about):
    count = len(steps)
    cols = min(count, max(1, math.ceil(math.sqrt(1.5 * count))))
    rows = math.ceil(count / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(2.6 * cols + 1.2, 2.6 * rows + 0.8),
                             squeeze=False, sharex=True, sharey=True)
    vmin, vmax = finite_range(fields)
    for ax, step, rho in zip(axes.flat, steps, fields):
        image = density_map(ax, rho, vmin, vmax)
        ax.set_title(f"step {step}", fontsize=9)
    for ax in axes.flat[count:]:
        ax.set_visible(False)
    for ax in axes[-1]:
        ax.set_xlabel("x (nodes)")
    for ax in axes[:, 0]:
        ax.set_ylabel("y (nodes)")
    fig.colorbar(image, ax=axes, label=DENSITY, shrink=0.9)
    fig.suptitle(f"density n, every snapshot\n{about}", fontsize=9)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def plot_run(folder):
    """Writes the four pictures; returns their paths and a summary line."""
    tag, snapshots = find_snapshots(folder)
    about = describe(tag)
    steps = [step for step, _, _ in snapshots]
    fields = [read_vtk(vtk) for _, vtk, _ in snapshots]
    row = fields[-1].shape[0] // 2
    profiles = [read_profile(bp) if bp else rho[row]
                for (_, _, bp), rho in zip(snapshots, fields)]

    totals = {}
    console = os.path.join(folder, "console.txt")
    if os.path.isfile(console):
        totals = read_console_totals(console)
    if totals:
        total_steps = sorted(totals)
        total_values = [totals[s] for s in total_steps]
        source = "console.txt"
    else:
        total_steps = steps
        total_values = [float(rho.sum()) for rho in fields]
        source = "summed from the VTK files, 5 digits"

    out = os.path.join(folder, "plots")
    os.makedirs(out, exist_ok=True)
    paths = [os.path.join(out, name) for name in
             ("density.png", "profiles.png", "history.png", "evolution.png")]
    plot_density(paths[0], steps[-1], fields[-1], about)
    plot_profiles(paths[1], steps, profiles, row, about)
    plot_history(paths[2], steps, [np.nanmin(f) for f in fields],
                 [np.nanmax(f) for f in fields], total_steps, total_values, source, about)
    plot_evolution(paths[3], steps, fields, about)

    last = fields[-1]
    summary = (f"step {steps[-1]}: density n from {np.nanmin(last):.4f} to "
               f"{np.nanmax(last):.4f}, mean {np.nanmean(last):.4f} "
               f"({len(steps)} snapshots, {last.shape[1]} x {last.shape[0]} nodes)")
    return paths, summary


def main(argv):
    if len(argv) != 2 or argv[1].startswith("-"):
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    try:
        paths, summary = plot_run(argv[1])
    except (RunError, OSError) as failure:
        print(f"plot_run.py: {failure}", file=sys.stderr)
        return 1
    print(summary)
    for path in paths:
        print(f"  {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
