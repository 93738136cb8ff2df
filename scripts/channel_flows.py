#!/usr/bin/python3
"""Channel flows between vdwflow's walls against their exact profiles.

Usage: scripts/channel_flows.py VDWFLOW PICTURE

Runs vdwflow (the program's path) in temporary folders:
  - a single-phase fluid (T/Tc 1.4) driven by gravity along y between walls
    at x = -1/2 and H - 1/2, H = 16, 32 and 64 nodes, to its steady state;
  - two layers (T/Tc 0.9): a liquid band of half the channel in the middle,
    vapour along the walls, H = 64 and 128,
and prints the table of docs/physics.md (slip, error, viscosity; the layered
channel's centre speed against the sharp-interface solution), and draws the
profiles into PICTURE (PNG). The state is read from each run's checkpoint.
"""
import os
import subprocess
import sys
import tempfile

import numpy as np
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import read_checkpoint  # noqa: E402

H_SPACING = 1 / 128
EX = np.array([0, 1, 0, -1, 0, 1, -1, -1, 1])
EY = np.array([0, 0, 1, 0, -1, 1, 1, -1, -1])


def steady_state(vdwflow, nx, temperature, dt, steps, keys):
    """Density and velocity along x (means over y) of a run's last state."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "nw2cuda.input"), "w") as f:
            f.write(f"-hnodes_x {nx}\n-hnodes_y 4\n-hniter_cycle {steps}\n-hncycles 1\n"
                    f"-hlast_iter 0\n-hRTzero 1\n-htemperature {temperature}\n"
                    f"-hdelta_time {dt}\n-hkappa 0.0001\n-hrho_zero 1\n-htau 0.001\n{keys}\n")
        subprocess.run([vdwflow, "-q"], cwd=folder, check=True, capture_output=True)
        state = read_checkpoint.load(os.path.join(folder, "vdwflow.checkpoint"))
    c = np.sqrt(3 * temperature)
    f = state["f"]
    density = f.sum(axis=0)
    uy = (f * EY[:, None, None]).sum(axis=0) * c / density
    return density.mean(axis=0), uy.mean(axis=0)


def viscosity(temperature):
    """tau T plus the upwind propagation's own diffusion c h / 6."""
    return 1e-3 * temperature + np.sqrt(3 * temperature) * H_SPACING / 6


def relaxation_steps(nodes, nu, dt):
    """14 e-foldings of the slowest mode of a channel of `nodes`."""
    width = nodes * H_SPACING
    return int(14 * width ** 2 / (np.pi ** 2 * nu) / dt)


def single_phase(vdwflow, ax):
    t, dt = 1.4, 7e-4
    nu = viscosity(t)
    print(f"single phase, T/Tc {t}, viscosity tau T + c h / 6 = {nu:.7f}")
    print(f"{'H':>4} {'steps':>7} {'u largest':>10} {'exact':>9} {'slip/u_max':>11} "
          f"{'wall shift (nodes)':>19} {'fitted viscosity':>17}")
    for nodes, style in ((16, "o"), (32, "s"), (64, "^")):
        half = nodes / 2 * H_SPACING
        g = 0.05 * 2 * nu / half ** 2  # a centreline speed of 0.05
        _, u = steady_state(vdwflow, nodes, t, dt, relaxation_steps(nodes, nu, dt),
                            f"-hwalls x -hgravity_y {g!r}")
        x = (np.arange(nodes) - (nodes - 1) / 2) * H_SPACING
        exact = g / (2 * nu) * (half ** 2 - x ** 2)
        u_max = g / (2 * nu) * half ** 2
        a, _, c0 = np.polyfit(x, u, 2)
        # The fitted parabola's zero: where the wall acts, against x = H / 2.
        shift = (np.sqrt(-c0 / a) - half) / H_SPACING
        print(f"{nodes:>4} {relaxation_steps(nodes, nu, dt):>7} {u.max():>10.6f} {u_max:>9.6f} "
              f"{np.abs(u - exact).max() / u_max:>11.2e} {shift:>19.4f} {-g / (2 * a):>17.7f}")
        ax.plot(x / (2 * half), u / u_max, style, ms=4, label=f"H = {nodes} nodes")
    s = np.linspace(-0.5, 0.5, 101)
    ax.plot(s, 1 - 4 * s ** 2, "k-", lw=1, label="parabola, walls at x = -1/2, H - 1/2")
    ax.set(xlabel="x / H (walls at -0.5 and 0.5)", ylabel="u / u$_{max}$ (exact)",
           title=f"one phase, T/T$_c$ = {t}", xlim=(-0.52, 0.52), ylim=(0, 1.05))
    ax.legend(fontsize=8, loc="lower center")


