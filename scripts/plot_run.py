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

and of a three-dimensional run (its PV*.vti files span more than one layer):

  density.png    the last snapshot's planes x = nx/2, y = ny/2, z = nz/2
  interface.png  the liquid-vapour interface of the last snapshot, a shaded
                 surface (solid nodes translucent grey)
  evolution.png  the interface of every snapshot (at most 12, evenly chosen)
  history.png    as above

The interpreter is the system's python3, where the packages python3-numpy and
python3-matplotlib go, and for three-dimensional runs python3-skimage
(scikit-image's marching cubes; scripts/setup.sh installs them).
"""
import math
import os
import sys

try:
    import numpy as np
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection
except ImportError as missing:
    sys.exit(f"plot_run.py: {sys.executable} lacks numpy or matplotlib ({missing});\n"
             "  on Debian: apt-get install python3-numpy python3-matplotlib "
             "(scripts/setup.sh does it)")

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import campaign_results  # noqa: E402
from run_folder import (LEADING_REAL, PARAMETER_FILE, TAG, RunError, extremes,  # noqa: E402
                        parameter, read_parameters, read_run)
from vdw_theory import Fluid  # noqa: E402

COLOURS = "viridis"
DENSITY = "density n / n$_c$"
LEGEND_CURVES = 12  # more profiles than this get a colour bar of the step
ARROWS_ACROSS = 24  # velocity arrows along the longer side of the lattice
EVOLUTION_PANELS = 12  # interfaces of a three-dimensional run on its evolution sheet
# Marching cubes takes every node up to this many along the longest side of
# the lattice, every second (third, ...) beyond, so that the triangles stay
# few enough for matplotlib: the interface picture, the evolution sheet's
# panels, and the solid on every one of them.
SURFACE_NODES, PANEL_NODES, PANEL_SOLID_NODES = 96, 32, 16
# The drawing's axes are (z, x, y): y, up in the setups, is mplot3d's vertical
# axis, and (z, x, y) is a rotation of (x, y, z), not a mirror image.
DRAWN = [0, 2, 1]       # of the (z, y, x) index order of the arrays
VIEW = {"elev": 25, "azim": -50}
LIGHT = matplotlib.colors.LightSource(azdeg=100, altdeg=55)
LIQUID_COLOUR, SOLID_COLOUR = (0.25, 0.5, 0.85, 1.0), (0.55, 0.55, 0.55, 0.25)


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


def describe(tag, nodes_z=1):
    """The run's parameters, in words, from its file-name tag (which does not
    hold nodes_z)."""
    m = TAG.match(tag)
    if not m:
        return tag
    nx, ny, _, dt, tau, rho0, _, temp, kappa = m.groups()
    depth = f" x {nodes_z}" if nodes_z > 1 else ""
    return (f"{int(nx)} x {int(ny)}{depth} nodes,  T/T$_c$ = {temp},  n$_0$ = {rho0},  "
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
    steps = run["steps"]
    lightest, densest = zip(*run["extremes"])
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
    broken = [step for step, whole in zip(steps, run["whole"]) if not whole]
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


def grey_solid(ax, solid):
    """Solid nodes of a density map grey (where there are any)."""
    if solid is not None and solid.any():
        ny, nx = solid.shape
        ax.imshow(np.ma.masked_where(~solid, np.ones(solid.shape)), origin="lower",
                  cmap=matplotlib.colors.ListedColormap(["0.55"]), interpolation="nearest",
                  extent=(-0.5, nx - 0.5, -0.5, ny - 0.5))


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
    grey_solid(ax, solid)
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


# ---------------------------------------------------------------------------
# Three-dimensional runs

def scikit():
    """scikit-image's marching cubes and SciPy's ndimage (which it brings),
    imported where a three-dimensional run needs them."""
    try:
        from scipy import ndimage
        from skimage.measure import marching_cubes
    except ImportError as missing:
        raise RunError(f"the interface of a three-dimensional run needs scikit-image "
                       f"(skimage.measure.marching_cubes), which {sys.executable} lacks "
                       f"({missing});\n  on Debian: apt-get install python3-skimage "
                       "(scripts/setup.sh does it)") from None
    return marching_cubes, ndimage


def interface_level(values, t):
    """The density of the drawn interface: the mean of the two equal-area
    densities at t = T / Tc, or where the field does not cross it (or above
    Tc) the mean of its smallest and largest value."""
    lo, hi = extremes(values)
    if t is not None and 0.05 < t < 1:
        level = 0.5 * sum(Fluid(t).coexistence())
        if lo < level < hi:
            return level
    return 0.5 * (lo + hi)


def isosurface(density, level, solid, nodes):
    """The isosurface of density [z, y, x] at level as triangles (k, 3, 3)
    and their normals (k, 3), towards the lower density, in the drawing's
    axes; None where the density does not cross the level or is not finite.
    Solid nodes take the density of the nearest fluid node and the triangles
    inside them are left out: the interface ends where it meets the solid."""
    marching_cubes, ndimage = scikit()
    if solid is not None and solid.any():
        if solid.all():
            return None
        nearest = ndimage.distance_transform_edt(solid, return_distances=False,
                                                 return_indices=True)
        density = density[tuple(nearest)]
    if not (np.isfinite(density).all() and density.min() < level < density.max()):
        return None
    verts, faces, normals, _ = marching_cubes(density, level, allow_degenerate=False,
                                              step_size=math.ceil(max(density.shape) / nodes))
    triangles, normals = verts[faces], normals[faces].sum(axis=1)
    if solid is not None and solid.any():
        # Inside: where the solid's surface drawn with it (the solid nodes'
        # indicator at 1/2, trilinear between nodes) has the triangle's centre.
        fluid = ndimage.map_coordinates(solid.astype(float), triangles.mean(axis=1).T,
                                        order=1) < 0.5
        triangles, normals = triangles[fluid], normals[fluid]
    return triangles[..., DRAWN], normals[..., DRAWN]


def solid_surface(solid, nodes):
    """The surface of the solid nodes (halfway to the fluid), closed at the
    lattice's faces, in the drawing's axes; None without solid nodes."""
    if solid is None or not solid.any():
        return None
    marching_cubes, _ = scikit()
    verts, faces, normals, _ = marching_cubes(np.pad(solid, 1).astype(float), 0.5,
                                              allow_degenerate=False,
                                              step_size=math.ceil(max(solid.shape) / nodes))
    return (verts - 1)[faces][..., DRAWN], normals[faces].sum(axis=1)[..., DRAWN]


def draw_interface(ax, density, level, solid, solid_triangles, nodes):
    """The interface, lit, with the solid translucent grey, in a box of the
    lattice's proportions (axes in nodes). Faces turned away from the viewer
    are lit from their other side, so that a bubble shows as a drop does."""
    nz, ny, nx = density.shape
    pieces = [(isosurface(density, level, solid, nodes), LIQUID_COLOUR),
              (solid_triangles, SOLID_COLOUR)]
    pieces = [(surface, colour) for surface, colour in pieces if surface is not None]
    if pieces:
        triangles = np.concatenate([surface[0] for surface, _ in pieces])
        normals = np.concatenate([surface[1] for surface, _ in pieces])
        colours = np.concatenate([np.tile(colour, (len(surface[0]), 1))
                                  for surface, colour in pieces])
        # Edges in the liquid's colours close the seams antialiasing leaves
        # (the solid's would draw its mesh).
        edges = np.where(colours[:, 3] == 1, 0.3, 0.0)
        elev, azim = np.radians(VIEW["elev"]), np.radians(VIEW["azim"])
        eye = np.array([np.cos(elev) * np.cos(azim), np.cos(elev) * np.sin(azim), np.sin(elev)])
        with np.errstate(invalid="ignore", divide="ignore"):
            normals = normals / np.linalg.norm(normals, axis=1, keepdims=True)
        normals = np.nan_to_num(normals) * np.where(normals @ eye < 0, -1.0, 1.0)[:, None]
        colours[:, :3] *= (0.4 + 0.6 * np.clip(normals @ LIGHT.direction, 0, 1))[:, None]
        ax.add_collection3d(Poly3DCollection(triangles, facecolors=colours, edgecolors=colours,
                                             linewidths=edges))
    if not pieces or pieces[0][1] is not LIQUID_COLOUR:
        ax.text2D(0.5, 0.5, "no interface" if np.isfinite(density).all()
                  else "not a finite number", ha="center", va="center",
                  transform=ax.transAxes, fontsize=8, color="C3")
    ax.set(xlim=(-0.5, nz - 0.5), ylim=(-0.5, nx - 0.5), zlim=(-0.5, ny - 0.5))
    # (a box a little smaller than the axes: their tick labels stay inside them)
    ax.set_box_aspect((nz, nx, ny), zoom=0.9)
    ax.view_init(**VIEW)


def plot_planes(path, run):
    """The last snapshot's planes through the lattice centre, side by side,
    on one colour scale (of the fluid nodes); solid nodes grey."""
    flow = run["flow"]
    rho, solid = flow["density"], flow["solid"]
    nz, ny, nx = rho.shape
    solid = np.zeros(rho.shape, bool) if solid is None else solid
    # (title, plane [rows, columns], solid nodes of it, column axis, row axis)
    planes = [(f"z = {nz // 2}", rho[nz // 2], solid[nz // 2], "x", "y"),
              (f"x = {nx // 2}", rho[:, :, nx // 2].T, solid[:, :, nx // 2].T, "z", "y"),
              (f"y = {ny // 2}", rho[:, ny // 2], solid[:, ny // 2], "x", "z")]
    inch = 11.0 / (2 * nx + nz)
    fig, axes = figure(run, f"density n at step {run['steps'][-1]}, the planes through "
                       "the lattice centre", ncols=3,
                       figsize=(12.4, min(9.0, 1.9 + inch * max(ny, nz))),
                       gridspec_kw={"width_ratios": (nx, nz, nx)})
    vmin, vmax = finite_range([plane[~grey] for _, plane, grey, _, _ in planes])
    for ax, (title, plane, grey, across, up) in zip(axes, planes):
        image = density_map(ax, plane, vmin, vmax)
        grey_solid(ax, grey)
        ax.set_title(title, fontsize=10)
        ax.set(xlabel=f"{across} (nodes)", ylabel=f"{up} (nodes)")
    fig.colorbar(image, ax=axes, label=DENSITY, shrink=0.85)
    save(fig, path)


def plot_interface(path, run):
    """The last snapshot's interface, at the level plot_run_3d chose."""
    flow = run["flow"]
    rho, solid = flow["density"], flow["solid"]
    level = run["level"]
    fig = plt.figure(figsize=(7.2, 6.4), layout="constrained")
    fig.suptitle(f"liquid-vapour interface at step {run['steps'][-1]}: the density "
                 f"n = {level:.4f}\n{run['about']}", fontsize=9)
    ax = fig.add_subplot(projection="3d")
    draw_interface(ax, rho, level, solid, solid_surface(solid, SURFACE_NODES), SURFACE_NODES)
    ax.set(xlabel="z (nodes)", ylabel="x (nodes)", zlabel="y (nodes)")
    save(fig, path)


