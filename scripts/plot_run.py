#!/usr/bin/python3
"""Pictures of a solver run.

Usage: scripts/plot_run.py RUN_FOLDER

Reads the snapshot files of a run (PV*.vtk density on the lattice, or where a
run wrote none, -houtput vti, its PV*.vti files; BP* density profile along the
middle row) and, where there is one, the console the demo keeps (console.txt),
and writes into RUN_FOLDER/plots/:

  density.png    the last snapshot's density on the lattice
  profiles.png   the middle-row profile of every snapshot
  history.png    min and max density and the drift of the total density
  evolution.png  every snapshot's density, on one colour scale
  velocity.png   the last snapshot's density with its velocity as arrows, solid
                 nodes grey (runs that wrote PV*.vti files, -houtput vti|both)

The interpreter is the system's python3, where the packages python3-numpy and
python3-matplotlib go (scripts/setup.sh installs them).
"""
import math
import os
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import campaign_results  # noqa: E402
from run_folder import PARAMETER_FILE, TAG, RunError, read_parameters, read_run  # noqa: E402
from vdw_theory import Fluid  # noqa: E402

COLOURS = "viridis"
DENSITY = "density n / n$_c$"
LEGEND_CURVES = 12  # more profiles than this get a colour bar of the step
ARROWS_ACROSS = 24  # velocity arrows along the longer side of the lattice


def mark_coexistence(ax, t):
    """Dashed lines at the equal-area densities, where T is below Tc."""
    if t is None or not 0.05 < t < 1:
        return
    vapour, liquid = Fluid(t).coexistence()
    for density, label in ((vapour, f"equal-area n$_v$ {vapour:.4f}, n$_l$ {liquid:.4f}"),
                           (liquid, None)):
        ax.axhline(density, color="0.35", ls="--", lw=0.9, label=label)


def bulk_densities(rho, t):
    """Vapour and liquid bulk densities of a separated lattice at t = T / Tc
    below 1, next to the equal-area values: the medians of the nodes on
    either side of the middle of the two equal-area densities (the interfaces,
    a few nodes wide, barely move a median). None where there is no such pair,
    or a side holds under a tenth of the nodes (not separated)."""
    if t is None or not 0.05 < t < 1:
        return None
    vapour, liquid = Fluid(t).coexistence()
    values = rho[np.isfinite(rho)]
    lighter = values[values < 0.5 * (vapour + liquid)]
    denser = values[values >= 0.5 * (vapour + liquid)]
    if min(lighter.size, denser.size) < 0.1 * max(values.size, 1):
        return None
    return float(np.median(lighter)), float(np.median(denser)), vapour, liquid


def describe(tag):
    """The run's parameters, in words, from its file-name tag."""
    m = TAG.match(tag)
    if not m:
        return tag
    nx, ny, _, dt, tau, rho0, _, temp, kappa = m.groups()
    return (f"{int(nx)} x {int(ny)} nodes,  T/T$_c$ = {temp},  n$_0$ = {rho0},  "
            f"$\\tau$ = {tau},  $\\Delta t$ = {dt},  $\\kappa$ = {kappa}")


def density_map(ax, rho, vmin, vmax):
    """rho[y, x] with x to the right and y up, node centres on the integers."""
    ny, nx = rho.shape
    bad = np.count_nonzero(~np.isfinite(rho))
    if bad:  # left blank: a run that blew up
        ax.text(0.5, 0.5, f"{bad} of {rho.size} nodes\nnot a finite number", ha="center",
                va="center", transform=ax.transAxes, fontsize=8, color="C3")
    return ax.imshow(np.ma.masked_invalid(rho), origin="lower", cmap=COLOURS,
                     vmin=vmin, vmax=vmax, interpolation="nearest",
                     extent=(-0.5, nx - 0.5, -0.5, ny - 0.5))


def extremes(rho):
    """Smallest and largest finite value (NaN where there is none)."""
    finite = rho[np.isfinite(rho)]
    return (finite.min(), finite.max()) if finite.size else (np.nan, np.nan)


def finite_range(arrays):
    finite = [a[np.isfinite(a)] for a in arrays]
    finite = [a for a in finite if a.size]
    if not finite:
        return 0.0, 1.0
    lo = min(a.min() for a in finite)
    hi = max(a.max() for a in finite)
    return (lo, hi) if hi > lo else (lo - 0.5, hi + 0.5)


def aspect(rho):
    """Height over width of a density map, within reason for a figure."""
    return min(2.0, max(0.3, rho.shape[0] / rho.shape[1]))


def figure(run, title, **options):
    fig, axes = plt.subplots(layout="constrained", **options)
    fig.suptitle(f"{title}\n{run['about']}", fontsize=9)
    return fig, axes


def save(fig, path):
    fig.savefig(path, dpi=110)
    plt.close(fig)