def layered(vdwflow, ax):
    t, dt = 0.9, 4e-4
    nu = viscosity(t)
    print(f"\ntwo layers, T/Tc {t}: liquid in the middle half, vapour along the walls")
    print(f"{'H':>4} {'steps':>8} {'vapour':>7} {'liquid':>7} {'u centre':>9} {'sharp':>8} "
          f"{'error':>7}")
    for nodes, style in ((64, "o"), (128, "s")):
        half, band = nodes / 2 * H_SPACING, nodes / 4 * H_SPACING
        g = 0.002 * (64 / nodes) ** 2
        steps = relaxation_steps(nodes, nu, dt)
        n, u = steady_state(vdwflow, nodes, t, dt, steps,
                            f"-hwalls x -hgravity_y {g!r} -hinit slab -hinit_radius {nodes // 4}")
        x = np.abs((np.arange(nodes) - (nodes - 1) / 2) * H_SPACING)
        liquid, vapour = n.max(), n.min()

        centre = sharp_profile(np.array([0.0]), half, band, g, nu, liquid, vapour)[0]
        print(f"{nodes:>4} {steps:>8} {vapour:>7.4f} {liquid:>7.4f} {u.max():>9.5f} "
              f"{centre:>8.5f} {u.max() / centre - 1:>+7.1%}")
        s = (np.arange(nodes) - (nodes - 1) / 2) / nodes
        ax.plot(s, u / centre, style, ms=3, label=f"H = {nodes} nodes")
    s = np.linspace(-0.5, 0.5, 401)
    x = np.abs(s) * 64 * H_SPACING
    half, band, g = 32 * H_SPACING, 16 * H_SPACING, 0.002
    ax.plot(s, sharp_profile(x, half, band, g, nu, liquid, vapour) /
            sharp_profile(np.array([0.0]), half, band, g, nu, liquid, vapour)[0], "k-", lw=1,
            label="sharp interfaces at |x| = H / 4")
    ax.axvspan(-0.25, 0.25, color="0.9", zorder=0)
    ax.set(xlabel="x / H (liquid in the shaded middle)", ylabel="u / u$_{centre}$ (sharp)",
           title=f"two layers, T/T$_c$ = {t}", xlim=(-0.52, 0.52), ylim=(0, 1.05))
    ax.legend(fontsize=8, loc="lower center")


def sharp_profile(x, half, band, g, nu, liquid, vapour):
    """The layered channel's profile with sharp interfaces at |x| = band: in
    both phases parabolas of the curvature -g / nu, the shear stress n nu u'
    continuous at the interface, no slip at the wall (|x| = half)."""
    def in_vapour(x):
        return g / nu * (liquid / vapour * band * (half - x) +
                         ((half - band) ** 2 - (x - band) ** 2) / 2)
    return np.where(x <= band, in_vapour(band) + g * (band ** 2 - x ** 2) / (2 * nu),
                    in_vapour(x))


def main(argv):
    if len(argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    vdwflow = os.path.abspath(argv[1])
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.2))
    single_phase(vdwflow, left)
    layered(vdwflow, right)
    fig.suptitle("channels driven by gravity between vdwflow's walls (steady states)")
    fig.tight_layout()
    fig.savefig(argv[2], dpi=90)
    print(f"\n{argv[2]}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