def plot_interfaces(path, run):
    """The evolution sheet: the interface of the kept snapshots."""
    kept, solid, t = run["kept"], run["flow"]["solid"], run["t"]
    solid_triangles = solid_surface(solid, PANEL_SOLID_NODES)
    count = len(kept)
    cols = min(count, 4)
    rows = math.ceil(count / cols)
    fig = plt.figure(figsize=(3.1 * cols + 0.4, 3.0 * rows + 0.7), layout="constrained")
    shown = "every snapshot" if count == len(run["steps"]) else \
        f"{count} of the {len(run['steps'])} snapshots"
    fig.suptitle(f"liquid-vapour interface, {shown} (axes z, x and y up, in nodes)\n"
                 f"{run['about']}", fontsize=9)
    for k, (step, rho) in enumerate(kept):
        ax = fig.add_subplot(rows, cols, k + 1, projection="3d")
        fluid = rho if solid is None else rho[~solid]
        draw_interface(ax, rho, interface_level(fluid, t), solid, solid_triangles, PANEL_NODES)
        ax.set_title(f"step {step}", fontsize=9)
        ax.tick_params(labelsize=6)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def shape_summary_3d(folder, rho, level, t):
    """A line on the drop or bubble the run posed: the volume inside its
    interface and the radius of a sphere of that volume, with Laplace's law
    (2 sigma / R), or for a drop posed on the bottom wall the contact angle
    of the spherical cap of its volume and height against Young's; None for
    other runs (also those with solid nodes or a pool)."""
    parameters = os.path.join(folder, PARAMETER_FILE)
    if not os.path.isfile(parameters) or t is None or not 0.05 < t < 1:
        return None
    values = read_parameters(parameters)
    init = values.get("hinit")
    if init not in ("drop", "bubble") or "hsolid_file" in values or "hinit_pool" in values:
        return None
    inside = rho > level if init == "drop" else rho < level
    volume = int(np.count_nonzero(inside))
    phase = "liquid" if init == "drop" else "vapour"
    if volume == 0 or volume == rho.size:
        return f"{init}: no {phase} left inside the interface n = {level:.4f}"
    radius = (3 * volume / (4 * math.pi)) ** (1 / 3)
    fluid, kappa = campaign_results.fluid_of(values)
    said = f"{init}: {phase} volume {volume} nodes, a sphere of radius {radius:.2f} nodes"
    ny = rho.shape[1]
    y0 = parameter(values, "hinit_y", LEADING_REAL, float) if "hinit_y" in values \
        else (ny - 1) / 2
    r0 = parameter(values, "hinit_radius", LEADING_REAL, float)
    if init == "drop" and "y" in values.get("hwalls", "") and y0 + 0.5 <= 0.5 * r0:
        # The height of the cap: where the column through the liquid's centre
        # crosses the level (the wall at y = -0.5).
        z, _, x = np.nonzero(inside)
        column = rho[int(round(z.mean())), :, int(round(x.mean()))]
        top = int(np.argmin(column > level))
        if top == 0:
            return said + "; not on the wall"
        height = top - 0.5 + (column[top - 1] - level) / (column[top - 1] - column[top])
        cap = (3 * volume / (math.pi * height ** 2) + height) / 3  # its sphere's radius
        angle = math.degrees(math.acos(max(-1.0, min(1.0, 1 - height / cap))))
        wetting = parameter(values, "hwall_wetting", LEADING_REAL, float)
        return (f"drop on the bottom wall: liquid volume {volume} nodes, a cap {height:.2f} "
                f"nodes high: contact angle {angle:.1f} degrees inside the liquid; Young's law "
                f"gives {fluid.young_angle(wetting, kappa):.1f} for -hwall_wetting {wetting:g}")
    # The bulk phases: inside, the core (the nodes within a node of the
    # deepest: a small drop's tanh profile leaves no plateau to take a
    # median of); outside, the nodes an interface width (10-90 %) or more
    # from the interface.
    width = 2 * math.atanh(0.8) * fluid.interface_width(kappa) / campaign_results.SPACING
    _, ndimage = scikit()
    depth = ndimage.distance_transform_edt(inside)
    deep_outside = ndimage.distance_transform_edt(~inside) > width
    if depth.max() <= width or not deep_outside.any():
        return (f"{said}: no bulk {'inside' if depth.max() <= width else 'outside'} (no "
                f"node an interface width, {width:.1f} nodes, from it): Laplace's law not "
                "checked")
    n_in = float(np.median(rho[depth >= depth.max() - 1]))
    n_out = float(np.median(rho[deep_outside]))
    jump = fluid.pressure(n_in) - fluid.pressure(n_out)
    laplace = 2 * fluid.surface_tension(kappa) / (radius * campaign_results.SPACING)
    return (f"{said}: densities {n_in:.4f} inside, {n_out:.4f} outside; pressure jump "
            f"{jump:.5f} against 2 sigma / R = {laplace:.5f} (Laplace's law, the flat "
            "interface's sigma)")


