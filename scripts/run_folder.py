"""The files of a solver run's folder, read: its parameter file, its
snapshots (PV*.vtk density on the lattice, or where a run wrote none,
-houtput vti, its PV*.vti files; BP* density profile along the middle row)
and the totals of its console. A three-dimensional run (-hnodes_z > 1) is
read from its .vti files, which hold the whole lattice (its PV*.vtk files,
-houtput classic or both, only the middle layer). plot_run.py draws what
read_run gathers; campaign collect and the progress display read the parts
they need.
"""
import math
import os
import re
import sys
import xml.etree.ElementTree as ElementTree

try:
    import numpy as np
except ImportError:  # (the progress display reads the parameter file only)
    np = None

PARAMETER_FILE = "nw2cuda.input"
CONSOLE = "console.txt"
LEADING_INT = re.compile(r"\s*[-+]?\d+")
LEADING_REAL = re.compile(r"\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?")
SNAPSHOT_NAME = re.compile(r"^PV(.*)\.(-?\d{9,})\.(vtk|vti)$")
# The array types of a .vti snapshot: numpy's little-endian forms.
VTI_TYPES = {"Float64": "<f8", "Float32": "<f4", "Int32": "<i4", "UInt8": "u1"}
APPENDED_MARKER = re.compile(rb"\s*_")  # the raw data start after the underscore
WHOLE_EXTENT = re.compile(rb'WholeExtent="([^"]*)"')
# iter=%10.10d  ntot=%25.20e, found anywhere in a line: error text of the
# program may stand in front of it.
CONSOLE_TOTAL = re.compile(r"iter=(-?\d+)  ntot=\s*(\S+)")
TAG = re.compile(r"^_X(\d+)_Y(\d+)_S(\S+?)_T(\S+?)_Ta(\S+?)_R(\S+?)_Z(\S+?)_T(\S+?)_K(\S+)$")


def read_parameters(path):
    """The values of a parameter file by key ("hnodes_x", ...), as text: key
    and value tokens, the first of a repeated key counts, as in the programs."""
    with open(path) as f:
        tokens = f.read().split()
    values = {}
    for key, value in zip(tokens[0::2], tokens[1::2]):
        values.setdefault(key[1:] if key.startswith("-") else key, value)
    return values


def parameter(values, key, number=LEADING_INT, kind=int):
    """A value's leading number, as the programs read it; 0 where there is none."""
    m = number.match(values.get(key, ""))
    return kind(m.group()) if m else kind(0)


def reduced_temperature(values):
    """T / Tc of a parameter file's values: its htemperature."""
    return parameter(values, "htemperature", LEADING_REAL, float)


def run_temperature(folder, tag):
    """T / Tc of the run in a folder: from its parameter file where it is
    there, else from the tag (two decimals)."""
    parameters = os.path.join(folder, PARAMETER_FILE)
    if os.path.isfile(parameters):
        return reduced_temperature(read_parameters(parameters))
    m = TAG.match(tag)
    return float(m.group(8)) if m else None


class RunError(Exception):
    """A folder or file that is not a readable run (the message names it)."""


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


