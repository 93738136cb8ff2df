"""What the tests of the Python package share: the program vdwflow (the
bitwise comparisons run it beside the package) and small parameter files."""
import os
import subprocess

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


@pytest.fixture(scope="session")
def program():
    """The program vdwflow of the cpu build (VDWFLOW_PROGRAM names another)."""
    path = os.environ.get("VDWFLOW_PROGRAM", os.path.join(ROOT, "build", "cpu", "bin", "vdwflow"))
    if not os.access(path, os.X_OK):
        pytest.fail(f"no program vdwflow at {path} (build the cpu preset, or set VDWFLOW_PROGRAM)")
    return path


def parameter_file(folder, keys, name="nw2cuda.input"):
    """A parameter file of `keys` ({"-hnodes_x": 32, ...}) in `folder`."""
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        for key, value in keys.items():
            f.write(f"{key} {value}\n")
    return path


def small(**keys):
    """A small run: 32 x 24 nodes, two cycles of 40 steps, the main job's
    physics, with `keys` on top."""
    base = {"-hnodes_x": 32, "-hnodes_y": 24, "-hniter": 0, "-hniter_cycle": 40,
            "-hncycles": 2, "-hlast_iter": 0, "-hRTzero": 1.0, "-htemperature": 0.9,
            "-hdelta_time": 0.0002, "-hkappa": 0.0001, "-hrho_zero": 1.0, "-htau": 0.001}
    base.update(keys)
    return base


def run_program(program, folder, *args):
    return subprocess.run([program, "-q", *args], cwd=folder, capture_output=True, text=True)


def files_of(folder):
    """Every file of a folder, name to bytes."""
    out = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path):
            with open(path, "rb") as f:
                out[name] = f.read()
    return out