def plot_run_3d(folder, run, out):
    """The pictures of a three-dimensional run; their paths and a summary."""
    flow = run["flow"]
    rho, solid = flow["density"], flow["solid"]
    fluid = rho if solid is None else rho[~solid]
    run["level"] = interface_level(fluid, run["t"])
    os.makedirs(out, exist_ok=True)
    paths = []
    pictures = [("density.png", plot_planes), ("history.png", plot_history),
                ("interface.png", plot_interface), ("evolution.png", plot_interfaces)]
    for name, plot in pictures:
        paths.append(os.path.join(out, name))
        plot(paths[-1], run)
    summary = density_summary(run["steps"][-1], fluid, len(run["steps"]), rho.shape)
    if np.isfinite(fluid).all():
        more = (shape_summary_3d(folder, rho, run["level"], run["t"])
                or bulk_summary(fluid, run["t"]))
        summary += "\n" + more if more else ""
    return paths, summary


def density_summary(step, values, count, shape):
    """The first summary line: the density range of the last snapshot."""
    finite = values[np.isfinite(values)]
    summary = f"step {step}: density n"
    if finite.size:
        summary += f" from {finite.min():.4f} to {finite.max():.4f}"
    if finite.size == values.size:
        summary += f", mean {finite.mean():.4f}"
    else:
        summary += f", {values.size - finite.size} of {values.size} nodes not a finite number"
    return summary + (f" ({count} snapshot{'s' if count > 1 else ''}, "
                      f"{' x '.join(map(str, shape[::-1]))} nodes)")


def bulk_summary(values, t):
    """A line on the bulk densities against the equal-area values, or None
    where the temperature has no two phases."""
    bulk = bulk_densities(values, t)
    if bulk:
        n_v, n_l, vapour, liquid = bulk
        return (f"bulk densities vapour {n_v:.4f}, liquid {n_l:.4f}; equal-area values "
                f"at T/Tc = {t:g}: {vapour:.4f}, {liquid:.4f} "
                f"({100 * (n_v / vapour - 1):+.1f} %, {100 * (n_l / liquid - 1):+.1f} %)")
    if t is not None and 0.05 < t < 1:
        return "not separated into vapour and liquid (yet)"
    return None


def plot_run(folder):
    """Writes the pictures; returns their paths and a summary line."""
    run = read_run(folder, EVOLUTION_PANELS)
    run["about"] = describe(run["tag"], run["nodes_z"])
    out = os.path.join(folder, "plots")
    if run["nodes_z"] > 1:
        return plot_run_3d(folder, run, out)
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
    summary = density_summary(run["steps"][-1], last, len(run["steps"]), last.shape)
    more = shape_summary(folder, last) or bulk_summary(last, run["t"])
    return paths, summary + ("\n" + more if more else "")


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