def plot_density(path, run):
    rho = run["fields"][-1]
    fig, ax = figure(run, f"density n at step {run['steps'][-1]}",
                     figsize=(6.4, 1.4 + 4.4 * aspect(rho)))
    image = density_map(ax, rho, *finite_range([rho]))
    fig.colorbar(image, ax=ax, label=DENSITY, shrink=0.85)
    ax.set(xlabel="x (nodes)", ylabel="y (nodes)")
    save(fig, path)


def plot_profiles(path, run):
    steps = run["steps"]
    fig, ax = figure(run, f"density along the middle row y = {run['row']}", figsize=(8.5, 5))
    # Many curves are told apart by a colour bar of the step instead of a legend.
    shades = matplotlib.colors.LinearSegmentedColormap.from_list(
        "steps", plt.get_cmap("plasma")(np.linspace(0.0, 0.85, 256)))
    for i, (step, profile) in enumerate(zip(steps, run["profiles"])):
        ax.plot(np.arange(len(profile)), profile, color=shades(i / max(1, len(steps) - 1)),
                lw=1.3, label=f"step {step}" if len(steps) <= LEGEND_CURVES else None)
    mark_coexistence(ax, run["t"])
    ax.set(xlabel="x (nodes)", ylabel=DENSITY)
    ax.grid(alpha=0.3)
    if len(steps) > LEGEND_CURVES:
        scale = matplotlib.cm.ScalarMappable(matplotlib.colors.Normalize(steps[0], steps[-1]),
                                             shades)
        fig.colorbar(scale, ax=ax, label="step")
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1), fontsize=8)
    save(fig, path)


def plot_history(path, run):
    fig, (top, bottom) = figure(run, "density extremes and total density", nrows=2,
                                sharex=True, figsize=(7.5, 6.8))
    steps, fields = run["steps"], run["fields"]
    lightest, densest = zip(*map(extremes, fields))
    top.plot(steps, densest, "o-", label="densest node")
    top.plot(steps, lightest, "s-", label="lightest node")
    mark_coexistence(top, run["t"])
    top.set(ylabel=DENSITY)
    top.grid(alpha=0.3)
    top.legend(fontsize=8, loc="upper left")
    total_steps, totals = run["total_steps"], np.asarray(run["totals"])
    start = totals[0]
    drift = (totals - start) / start if start else np.full(len(totals), np.nan)
    bottom.plot(total_steps, drift, "o-", color="C2")
    bottom.set(xlabel="step", ylabel="(N - N$_0$) / N$_0$")
    bottom.set_title(f"relative drift of the total density N ({run['total_source']})",
                     fontsize=10)
    bottom.grid(alpha=0.3)
    bottom.ticklabel_format(axis="y", style="sci", scilimits=(-3, 3))
    broken = [step for step, rho in zip(steps, fields) if not np.isfinite(rho).all()]
    if broken:
        for ax in (top, bottom):
            ax.axvline(broken[0], color="C3", lw=1.2)
        top.annotate(f"not finite from step {broken[0]}", (broken[0], 0.5),
                     xycoords=("data", "axes fraction"), rotation=90, ha="right", va="center",
                     color="C3", fontsize=8)
    save(fig, path)


def plot_evolution(path, run):
    steps, fields = run["steps"], run["fields"]
    count = len(steps)
    cols = min(count, max(1, math.ceil(math.sqrt(1.5 * count))))
    rows = math.ceil(count / cols)
    tile = min(2.5, 16.0 / cols)  # inches; many snapshots make smaller tiles
    fig, axes = figure(run, "density n, every snapshot", nrows=rows, ncols=cols,
                       figsize=(tile * cols + 1.4, (tile * aspect(fields[-1]) + 0.4) * rows + 0.6),
                       squeeze=False)
    vmin, vmax = finite_range(fields)
    for ax, step, rho in zip(axes.flat, steps, fields):
        image = density_map(ax, rho, vmin, vmax)
        ax.set_title(f"step {step}", fontsize=9)
        ax.tick_params(labelsize=7)
    for ax in axes.flat[count:]:
        ax.set_visible(False)
    for ax in axes.flat[count - cols:count]:
        ax.set_xlabel("x (nodes)", fontsize=8)
    for ax in axes[:, 0]:
        ax.set_ylabel("y (nodes)", fontsize=8)
    fig.colorbar(image, ax=axes, label=DENSITY, shrink=0.9)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def nice_below(value):
    """The largest 1, 2 or 5 times a power of ten not above value > 0."""
    power = 10.0 ** math.floor(math.log10(value))
    return max(m * power for m in (1, 2, 5) if m * power <= value * (1 + 1e-12))


