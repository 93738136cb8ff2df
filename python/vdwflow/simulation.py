"""The Simulation class: a run of vdwflow in this process."""
import operator
import os
import re

import numpy as np

from . import _core
from . import checkpoint as _checkpoint
from .keys import KEYS as _KNOWN, PATH_KEYS as _PATH_KEYS

# The parameters of the main job (examples/nw2cuda.input): what a key left
# out of a dict of parameters is.
DEFAULTS = {
    "nodes_x": 128, "nodes_y": 128, "niter": 0, "niter_cycle": 2500, "ncycles": 24,
    "last_iter": 0, "RTzero": 1.0, "temperature": 0.9, "delta_time": 1e-4, "kappa": 1e-4,
    "rho_zero": 1.0, "tau": 1e-3,
}


def _key(name):
    """'nodes_x', 'hnodes_x' and '-hnodes_x' all name the key -hnodes_x."""
    name = str(name)
    if name.startswith("-"):
        return name
    if "-h" + name in _KNOWN or not name.startswith("h"):
        return "-h" + name
    return "-" + name



def _text(value):
    """A value as the parameter file has it: numbers so that the program's
    strtod gives back the same double."""
    if isinstance(value, bool):
        raise ValueError(f"{value!r}: vdwflow's keys take numbers and words, not booleans")
    if isinstance(value, (int, np.integer)):
        return str(int(value))
    if isinstance(value, (float, np.floating)):
        return repr(float(value))
    if isinstance(value, os.PathLike):
        return os.fspath(value)
    text = str(value)
    if not text or re.search(r"\s", text):
        raise ValueError(f"{value!r}: a value of the parameter file is one word")
    return text


def _tokens(text):
    return text.split()


def _file_text(tokens):
    """Tokens as a parameter file: a key and its value a line."""
    return "\n".join(" ".join(tokens[i:i + 2]) for i in range(0, len(tokens), 2)) + "\n"


def _absolute_paths(tokens, base):
    """The values of the path keys, relative to `base`, made absolute."""
    out = list(tokens)
    for i in range(0, len(out) - 1, 2):
        if out[i] in _PATH_KEYS and not os.path.isabs(out[i + 1]):
            out[i + 1] = os.path.abspath(os.path.join(base, out[i + 1]))
    return out


def _parameter_text(parameters, keys):
    """The parameter file's text and its name in messages, from a file's
    path, a dict of keys, or nothing (the main job's values), with `keys` on
    top."""
    if parameters is None or isinstance(parameters, dict):
        merged = {_key(k): v for k, v in DEFAULTS.items()}
        merged.update({_key(k): v for k, v in (parameters or {}).items()})
        merged.update({_key(k): v for k, v in keys.items()})
        tokens = []
        for k, v in merged.items():
            tokens += [k, _text(v)]
        return _file_text(tokens), \
            "parameters", os.getcwd()
    path = os.fspath(parameters)
    with open(path, "rb") as f:
        text = f.read().decode("latin-1")
    base = os.path.dirname(os.path.abspath(path))
    if keys:
        tokens = _tokens(text)
        given = {tokens[i]: i for i in range(0, len(tokens) - 1, 2)}
        for k, v in keys.items():
            k = _key(k)
            if k in given:
                tokens[given[k] + 1] = _text(v)
            else:
                tokens += [k, _text(v)]
        text = _file_text(tokens)
    return text, path, base


def _with_absolute_paths(text, base):
    tokens = _tokens(text)
    if not any(t in _PATH_KEYS for t in tokens):
        return text
    tokens = _absolute_paths(tokens, base)
    return _file_text(tokens)


def _read_keys(text):
    """The keys of a parameter text as a dict (the first occurrence counts,
    as in the program)."""
    tokens = _tokens(text)
    keys = {}
    for i in range(0, len(tokens) - 1, 2):
        keys.setdefault(tokens[i], tokens[i + 1])
    return keys


