"""A Simulation makes the program's run: the same snapshot files and
checkpoint, byte for byte, on every setup and both schemes; a checkpoint
written by one resumes in the other."""
import os
import re

import numpy as np
import pytest

import vdwflow
from conftest import files_of, parameter_file, run_program, small

# A mask with a block of solid nodes, and an initial density, as files.
MASK = np.zeros((24, 32), dtype=bool)
MASK[8:14, 10:16] = True

SETUPS = {
    "noise (the main job's start)": {},
    "drop on a wetting wall, gravity, both outputs": {
        "-hinit": "drop", "-hinit_radius": 8, "-hinit_y": -0.5, "-hwalls": "y",
        "-hwall_wetting": 4e-4, "-hgravity_y": -0.01, "-houtput": "both"},
    "obstacle, gravity against the mean density, vti": {
        "-hsolid_file": "mask.npy", "-hgravity_x": 0.02, "-hgravity_reference": "mean",
        "-houtput": "vti"},
    "slab between walls, Lax-Wendroff": {
        "-hinit": "slab", "-hinit_radius": 8, "-hwalls": "x", "-hscheme": "lax_wendroff",
        "-htemperature": 0.8},
    "bubble in a pool, Lax-Wendroff, gravity": {
        "-hinit": "bubble", "-hinit_radius": 5, "-hinit_pool": 14, "-hwalls": "xy",
        "-hgravity_y": -0.005, "-hscheme": "lax_wendroff"},
    "density from a file": {"-hinit": "file", "-hinit_file": "start.npy"},
}


def prepare(folder):
    np.save(os.path.join(folder, "mask.npy"), MASK)
    y, x = np.mgrid[0:24, 0:32]
    np.save(os.path.join(folder, "start.npy"), 1.0 + 0.6 * np.tanh(6 - np.hypot(x - 16, y - 12)))


@pytest.mark.parametrize("setup", list(SETUPS))
def test_the_program_s_files(program, tmp_path, setup):
    by_program, by_python = tmp_path / "program", tmp_path / "python"
    by_program.mkdir()
    prepare(by_program)
    path = parameter_file(by_program, small(**SETUPS[setup]))
    result = run_program(program, by_program)
    assert result.returncode == 0, result.stderr

    with vdwflow.Simulation(path, folder=by_python) as sim:
        sim.write_snapshot()
        sim.run(until=80, every=40, write_snapshots=True)
        sim.save_checkpoint(by_python / "vdwflow.checkpoint")
    expected = {k: v for k, v in files_of(by_program).items() if k not in ("mask.npy", "start.npy", "nw2cuda.input")}
    got = files_of(by_python)
    assert sorted(got) == sorted(expected)
    for name in expected:
        assert got[name] == expected[name], name


def test_checkpoints_resume_across(program, tmp_path):
    keys = small(**{"-hinit": "drop", "-hinit_radius": 7, "-hwalls": "y",
                    "-hgravity_y": -0.01, "-hscheme": "lax_wendroff"})
    whole = tmp_path / "whole"
    whole.mkdir()
    parameter_file(whole, keys)
    assert run_program(program, whole).returncode == 0
    reference = files_of(whole)

    # Python to step 40, then the program resumes.
    resumed = tmp_path / "resumed"
    resumed.mkdir()
    path = parameter_file(resumed, keys)
    with vdwflow.Simulation(path, folder=resumed) as sim:
        sim.write_snapshot()
        sim.run(until=40, write_snapshots=True)
        sim.save_checkpoint(resumed / "vdwflow.checkpoint")
    result = run_program(program, resumed, "--resume")
    assert result.returncode == 0, result.stderr
    assert files_of(resumed) == reference

    # The program stops at step 40; Python goes on from its checkpoint, with
    # the parameters the checkpoint holds.
    half = tmp_path / "half"
    half.mkdir()
    parameter_file(half, dict(keys, **{"-hncycles": 1}))
    assert run_program(program, half).returncode == 0
    with vdwflow.Simulation.from_checkpoint(half / "vdwflow.checkpoint", folder=half) as sim:
        assert sim.step_count == 40
        sim.run(until=80, write_snapshots=True)
    got = files_of(half)
    for name, data in reference.items():
        if name not in ("nw2cuda.input", "vdwflow.checkpoint"):
            assert got[name] == data, name


def test_two_simulations_take_turns_exactly(tmp_path):
    a_keys = {"nodes_x": 32, "nodes_y": 32, "init": "drop", "init_radius": 8, "walls": "xy",
              "scheme": "lax_wendroff"}
    b_keys = {"nodes_x": 24, "nodes_y": 16}
    alone = vdwflow.Simulation(a_keys)
    alone.step(60)
    expected_a = alone.density
    alone.close()
    alone = vdwflow.Simulation(b_keys)
    alone.step(60)
    expected_b = alone.density, alone.velocity
    alone.close()

    a, b = vdwflow.Simulation(a_keys), vdwflow.Simulation(b_keys)
    for _ in range(3):
        a.step(20)
        b.step(20)
    np.testing.assert_array_equal(a.density, expected_a)
    np.testing.assert_array_equal(b.density, expected_b[0])
    np.testing.assert_array_equal(b.velocity, expected_b[1])


def vti_arrays(path):
    """The appended raw arrays of a .vti that vdwflow wrote, by name."""
    data = open(path, "rb").read()
    start = data.index(b"<AppendedData encoding=\"raw\">")
    start = data.index(b"_", start) + 1
    out = {}
    for m in re.finditer(rb'type="(\w+)" Name="(\w+)"[^>]*?format="appended" offset="(\d+)"',
                         data[:start]):
        kind, name, offset = m.group(1), m.group(2).decode(), int(m.group(3))
        size = int(np.frombuffer(data, np.uint64, 1, start + offset)[0])
        dtype = np.float64 if kind == b"Float64" else np.uint8
        out[name] = np.frombuffer(data, dtype, size // np.dtype(dtype).itemsize, start + offset + 8)
    return out


def test_fields_are_the_snapshot_s(tmp_path):
    np.save(tmp_path / "mask.npy", MASK)
    keys = {"nodes_x": 32, "nodes_y": 24, "init": "drop", "init_radius": 6, "init_x": 24,
            "solid_file": str(tmp_path / "mask.npy"), "walls": "y", "output": "vti"}
    with vdwflow.Simulation(keys, folder=tmp_path) as sim:
        for until in (0, 30):
            sim.run(until=until)
            sim.write_snapshot()
            snapshot = vti_arrays(next(tmp_path.glob(f"PV*.{until:09d}.vti")))
            np.testing.assert_array_equal(sim.density.ravel(), snapshot["density"])
            np.testing.assert_array_equal(sim.pressure.ravel(), snapshot["pressure"])
            velocity = snapshot["velocity"].reshape(-1, 3)
            np.testing.assert_array_equal(sim.velocity.reshape(-1, 2), velocity[:, :2])
