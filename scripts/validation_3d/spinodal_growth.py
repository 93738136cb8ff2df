#!/usr/bin/env python3
"""Spinodal decomposition from the noisy start: the domains' size against time.

Usage:
  build/venv/bin/python scripts/validation_3d/spinodal_growth.py run OUT [--dim 3|2]
      [--nodes N] [--temperature T] [--delta-time DT] [--max-time T]
  /usr/bin/python3 scripts/validation_3d/spinodal_growth.py plot OUT SERIES.png GROWTH.png

run starts a periodic box of N^dim nodes (N^3 on a three-dimensional
lattice, N^2 on a two-dimensional one) from the solver's noisy start
(-hinit noise, mean density 1) and measures, at times growing by a factor
2^(1/4), the structure factor S(k) = |FFT(n - <n>)|^2 averaged over shells
of |k| one 2 pi / N wide; its first moment k1 = sum k S / sum S (shells up
to the axes' Nyquist wavenumber) gives the domain size L = 2 pi / k1, in
nodes. It keeps the density at times 2^j. OUT/spinodal_{dim}d_{N}.json and .npz.

plot draws the domains (the middle plane z = N/2 and the liquid's half-level
isosurface of the three-dimensional run) at the kept times, and L(t) of both
runs on logarithmic axes beside the growth laws of the field.

The linear instability: a uniform fluid of density n0 inside the spinodal,
n0 dd(n)/dtt = n0 laplacian(p' dn / n0 - kappa laplacian dn) in the solver's
force, grows fastest at k_m^2 = -p'(n0) / (2 kappa n0): the first domains'
size, 2 pi / k_m (19.6 nodes at T/Tc 0.85, kappa 1e-4).
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
from vdw_theory import Fluid  # noqa: E402

KAPPA, TAU, MEAN = 1e-4, 1e-3, 1.0
FIRST_TIME, FACTOR = 0.125, 2 ** 0.25


def structure(field):
    """Shell-averaged structure factor of field's fluctuations: wavenumbers
    (in 2 pi / N per node), S, and the domain size 2 pi / k1 in nodes."""
    n = field.shape[-1]
    fluct = field - field.mean()
    power = np.abs(np.fft.fftn(fluct)) ** 2 / fluct.size
    k = np.fft.fftfreq(n) * n
    grids = np.meshgrid(*([k] * field.ndim), indexing="ij")
    shell = np.rint(np.sqrt(sum(g * g for g in grids))).astype(int).ravel()
    count = np.bincount(shell)
    total = np.bincount(shell, power.ravel())
    shells = np.arange(1, n // 2 + 1)
    s = total[shells] / count[shells]
    k1 = float((shells * s).sum() / s.sum())
    return shells, s, n / k1


def linear_size(t_over_tc):
    fluid = Fluid(t_over_tc)
    k_m = math.sqrt(-fluid.slope(MEAN) / (2 * KAPPA * MEAN))
    return 2 * math.pi / k_m * 128


def viscosity(t_over_tc):
    """The shear viscosity the channels measure: tau T + c h / 6."""
    return TAU * t_over_tc + math.sqrt(3 * t_over_tc) / 128 / 6


def growth_rate(k, t_over_tc, damped=True):
    """Growth rate of a density wave of wavenumber k (solver units) in the
    uniform fluid: omega^2 + 2 nu k^2 omega + k^2 (p'(n0) + kappa n0 k^2) = 0,
    the lattice gas's stress nu n (grad u + grad u^T) giving the
    longitudinal 2 nu."""
    nu = viscosity(t_over_tc) if damped else 0.0
    drive = -np.asarray(k, float) ** 2 * (Fluid(t_over_tc).slope(MEAN) + KAPPA * MEAN *
                                          np.asarray(k, float) ** 2)
    return -nu * k ** 2 + np.sqrt(np.maximum(nu ** 2 * k ** 4 + drive, 0.0))


def measured_rates(run, spectra):
    """omega(k) of each shell: half the slope of ln S against time over the
    linear stage (contrast between 0.2 % and 10 % of the mean density)."""
    rows = run["rows"]
    pick = [i for i, row in enumerate(rows)
            if row["time"] >= 0.2 and 0.002 < row["highest"] - row["lowest"] < 0.1]
    t = np.array([rows[i]["time"] for i in pick])
    s = np.log(np.asarray(spectra)[pick])
    slopes = np.polyfit(t, s, 1)[0] / 2
    return slopes, (t.min(), t.max()) if len(t) else (None, None)


def run(out, dim, nodes, t_over_tc, dt, max_time):
    import vdwflow
    keys = {"nodes_x": nodes, "nodes_y": nodes, "nodes_z": nodes if dim == 3 else 1,
            "temperature": t_over_tc, "kappa": KAPPA, "tau": TAU, "delta_time": dt,
            "rho_zero": MEAN, "init": "noise"}
    times, k = [], 0
    while FIRST_TIME * FACTOR ** k <= max_time * (1 + 1e-9):
        times.append(FIRST_TIME * FACTOR ** k)
        k += 1
    rows, kept, kept_times, spectra = [], [], [], []
    wall, cpu = time.time(), time.process_time()
    with vdwflow.Simulation(keys, folder=out) as sim:
        mass0 = sim.total_density
        for target in times:
            steps = int(round(target / dt)) - sim.step_count
            if steps > 0:
                sim.step(steps)
            density = sim.density
            if dim == 2 and density.ndim == 3:
                density = density[0]
            shells, s, size = structure(density)
            speed = np.linalg.norm(sim.velocity, axis=-1)
            rows.append({"time": sim.time, "steps": sim.step_count, "size": size,
                         "lowest": float(density.min()), "highest": float(density.max()),
                         "variance": float(density.var()), "mean_speed": float(speed.mean()),
                         "largest_speed": float(speed.max())})
            spectra.append(s)
            print(f"  t {sim.time:7.3f}  L {size:6.2f}  n {density.min():.3f} .. "
                  f"{density.max():.3f}  <|u|> {speed.mean():.4f}", flush=True)
            if abs(math.log2(target) - round(math.log2(target))) < 1e-9:
                kept.append(density.astype(np.float32))
                kept_times.append(sim.time)
        mass_change = (sim.total_density - mass0) / mass0
    name = f"spinodal_{dim}d_{nodes}"
    np.savez_compressed(os.path.join(out, name + ".npz"), density=np.array(kept),
                        times=np.array(kept_times), spectra=np.array(spectra), shells=shells)
    result = {"dim": dim, "nodes": nodes, "temperature": t_over_tc, "delta_time": dt,
              "kappa": KAPPA, "tau": TAU, "mass_change": mass_change,
              "linear_size": linear_size(t_over_tc), "wall_seconds": time.time() - wall,
              "cpu_seconds": time.process_time() - cpu, "rows": rows}
    with open(os.path.join(out, name + ".json"), "w") as f:
        json.dump(result, f, indent=1)
    return result


def shaded_surface(axes, field, level, colour=(0.2, 0.45, 0.75)):
    """The level's isosurface of field (z, y, x) by marching cubes, lit from
    one side, on 3-D axes with x, y, z along the plot's x, y, z."""
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection
    from skimage.measure import marching_cubes
    verts, faces, normals, _ = marching_cubes(field, level)
    verts = verts[:, ::-1]
    normals = normals[:, ::-1]
    light = np.array([0.4, -0.5, 0.75])
    light /= np.linalg.norm(light)
    shade = 0.35 + 0.65 * np.abs(normals[faces].mean(axis=1) @ light)
    mesh = Poly3DCollection(verts[faces], linewidth=0)
    mesh.set_facecolor(np.clip(np.outer(shade, colour), 0, 1))
    axes.add_collection3d(mesh)


def plot(out, series, growth):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    runs, data = {}, {}
    for name in sorted(os.listdir(out)):
        if name.startswith("spinodal_") and name.endswith(".json"):
            with open(os.path.join(out, name)) as f:
                run_ = json.load(f)
            key = (run_["dim"], run_["nodes"])
            runs[key] = run_
            data[key] = np.load(os.path.join(out, name[:-5] + ".npz"))
    # The pictures: the three-dimensional run that went on longest, and the
    # two-dimensional one.
    three = max((k for k in runs if k[0] == 3), key=lambda k: runs[k]["rows"][-1]["time"])
    flat_key = next((k for k in runs if k[0] == 2), None)
    r = runs[three]
    density, times = data[three]["density"], data[three]["times"]
    level = 0.5 * sum(Fluid(r["temperature"]).coexistence())
    pick = [k for k in range(len(times)) if times[k] >= 0.99]
    rows = 3 if flat_key else 2
    figure = plt.figure(figsize=(2.6 * len(pick), 2.6 * rows + 0.4))
    for column, k in enumerate(pick):
        field = density[k].astype(float)
        n = field.shape[0]
        axes = figure.add_subplot(rows, len(pick), column + 1, projection="3d")
        if field.min() < level < field.max():
            shaded_surface(axes, field, level)
        for setter in (axes.set_xlim, axes.set_ylim, axes.set_zlim):
            setter(0, n - 1)
        axes.set_box_aspect((1, 1, 1), zoom=1.15)
        axes.set_axis_off()
        for x0, y0 in ((0, 0), (0, n - 1), (n - 1, 0), (n - 1, n - 1)):  # the box's edges
            axes.plot([x0, x0], [y0, y0], [0, n - 1], "k-", lw=0.4)
            axes.plot([x0, x0], [0, n - 1], [y0, y0], "k-", lw=0.4)
            axes.plot([0, n - 1], [x0, x0], [y0, y0], "k-", lw=0.4)
        axes.set_title(f"3-D, t = {times[k]:.3g}", fontsize=9)
        plane = figure.add_subplot(rows, len(pick), len(pick) + column + 1)
        image = plane.imshow(field[n // 2], origin="lower", cmap="viridis", vmin=0.25,
                             vmax=1.85)
        plane.set_xticks([])
        plane.set_yticks([])
        plane.set_title(f"plane z = {n // 2}", fontsize=8)
    if flat_key:
        flat, flat_times = data[flat_key]["density"], data[flat_key]["times"]
        show = [int(np.argmin(abs(flat_times - times[k]))) for k in pick]
        for column, k in enumerate(show):
            plane = figure.add_subplot(rows, len(pick), 2 * len(pick) + column + 1)
            plane.imshow(flat[k], origin="lower", cmap="viridis", vmin=0.25, vmax=1.85)
            plane.set_xticks([])
            plane.set_yticks([])
            plane.set_title(f"2-D {flat_key[1]}^2, t = {flat_times[k]:.3g}", fontsize=8)
    figure.colorbar(image, ax=figure.axes, fraction=0.02, label="density")
    figure.suptitle(f"spinodal decomposition from the noisy start, T/Tc {r['temperature']}, "
                    f"periodic; 3-D {r['nodes']}^3: the liquid's half-level isosurface and "
                    "a middle plane", fontsize=9)
    figure.savefig(series, dpi=100)

    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 4.6))
    marks = {3: "o-", 2: "s-"}
    for key in sorted(runs, reverse=True):
        rows_d = runs[key]["rows"]
        line = left.loglog([row["time"] for row in rows_d], [row["size"] for row in rows_d],
                           marks[key[0]], ms=3, label=f"{key[0]}-D, {key[1]}^{key[0]}")[0]
        left.axhline(key[1], color=line.get_color(), lw=0.6, ls="-.")
    anchor = flat_key or three
    rows_a = runs[anchor]["rows"]
    t_a = np.array([row["time"] for row in rows_a])
    l_a = np.array([row["size"] for row in rows_a])
    t0 = 2.0
    l0 = float(np.interp(t0, t_a, l_a))
    t = np.geomspace(1.0, t_a.max(), 40)
    for power, text, style in ((1 / 3, "t^1/3 (diffusive)", ":"),
                               (1 / 2, "t^1/2 (2-D viscous)", "--"),
                               (2 / 3, "t^2/3 (inertial)", "-."),
                               (1.0, "t (3-D viscous)", (0, (1, 1)))):
        left.loglog(t, l0 * (t / t0) ** power, ls=style, color="0.35", lw=1.0, label=text)
    left.axhline(r["linear_size"], color="grey", lw=0.8, ls="--",
                 label="fastest linear mode, undamped")
    left.set_xlabel("time (solver units)")
    left.set_ylabel("L = 2 pi / k1 (nodes); lines: the box")
    left.set_title(f"T/Tc {r['temperature']}, kappa {KAPPA:g}, tau {TAU:g}, dt "
                   f"{r['delta_time']:g} (laws through the {anchor[0]}-D run at t = 2)",
                   fontsize=8)
    left.legend(fontsize=7)
    k = np.linspace(1, 70, 300)
    right.plot(k, growth_rate(k, r["temperature"]), "k-", lw=1,
               label="linear theory, longitudinal viscosity 2 nu")
    right.plot(k, growth_rate(k, r["temperature"], damped=False), "k--", lw=0.8,
               label="without viscosity")
    for key in sorted(runs, reverse=True):
        rates, (ta, tb) = measured_rates(runs[key], data[key]["spectra"])
        shells = data[key]["shells"]
        ks = 2 * math.pi * shells * 128 / key[1]
        keep = ks <= 70
        right.plot(ks[keep], rates[keep], marks[key[0]][0], ms=3, mfc="none",
                   label=f"{key[0]}-D {key[1]}^{key[0]}, ln S over t = {ta:.2f} .. {tb:.2f}")
    right.axhline(0, color="grey", lw=0.5)
    right.set_ylim(-10, 20)
    right.set_xlabel("k (solver units; 2 pi / k in nodes: 804 / k)")
    right.set_ylabel("growth rate omega (per time unit)")
    right.set_title("the linear stage: S(k, t) ~ exp(2 omega t)", fontsize=8)
    right.legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(growth, dpi=110)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("run", "plot"))
    parser.add_argument("out")
    parser.add_argument("pictures", nargs="*")
    parser.add_argument("--dim", type=int, default=3, choices=(2, 3))
    parser.add_argument("--nodes", type=int, default=64)
    parser.add_argument("--temperature", type=float, default=0.85)
    parser.add_argument("--delta-time", type=float, default=1.2e-3)
    parser.add_argument("--max-time", type=float, default=16)
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    if args.command == "run":
        r = run(args.out, args.dim, args.nodes, args.temperature, args.delta_time,
                args.max_time)
        print(f"{r['rows'][-1]['steps']} steps, {r['cpu_seconds']:.0f} s cpu, "
              f"mass {r['mass_change']:.1e}")
    else:
        plot(args.out, *args.pictures)


if __name__ == "__main__":
    main(sys.argv[1:])