def read_vti(path):
    """The fields of a .vti snapshot of vdwflow, as arrays [y, x] (row y,
    column x): {"density", "velocity" (ny, nx, 2) or None, "pressure" or
    None, "solid" (bool) or None, "step", "time", "spacing"}; of a
    three-dimensional lattice as arrays [z, y, x], the velocity (nz, ny, nx, 3).

    The XML header is read up to the appended data; each array is then the
    raw block at its offset, its byte count checked against the lattice."""
    with open(path, "rb") as f:
        data = f.read()
    appended = data.find(b"<AppendedData")
    if appended < 0:
        raise RunError(f"{path}: cut short, or not a .vti snapshot of the solver "
                       "(no appended data)")
    opened = data.find(b">", appended)
    marker = APPENDED_MARKER.match(data, opened + 1) if opened > 0 else None
    if marker is None:
        raise RunError(f"{path}: cut short at the appended data")
    try:
        root = ElementTree.fromstring(data[:appended] + data[appended:opened + 1] +
                                      b"</AppendedData></VTKFile>")
        image, piece = root.find("ImageData"), root.find("ImageData/Piece")
        tag = root.find("AppendedData")
        header_bytes = {"UInt64": 8, "UInt32": 4}[root.get("header_type", "UInt32")]
        if (root.get("type") != "ImageData" or root.get("byte_order") != "LittleEndian"
                or root.get("compressor") or tag.get("encoding") != "raw" or piece is None):
            raise ValueError("not little-endian raw image data")
        x0, x1, y0, y1, z0, z1 = (int(v) for v in image.get("WholeExtent").split())
        nx, ny, nz = x1 - x0 + 1, y1 - y0 + 1, z1 - z0 + 1
        if nx < 1 or ny < 1 or nz < 1:
            raise ValueError(f"extent {image.get('WholeExtent')}")
        spacing = float(image.get("Spacing").split()[0])
        field = {a.get("Name"): a.text for a in image.iterfind("FieldData/DataArray")}
        arrays = [(a.get("Name"), np.dtype(VTI_TYPES[a.get("type")]),
                   int(a.get("NumberOfComponents", "1")), int(a.get("offset")))
                  for a in piece.iterfind("PointData/DataArray") if a.get("format") == "appended"]
        step = int(field["step"]) if "step" in field else None
        time = float(field["TimeValue"]) if "TimeValue" in field else None
    except (ElementTree.ParseError, AttributeError, KeyError, TypeError, ValueError) as bad:
        raise RunError(f"{path}: not a .vti snapshot of the solver "
                       f"({str(bad).splitlines()[0] if str(bad) else type(bad).__name__})"
                       ) from None
    base = marker.end()
    lattice = (ny, nx) if nz == 1 else (nz, ny, nx)
    nodes = nx * ny * nz
    values = {}
    for name, dtype, components, offset in arrays:
        start = base + offset + header_bytes
        if offset < 0 or start > len(data):
            raise RunError(f"{path}: cut short (no {name} block)")
        count = int.from_bytes(data[start - header_bytes:start], "little")
        expected = nodes * components * dtype.itemsize
        if count != expected:
            raise RunError(f"{path}: {name} holds {count} bytes, {expected} expected "
                           f"for {' x '.join(map(str, lattice[::-1]))} nodes")
        if start + count > len(data):
            raise RunError(f"{path}: cut short ({name} has {max(0, len(data) - start)} "
                           f"of its {count} bytes)")
        shape = lattice if components == 1 else lattice + (components,)
        values[name] = np.frombuffer(data, dtype, nodes * components, start).reshape(shape)
    if "density" not in values:
        raise RunError(f"{path}: no density in it")
    velocity = values.get("velocity")
    if velocity is not None and (velocity.ndim != len(lattice) + 1 or velocity.shape[-1] < 2
                                 or (nz > 1 and velocity.shape[-1] != 3)):
        raise RunError(f"{path}: the velocity has {velocity.shape[-1]} components, not 3")
    solid = values.get("solid")
    return {"density": values["density"].astype(float),
            "velocity": None if velocity is None else
                        velocity[..., :2 if nz == 1 else 3].astype(float),
            "pressure": values["pressure"].astype(float) if "pressure" in values else None,
            "solid": None if solid is None else solid != 0,
            "step": step, "time": time, "spacing": spacing}


def vti_depth(path):
    """Nodes along z of a .vti snapshot, from the WholeExtent of its header
    (1 where the header does not say)."""
    with open(path, "rb") as f:
        m = WHOLE_EXTENT.search(f.read(4096))
    try:
        z0, z1 = (int(v) for v in m.group(1).split()[4:6])
    except (AttributeError, ValueError):
        return 1
    return max(1, z1 - z0 + 1)


def read_density(path):
    """Density rho[y, x] of a snapshot file, .vtk or .vti."""
    return read_vti(path)["density"] if path.endswith(".vti") else read_vtk(path)


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