def _whole_number(name, value):
    """A count of steps: an integer (numpy's too), never a float or a bool."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}={value!r}: a number of steps, not a boolean")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name}={value!r}: a whole number of steps") from None


def _folder_prefix(folder):
    if folder is None or os.fspath(folder) in ("", "."):
        return ""
    folder = os.fspath(folder)
    os.makedirs(folder, exist_ok=True)
    return folder.rstrip("/") + "/"


class Simulation:
    """A run of vdwflow, the lean van der Waals lattice Boltzmann solver, in
    this process: the program's state, kernels, start-up, snapshots and
    checkpoint, driven step by step from Python.

    Simulation(parameters=None, *, density=None, velocity=None, solid=None, folder=".", **keys)

    parameters
        A parameter file's path (as `vdwflow PARAMETER_FILE` reads it), or a
        dict of its keys, or None. Keys may be written as in the file
        ("-hnodes_x"), or without the dash and the h ("nodes_x"); a key left
        out of a dict takes the main job's value (examples/nw2cuda.input,
        `vdwflow.DEFAULTS`). Every key of the README's tables is read, with
        the program's checks and messages. Relative paths of -hinit_file and
        -hsolid_file are taken from the parameter file's folder (a dict's
        from the working directory).
    keys
        More keys, on top of `parameters`: Simulation("run.input", nodes_x=256).
    density
        An initial density, shape (nodes_y, nodes_x) (a three-dimensional
        lattice: (nodes_z, nodes_y, nodes_x)), instead of the setup's
        (-hinit ... keys): checked as -hinit_file is.
    velocity
        An initial velocity, shape (nodes_y, nodes_x, 2) (x and y components;
        (nodes_z, nodes_y, nodes_x, 3) on a three-dimensional lattice,
        solver units), for the initial density of the setup or of `density`;
        the distributions start at the equilibrium of both.
    solid
        Solid nodes, of the density's shape, any non-zero value solid,
        instead of -hsolid_file (obstacles, a porous medium); walls and
        wetting as with the file.
    folder
        Where write_snapshot() writes the program's files (default: the
        working directory); made if missing.

    Errors raise with the program's messages: ValueError for a bad key or
    array, OSError for a file, RuntimeError for a run that became unstable.

    Any number of Simulations may be open, each with a state of its own (on
    the device, or in the cpu backend's memory); two of them may step at the
    same time from two threads, and each goes on as it would alone. A call
    on a Simulation that another thread is using waits for that call. close()
    (or a with block) frees a simulation's memory.
    """

    def __init__(self, parameters=None, *, density=None, velocity=None, solid=None, folder=".",
                 **keys):
        text, name, base = _parameter_text(parameters, keys)
        self._init(text, name, base, folder, density, velocity, solid, None)

    def _init(self, text, name, base, folder, density, velocity, solid, checkpoint):
        text = _with_absolute_paths(text, base)
        self._keys = _read_keys(text)
        if density is not None:
            given = sorted(k for k in self._keys if k.startswith("-hinit") and k != "-hinit_pool")
            if given:
                raise ValueError(f"density= sets the initial state: leave out {', '.join(given)}")
            density = np.ascontiguousarray(density, dtype=np.float64)
        if solid is not None:
            solid = np.asarray(solid)
            if solid.dtype.kind == "f" and not np.all(np.isfinite(solid)):
                raise ValueError("solid: not every value is a finite number")
            solid = np.ascontiguousarray(solid != 0, dtype=np.uint8)
        vx = vy = vz = None
        if velocity is not None:
            if checkpoint is not None:
                raise ValueError("velocity= with a checkpoint: the checkpoint holds the state")
            velocity = np.asarray(velocity, dtype=np.float64)
            lattice = self._lattice_shape()
            shape = lattice + (len(lattice),)
            names = "(nodes_z, nodes_y, nodes_x, 3)" if len(lattice) == 3 else \
                "(nodes_y, nodes_x, 2)"
            if velocity.ndim != len(shape) or velocity.shape[-1] != len(lattice):
                raise ValueError(f"velocity: shape {velocity.shape}, not {names}")
            if velocity.shape != shape:
                raise ValueError(f"velocity: shape {velocity.shape} does not match the lattice "
                                 f"{names} = {shape}")
            if not np.all(np.isfinite(velocity)):
                raise ValueError("velocity: not every value is a finite number")
            vx = np.ascontiguousarray(velocity[..., 0])
            vy = np.ascontiguousarray(velocity[..., 1])
            if len(lattice) == 3:
                vz = np.ascontiguousarray(velocity[..., 2])
        self._folder = _folder_prefix(folder)
        self._core = _core.Core(text, name, self._folder, density, vx, vy, vz, solid,
                                checkpoint or "")
        self._text = text

    def _lattice_shape(self):
        """(nodes_y, nodes_x), or (nodes_z, nodes_y, nodes_x) for a
        three-dimensional lattice, as the keys give it."""
        def count(key, fallback):
            text = self._keys.get(key, fallback)
            try:
                return int(float(text))
            except ValueError:
                return 0
        nz = count("-hnodes_z", "1")
        shape = (count("-hnodes_y", "0"), count("-hnodes_x", "0"))
        return (nz,) + shape if nz > 1 else shape

    @classmethod
    def from_checkpoint(cls, path, parameters=None, *, solid=None, folder=".", **keys):
        """The run a checkpoint file holds (the program's vdwflow.checkpoint,
        or one written by save_checkpoint), going on bit for bit as the
        program's `vdwflow --resume` would. Its parameters are the
        checkpoint's own (lattice, physics, walls, gravity, scheme, output)
        unless given; a run with solid nodes of -hsolid_file (or solid=) needs
        them given (the checkpoint holds only their checksum). They are checked against
        the checkpoint as a resumed run checks its parameter file."""
        path = os.fspath(path)
        if parameters is None:
            parameters = _parameters_of_checkpoint(path)
        text, name, base = _parameter_text(parameters, keys)
        sim = cls.__new__(cls)
        sim._init(text, name, base, folder, None, None, solid, os.path.abspath(path))
        return sim

    # -- stepping -----------------------------------------------------------

    def step(self, count=1):
        """Advances `count` time steps (without the GIL). Ctrl-C ends it
        between two steps with KeyboardInterrupt; step_count then counts the
        steps done, and the state is whole. Raises RuntimeError if the total
        density is no longer finite afterwards, as a snapshot would; TypeError
        for a count that is not a whole number (2.5 steps)."""
        self._core.step(_whole_number("count", count))

    def run(self, until, every=None, callback=None, write_snapshots=False):
        """Steps on to step `until`, in cycles of `every` steps (default: one
        cycle); after each cycle, writes the program's snapshot files if
        `write_snapshots`, then calls callback(self) if given: a callback that
        returns True ends the run there (stop when the drop touches the wall,
        change gravity in a new simulation, ...). Ctrl-C ends it between two
        steps (KeyboardInterrupt) with the state whole. Returns self."""
        until = _whole_number("until", until)
        if until < self.step_count:
            raise ValueError(f"until={until} is before the current step {self.step_count}")
        every = until - self.step_count if every is None else _whole_number("every", every)
        if every <= 0 and until > self.step_count:
            raise ValueError(f"every={every}: a cycle has at least one step")
        while self.step_count < until:
            self.step(min(every, until - self.step_count))
            if write_snapshots:
                self.write_snapshot()
            if callback is not None and callback(self) is True:
                break
        return self

    # -- fields -------------------------------------------------------------

    @property
    def density(self):
        """The density, shape (nodes_y, nodes_x) (three dimensions: (nodes_z,
        nodes_y, nodes_x)), as the program's snapshot
        at this step shows it (summed from the distributions the last step
        started from; solid nodes 0). A new array each time: a copy, which
        later steps do not change."""
        return self._core.density()

    @property
    def velocity(self):
        """The velocity, shape (nodes_y, nodes_x, 2) (x, y; three dimensions:
        (nodes_z, nodes_y, nodes_x, 3)), as a .vti
        snapshot shows it (momentum over the density of the level the last
        step started from; solid nodes 0). A new array (a copy). Before the
        first step of a run from a checkpoint, which holds one level: the
        momentum of its distributions over its density."""
        return self._core.velocity()

    @property
    def pressure(self):
        """The van der Waals pressure p(n) of `density`, shape (nodes_y,
        nodes_x), as a .vti snapshot shows it. A new array (a copy)."""
        return self._core.pressure()

    @property
    def total_density(self):
        """The sum of `density`, as the program's console line sums it."""
        return self._core.total_density()

    @property
    def step_count(self):
        """The step the run is at (the program's snapshot label: it starts
        at -hlast_iter)."""
        return self._core.step_count

    @property
    def time(self):
        """step_count times -hdelta_time."""
        return self.step_count * float(self._keys.get("-hdelta_time", "0") or 0)

    @property
    def nodes_x(self):
        return int(float(self._keys["-hnodes_x"]))

    @property
    def nodes_y(self):
        return int(float(self._keys["-hnodes_y"]))

    @property
    def nodes_z(self):
        """1 for a two-dimensional lattice."""
        return int(float(self._keys.get("-hnodes_z", "1")))

    @property
    def parameters(self):
        """The keys as the run read them: {'-hnodes_x': '128', ...} (texts)."""
        return dict(self._keys)

    @property
    def parameter_text(self):
        """The parameter file this run reads: save it as nw2cuda.input, and
        the program makes the same run."""
        return self._text

    @property
    def tag(self):
        """The run tag in the names of the snapshot files."""
        return self._core.tag

    @property
    def folder(self):
        return self._folder or "."

    # -- files --------------------------------------------------------------

    def write_snapshot(self):
        """Writes the program's snapshot of this step into `folder`: BP, BV
        and PV files (or .vti and the .pvd collection, -houtput), byte for
        byte what vdwflow writes at this step. Raises RuntimeError if the run
        has become unstable, OSError if a file cannot be written."""
        self._core.write_snapshot()

    def save_checkpoint(self, path):
        """Writes the program's checkpoint of this step to `path` (atomically:
        `path`.tmp, then renamed). `vdwflow --resume` continues from it as
        from its own, with the same parameter file (parameter_text)."""
        self._core.save_checkpoint(os.fspath(path))

    # -- lifetime -----------------------------------------------------------

    def close(self):
        """Frees the simulation's memory; it cannot be used after."""
        self._core.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        if not self._core.is_open:
            return "<vdwflow.Simulation (closed)>"
        size = f"{self.nodes_x} x {self.nodes_y}" + (f" x {self.nodes_z}" if self.nodes_z > 1 else "")
        return (f"<vdwflow.Simulation {size}, step {self.step_count}, "
                f"T/Tc {self._keys.get('-htemperature')}>")


def _parameters_of_checkpoint(path):
    """The keys a checkpoint's header holds, as a dict."""
    try:
        h = _checkpoint.load(path)
    except _checkpoint.CheckpointError as e:
        raise ValueError(str(e)) from None
    keys = {"nodes_x": h["nodes_x"], "nodes_y": h["nodes_y"], "RTzero": h["RTzero"],
            "temperature": h["temperature"], "delta_time": h["delta_time"],
            "kappa": h["kappa"], "rho_zero": h["rho_zero"], "tau": h["tau"],
            "niter": 0, "niter_cycle": h["niter_cycle"], "ncycles": h["ncycles"],
            "last_iter": h["last_iter"]}
    if h.get("nodes_z", 1) > 1:
        keys["nodes_z"] = h["nodes_z"]
    if h["version"] >= 2:
        if h["solid_crc"]:
            raise ValueError(f"{path}: the run has solid nodes (-hsolid_file), which the "
                             "checkpoint holds only as a checksum: give its parameters")
        if h["walls"] != "none":
            keys["walls"] = h["walls"]
            if h["wall_wetting"] != 0:
                keys["wall_wetting"] = h["wall_wetting"]
        for axis in ("x", "y", "z"):
            if h.get(f"gravity_{axis}", 0) != 0:
                keys[f"gravity_{axis}"] = h[f"gravity_{axis}"]
        if any(h.get(f"gravity_{axis}", 0) != 0 for axis in ("x", "y", "z")):
            if h["gravity_reference_mean"]:
                keys["gravity_reference"] = "mean"
            elif h["gravity_reference"] != 0:
                keys["gravity_reference"] = h["gravity_reference"]
        if h["output"] != "classic":
            keys["output"] = h["output"]
        if h["scheme"] != "upwind":
            keys["scheme"] = h["scheme"]
    return keys
