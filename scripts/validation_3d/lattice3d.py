"""Shared pieces of the three-dimensional validation scripts: the fluid's
theory (scripts/vdw_theory.py), the lattice's 19-point Laplacian and the
mechanical pressure, drops' centres and radii, and where results go.

Solver units throughout: h = 1/128 per node, pressures and densities as the
solver has them. Lattices are (nz, ny, nx) arrays as vdwflow.Simulation
returns them, periodic unless said otherwise.
"""
import datetime
import json
import math
import os
import platform
import socket
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPOSITORY, "scripts"))

import vdw_theory  # noqa: E402

H = 1.0 / vdw_theory.LATTICE_NODES
KAPPA = 1e-4
RESULTS = os.path.join(REPOSITORY, "run", "validation_3d")


def fluid(t):
    return vdw_theory.Fluid(t)


def machine():
    """One line naming where and when a result was taken."""
    try:
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), platform.processor())
    except OSError:
        model = platform.processor()
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")
    load = os.getloadavg()[0]
    return (f"{now}, {socket.gethostname()}, {os.cpu_count()} cores ({model}), load {load:.2f}, "
            f"CUDACPU_THREADS={os.environ.get('CUDACPU_THREADS', 'all')}")


def save(name, record):
    os.makedirs(RESULTS, exist_ok=True)
    path = os.path.join(RESULTS, name)
    with open(path, "w") as f:
        json.dump(record, f, indent=1)
    return path


def load(name):
    with open(os.path.join(RESULTS, name)) as f:
        return json.load(f)


# -- differences on the periodic lattice ----------------------------------

def shifted(q, dx, dy, dz):
    """q at x + (dx, dy, dz), periodic."""
    return np.roll(q, (-dz, -dy, -dx), axis=(0, 1, 2))


def laplacian19(q):
    """The solver's 19-point Laplacian, (2 axes + edges - 24 q) / (6 h^2)."""
    axes = sum(shifted(q, *d) + shifted(q, *(-np.array(d)))
               for d in ((1, 0, 0), (0, 1, 0), (0, 0, 1)))
    edges = sum(shifted(q, *d) + shifted(q, *(-np.array(d)))
                for d in ((1, 1, 0), (1, -1, 0), (1, 0, 1), (1, 0, -1), (0, 1, 1), (0, 1, -1)))
    return (2.0 * axes + edges - 24.0 * q) / (6.0 * H * H)


def mechanical_pressure(n, p, kappa=KAPPA):
    """p - kappa n lap(n): the pressure whose jump a drop's bulk phases show
    (the isotropic part of the Korteweg tensor where grad n vanishes)."""
    return p - kappa * n * laplacian19(n)


# -- drops -----------------------------------------------------------------

def periodic_centre(weight):
    """Centre of a positive weight on the periodic lattice (circular means),
    in node coordinates (x, y, z)."""
    centre = []
    for axis, size in ((2, weight.shape[2]), (1, weight.shape[1]), (0, weight.shape[0])):
        other = tuple(a for a in range(3) if a != axis)
        profile = weight.sum(axis=other)
        angle = 2 * math.pi * np.arange(size) / size
        c = math.atan2(np.dot(profile, np.sin(angle)), np.dot(profile, np.cos(angle)))
        centre.append((c % (2 * math.pi)) * size / (2 * math.pi))
    return np.array(centre)


def distances(shape, centre):
    """Distance (nodes) of every node from the centre, nearest image."""
    nz, ny, nx = shape
    z, y, x = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    d = []
    for coord, size, c in ((x, nx, centre[0]), (y, ny, centre[1]), (z, nz, centre[2])):
        u = coord - c
        d.append(u - size * np.round(u / size))
    return np.sqrt(d[0] ** 2 + d[1] ** 2 + d[2] ** 2)


def equal_potential_pair(t, jump):
    """Densities (inside, outside) of a drop (jump > 0: liquid inside) or a
    bubble (jump < 0: vapour inside) whose bulk phases have equal chemical
    potential and pressures differing by |jump| = 2 sigma / R: the start
    that sits at its equilibrium (Kelvin's shift of both phases)."""
    fl = fluid(t)
    vapour, liquid = fl.coexistence()
    low, high = fl.spinodal()

    def at_potential(mu, lo, hi):
        return vdw_theory.bisect(lambda n: fl.potential(n) - mu, lo, hi)

    def mismatch(mu):
        v, l = at_potential(mu, 1e-9, low), at_potential(mu, high, 3 - 1e-12)
        return (fl.pressure(l) - fl.pressure(v)) - jump

    # A drop raises the potential, a bubble lowers it, at most to a spinodal
    # (where that branch of the phase ends: no such shape exists beyond).
    mu0 = fl.potential(vapour)
    mu1 = fl.potential(low) if jump > 0 else fl.potential(high)
    mu1 = mu0 + (1 - 1e-9) * (mu1 - mu0)
    if (mismatch(mu1) > 0) == (mismatch(mu0) > 0):
        raise vdw_theory.TheoryError(f"no {'drop' if jump > 0 else 'bubble'} of jump "
                                     f"{abs(jump):g} at T/Tc {t:g}: beyond the spinodal")
    mu = vdw_theory.bisect(mismatch, min(mu0, mu1), max(mu0, mu1))
    v, l = at_potential(mu, 1e-9, low), at_potential(mu, high, 3 - 1e-12)
    return (l, v) if jump > 0 else (v, l)