def find_snapshots(folder):
    """Tag and [(step, snapshot path, profile path or None)] of the run in a
    folder, by step: its PV*.vtk files, or where it wrote none (-houtput vti)
    its PV*.vti files. A folder holding several runs shows the one written
    last."""
    if not os.path.isdir(folder):
        raise RunError(f"{folder}: no such folder")
    found = {}
    for name in os.listdir(folder):
        m = SNAPSHOT_NAME.match(name)
        if m:
            found.setdefault(m.group(1), {}).setdefault(m.group(3), []).append(
                (int(m.group(2)), name))
    if not found:
        raise RunError(f"{folder}: no snapshot files (PV*.vtk or PV*.vti) here")
    runs = {tag: kinds.get("vtk") or kinds["vti"] for tag, kinds in found.items()}

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


def find_vti(folder, tag):
    """[(step, path)] of the run's PV*.vti files, by step."""
    found = []
    for name in os.listdir(folder):
        m = SNAPSHOT_NAME.match(name)
        if m and m.group(1) == tag and m.group(3) == "vti":
            found.append((int(m.group(2)), os.path.join(folder, name)))
    return sorted(found)


def extremes(rho):
    """Smallest and largest finite value (NaN where there is none)."""
    finite = rho[np.isfinite(rho)]
    return (finite.min(), finite.max()) if finite.size else (np.nan, np.nan)


def add_totals(run, folder, sums, source):
    """The total density against the step: console.txt's lines where the
    folder has one, else the sums of the snapshots given."""
    console = os.path.join(folder, CONSOLE)
    totals = read_console_totals(console) if os.path.isfile(console) else {}
    if totals:
        run["total_steps"] = sorted(totals)
        run["totals"] = [totals[s] for s in run["total_steps"]]
        run["total_source"] = "from console.txt"
    else:
        run["total_steps"] = run["steps"]
        run["totals"] = sums
        run["total_source"] = source


def read_run(folder, shown=12):
    """Everything the pictures show, read from the folder's files: of a
    three-dimensional run, read_run_3d's."""
    tag, snapshots = find_snapshots(folder)
    vti = find_vti(folder, tag)
    if vti and vti_depth(vti[0][1]) > 1:
        return read_run_3d(folder, tag, vti, shown)
    fields = [read_density(path) for _, path, _ in snapshots]
    row = fields[-1].shape[0] // 2
    run = {"tag": tag, "t": run_temperature(folder, tag), "nodes_z": 1,
           "steps": [step for step, _, _ in snapshots], "fields": fields, "row": row,
           "profiles": [read_profile(bp) if bp else rho[row]
                        for (_, _, bp), rho in zip(snapshots, fields)],
           "extremes": [extremes(rho) for rho in fields],
           "whole": [bool(np.isfinite(rho).all()) for rho in fields]}
    add_totals(run, folder, [float(rho.sum()) for rho in fields],
               "summed from the .vti files" if snapshots[-1][1].endswith(".vti")
               else "summed from the VTK files, 5 digits")
    # The velocity, where the run wrote it: the last .vti snapshot.
    run["flow"] = read_vti(vti[-1][1]) if vti else None
    return run


def read_run_3d(folder, tag, vti, shown):
    """A three-dimensional run, one .vti file at a time: the extremes and
    sums of the fluid's density in every snapshot, the density [z, y, x] of
    at most `shown` of them, evenly chosen ("kept": [(step, density)], the
    first and the last among them), and the last one's fields ("flow")."""
    count = len(vti)
    kept = set(np.linspace(0, count - 1, min(count, shown)).round().astype(int).tolist())
    run = {"tag": tag, "t": run_temperature(folder, tag), "steps": [], "extremes": [],
           "whole": [], "kept": []}
    sums = []
    for k, (step, path) in enumerate(vti):
        fields = read_vti(path)
        rho, solid = fields["density"], fields["solid"]
        if k and rho.shape != run["flow"]["density"].shape:
            raise RunError(f"{path}: a lattice of {rho.shape[::-1]} nodes, the snapshots "
                           f"before it {run['flow']['density'].shape[::-1]}")
        fluid = rho if solid is None else rho[~solid]
        run["steps"].append(step)
        run["extremes"].append(extremes(fluid))
        run["whole"].append(bool(np.isfinite(fluid).all()))
        sums.append(float(rho.sum()))
        if k in kept:
            run["kept"].append((step, rho))
        run["flow"] = fields
    run["nodes_z"] = run["flow"]["density"].shape[0]
    add_totals(run, folder, sums, "summed from the .vti files")
    return run