def plot_velocity(path, run):
    """The density of the last .vti snapshot with its velocity as arrows on a
    coarser grid of nodes, the longest arrow as long as the grid's step;
    solid nodes grey, without arrows."""
    flow = run["flow"]
    rho, u, solid = flow["density"], flow["velocity"], flow["solid"]
    ny, nx = rho.shape
    fluid = np.ones(rho.shape, bool) if solid is None else ~solid
    fig, ax = figure(run, f"density n and velocity u at step {flow['step']}",
                     figsize=(6.4, 1.8 + 4.4 * aspect(rho)))
    image = density_map(ax, rho, *finite_range([rho[fluid]]))
    fig.colorbar(image, ax=ax, label=DENSITY, shrink=0.85)
    if solid is not None and solid.any():
        ax.imshow(np.ma.masked_where(fluid, np.ones(rho.shape)), origin="lower",
                  cmap=matplotlib.colors.ListedColormap(["0.55"]), interpolation="nearest",
                  extent=(-0.5, nx - 0.5, -0.5, ny - 0.5))
    speed = np.hypot(u[..., 0], u[..., 1])
    moving = fluid & np.isfinite(speed)
    fastest = speed[moving].max() if moving.any() else 0.0
    stride = max(1, round(max(nx, ny) / ARROWS_ACROSS))
    y, x = np.mgrid[stride // 2:ny:stride, stride // 2:nx:stride]
    shown = moving[y, x]
    label = "x (nodes)"
    if fastest > 0:
        arrows = ax.quiver(x[shown], y[shown], u[y, x, 0][shown], u[y, x, 1][shown],
                           angles="xy", scale_units="xy", scale=fastest / stride, pivot="mid",
                           color="w", edgecolor="k", linewidth=0.4, width=0.0035)
        key = nice_below(fastest)
        ax.quiverkey(arrows, 0.98, 1.035, key, f"|u| = {key:g}", labelpos="W",
                     coordinates="axes", fontproperties={"size": 8})
        label += f"   (largest |u| {fastest:.3g}; an arrow every {stride} nodes)"
    else:
        ax.text(0.5, 0.5, "no flow" if moving.any() else "no finite velocity", ha="center",
                va="center", transform=ax.transAxes, fontsize=9, color="w")
    ax.set(xlabel=label, ylabel="y (nodes)", xlim=(-0.5, nx - 0.5), ylim=(-0.5, ny - 0.5))
    save(fig, path)


def shape_summary(folder, field):
    """A line on the drop or bubble the run posed (its parameter file in the
    folder): Laplace's law, or the contact angle against Young's; None for
    other runs. The analysis is the campaign tool's."""
    parameters = os.path.join(folder, PARAMETER_FILE)
    if not os.path.isfile(parameters):
        return None
    values = read_parameters(parameters)
    shape = campaign_results.shape_of(values)
    if shape is None:
        return None
    words, found = campaign_results.analyse_shape(shape, field, values)
    if "contact_angle" in found:
        return (f"{words}: contact angle {found['contact_angle']:.1f} degrees inside the liquid; "
                f"Young's law gives {found['young_angle']:.1f} for -hwall_wetting "
                f"{found['wall_wetting']:g}")
    if "pressure_jump" in found:
        return (f"{words} of radius {found['radius_nodes']:.1f} nodes: densities "
                f"{found['inside_density']:.4f} inside, {found['outside_density']:.4f} outside; "
                f"pressure jump {found['pressure_jump']:.5f} against sigma / R = "
                f"{found['cahn_jump']:.5f} (Laplace's law, the flat interface's sigma)")
    return words


def plot_run(folder):
    """Writes the pictures; returns their paths and a summary line."""
    run = read_run(folder)
    run["about"] = describe(run["tag"])
    out = os.path.join(folder, "plots")
    os.makedirs(out, exist_ok=True)
    paths = []
    pictures = [("density.png", plot_density), ("profiles.png", plot_profiles),
                ("history.png", plot_history), ("evolution.png", plot_evolution)]
    if run["flow"] is not None and run["flow"]["velocity"] is not None:
        pictures.append(("velocity.png", plot_velocity))
    for name, plot in pictures:
        paths.append(os.path.join(out, name))
        plot(paths[-1], run)
    last = run["fields"][-1]
    finite = last[np.isfinite(last)]
    count = len(run["steps"])
    summary = f"step {run['steps'][-1]}: density n"
    if finite.size:
        summary += f" from {finite.min():.4f} to {finite.max():.4f}"
    if finite.size == last.size:
        summary += f", mean {finite.mean():.4f}"
    else:
        summary += f", {last.size - finite.size} of {last.size} nodes not a finite number"
    summary += (f" ({count} snapshot{'s' if count > 1 else ''}, "
                f"{last.shape[1]} x {last.shape[0]} nodes)")
    shape = shape_summary(folder, last)
    bulk = None if shape else bulk_densities(last, run["t"])
    if shape:
        summary += "\n" + shape
    elif bulk:
        n_v, n_l, vapour, liquid = bulk
        summary += (f"\nbulk densities vapour {n_v:.4f}, liquid {n_l:.4f}; equal-area values "
                    f"at T/Tc = {run['t']:g}: {vapour:.4f}, {liquid:.4f} "
                    f"({100 * (n_v / vapour - 1):+.1f} %, {100 * (n_l / liquid - 1):+.1f} %)")
    elif run["t"] is not None and 0.05 < run["t"] < 1:
        summary += "\nnot separated into vapour and liquid (yet)"
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