def drop_measure(n, p, t, kind, w_nodes, kappa=KAPPA):
    """The measures of a drop or bubble at rest: its centre, bulk densities
    and mechanical pressures inside (nodes within 1.5 of the centre) and
    far outside (beyond R + 2.5 W), the radius of the inside phase's volume
    R = (3 V / 4 pi)^(1/3), V = sum (n - n_out) / (n_in - n_out) (nodes)."""
    fl = fluid(t)
    vapour, liquid = fl.coexistence()
    mid = 0.5 * (vapour + liquid)
    inside_phase = n > mid if kind == "drop" else n < mid
    centre = periodic_centre(inside_phase.astype(float))
    r = distances(n.shape, centre)
    P = mechanical_pressure(n, p, kappa)
    # A first radius from the mid-density volume, then the regions from it.
    r0 = (3 * inside_phase.sum() / (4 * math.pi)) ** (1 / 3)
    # Inside, the nodes next to the centre, where grad n vanishes: p - kappa n
    # lap(n) is the bulk pressure only where the density is flat, and drops
    # of these radii have no wider flat core (over r < R - 2.5 W it spreads
    # by 2 % of the jump at R 13).
    inner = r <= 1.5
    outer = r >= r0 + 2.5 * w_nodes
    if not outer.any():
        outer = r >= np.percentile(r, 95)
    n_in, n_out = float(n[inner].mean()), float(n[outer].mean())
    volume = float(((n - n_out) / (n_in - n_out)).sum())
    radius = (3 * volume / (4 * math.pi)) ** (1 / 3)
    p_in, p_out = float(P[inner].mean()), float(P[outer].mean())
    return {
        "centre": centre.tolist(), "R_nodes": radius, "R": radius * H,
        "n_in": n_in, "n_out": n_out, "n_centre": float(n[r == r.min()].mean()),
        "inner_nodes": int(inner.sum()), "outer_nodes": int(outer.sum()),
        "P_in": p_in, "P_out": p_out, "jump": p_in - p_out,
        "vdw_jump_centre": float(p[r == r.min()].mean() - p[outer].mean()),
        "P_in_spread": float(P[inner].max() - P[inner].min()),
        "P_out_spread": float(P[outer].max() - P[outer].min()),
    }


def ray_radius(n, centre, direction, level, r_max):
    """Distance from the centre along `direction` at which the density,
    interpolated on the periodic lattice (tricubic), crosses `level`."""
    nz, ny, nx = n.shape
    d = np.asarray(direction, float)
    d /= np.linalg.norm(d)
    s = np.arange(0.0, r_max, 0.05)
    pts = centre[None, :] + s[:, None] * d[None, :]
    values = tricubic(n, pts)
    sign = np.sign(values - level)
    k = np.nonzero(sign[1:] != sign[:-1])[0]
    if len(k) == 0:
        return float("nan")
    k = k[0]
    a, b = values[k] - level, values[k + 1] - level
    return float(s[k] + (s[k + 1] - s[k]) * a / (a - b))


def lagrange_weights(t):
    """Weights of the cubic through the nodes at offsets -1, 0, 1, 2."""
    return ((-t * (t - 1) * (t - 2) / 6), ((t + 1) * (t - 1) * (t - 2) / 2),
            (-(t + 1) * t * (t - 2) / 2), ((t + 1) * t * (t - 1) / 6))


def tricubic(n, pts):
    """n at the points (x, y, z), periodic, by cubic Lagrange interpolation
    along each axis (trilinear interpolation alone shifts the half-density
    radius by about 0.01 node between axes and diagonals)."""
    nz, ny, nx = n.shape
    x, y, z = pts[:, 0], pts[:, 1], pts[:, 2]
    x0, y0, z0 = np.floor(x).astype(int), np.floor(y).astype(int), np.floor(z).astype(int)
    wx, wy, wz = lagrange_weights(x - x0), lagrange_weights(y - y0), lagrange_weights(z - z0)
    out = np.zeros(len(pts))
    for i, ox in enumerate((-1, 0, 1, 2)):
        for j, oy in enumerate((-1, 0, 1, 2)):
            for k, oz in enumerate((-1, 0, 1, 2)):
                out += wx[i] * wy[j] * wz[k] * n[(z0 + oz) % nz, (y0 + oy) % ny, (x0 + ox) % nx]
    return out


def directions():
    """The rays of the roundness measure: the 6 axes, 12 face diagonals and
    8 body diagonals, by family."""
    axes = [s * np.eye(3)[a] for a in range(3) for s in (1, -1)]
    faces = []
    for a in range(3):
        for b in range(a + 1, 3):
            for sa in (1, -1):
                for sb in (1, -1):
                    v = np.zeros(3)
                    v[a], v[b] = sa, sb
                    faces.append(v)
    bodies = [np.array([sx, sy, sz], float) for sx in (1, -1) for sy in (1, -1) for sz in (1, -1)]
    return {"axes": axes, "face diagonals": faces, "body diagonals": bodies}


def roundness(n, centre, level, r_max):
    """Radius of the `level` isosurface along the ray families and their
    relative spread (largest minus smallest family mean over their mean)."""
    out = {}
    for name, rays in directions().items():
        radii = [ray_radius(n, centre, d, level, r_max) for d in rays]
        out[name] = {"mean": float(np.mean(radii)), "min": float(np.min(radii)),
                     "max": float(np.max(radii))}
    means = [v["mean"] for v in out.values()]
    out["spread"] = float((max(means) - min(means)) / np.mean(means))
    return out
