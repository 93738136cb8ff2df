#!/usr/bin/python3
"""The run scripts on real and hand-made runs.

Usage: run_scripts_test.py PATH_TO_VDWFLOW_A PATH_TO_VDWFLOW
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

import numpy as np

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
PLOT_RUN = os.path.join(SCRIPTS, "plot_run.py")
READ_CHECKPOINT = os.path.join(SCRIPTS, "read_checkpoint.py")
MAKE_MASK = os.path.join(SCRIPTS, "..", "examples", "porous", "make_mask.py")
RUN_PROGRESS = os.path.join(SCRIPTS, "run_progress.py")
PICTURES = ("density.png", "profiles.png", "history.png", "evolution.png")
PICTURES_3D = ("density.png", "history.png", "interface.png", "evolution.png")
HERE = os.path.dirname(os.path.abspath(__file__))
TAG = "_X003_Y002_S0.0078_T0.00010_Ta1.000e-03_R1.000_Z1.00_T0.90_K0.000100"

sys.path.insert(0, SCRIPTS)
import campaign_results  # noqa: E402
import read_checkpoint  # noqa: E402
import run_folder  # noqa: E402

vdwflow = None  # the programs, from the command line
lean = None


def run(command, cwd=None, stdin=None, env=None):
    return subprocess.run(command, cwd=cwd, input=stdin, capture_output=True, timeout=60,
                          env=env)


def png_size(path):
    """Width and height of a PNG file, after checking its signature."""
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", f"{path}: no PNG signature"
    assert head[12:16] == b"IHDR", f"{path}: no IHDR chunk first"
    return struct.unpack(">II", head[16:24])


def vtk_text(dims, points):
    """A snapshot of the 3 x 2 lattice with the value 10 x + y + 1 at node
    (x, y), the nodes listed in the given order."""
    h = 0.0078125
    lines = ["# vtk DataFile Version 3.0", "Output for PARAVIEW", "ASCII ",
             "DATASET STRUCTURED_GRID", "DIMENSIONS %d %d 1" % dims, "POINTS 6 float"]
    lines += ["%.4e %.4e %.4e" % (x * h, y * h, 0.0) for x, y in points]
    lines += ["POINT_DATA 6", "SCALARS rho float 1 ", "LOOKUP_TABLE default"]
    lines += ["%.4e" % (10 * x + y + 1) for x, y in points]
    return "\n".join(lines) + "\n"


X_OUTER = [(x, y) for x in range(3) for y in range(2)]
Y_OUTER = [(x, y) for y in range(2) for x in range(3)]


class PlotRun(unittest.TestCase):
    def test_a_tiny_run_gives_four_pictures_of_the_lattice_as_it_is(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "nw2cuda.input"), "w") as f:
                f.write("-hnodes_x 16 -hnodes_y 12 -hniter_cycle 10 -hncycles 2 "
                        "-hlast_iter 0 -hRTzero 1.0 -htemperature 0.9 -hdelta_time 0.0001 "
                        "-hkappa 0.0001 -hrho_zero 1.0 -htau 0.001\n")
            program = run([vdwflow], cwd=folder)
            self.assertEqual(program.returncode, 0, program.stderr)
            with open(os.path.join(folder, "console.txt"), "wb") as f:
                f.write(program.stdout)

            plots = run([PLOT_RUN, folder])
            self.assertEqual(plots.returncode, 0, plots.stderr)
            self.assertIn(b"step 20: density n from", plots.stdout)
            for name in PICTURES:
                width, height = png_size(os.path.join(folder, "plots", name))
                self.assertGreater(width * height, 0, name)
            self.assertFalse(os.path.exists(os.path.join(folder, "plots", "interface.png")))

            # The middle row of the lattice read from the VTK file is the row
            # the program writes into its profile file.
            _, snapshots = run_folder.find_snapshots(folder)
            self.assertEqual([step for step, _, _ in snapshots], [0, 10, 20])
            _, vtk, profile = snapshots[-1]
            rho = run_folder.read_vtk(vtk)
            self.assertEqual(rho.shape, (12, 16))
            row = run_folder.read_profile(profile)
            mismatch = [abs(rho[y] - row).max() for y in range(12)]
            self.assertLess(mismatch[6], 1e-4)
            self.assertEqual(min(range(12), key=mismatch.__getitem__), 6)

    def test_nodes_land_where_they_belong_whatever_the_file_order(self):
        cases = [((2, 3), X_OUTER), ((3, 2), X_OUTER), ((3, 2), Y_OUTER),
                 ((2, 3), list(reversed(X_OUTER)))]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "PV" + TAG + ".000000000.vtk")
            for dims, points in cases:
                with self.subTest(dims=dims, first=points[:2]):
                    with open(path, "w") as f:
                        f.write(vtk_text(dims, points))
                    rho = run_folder.read_vtk(path)
                    self.assertEqual(rho.tolist(), [[1, 11, 21], [2, 12, 22]])

    def test_unusable_folders_and_files_are_named(self):
        good = vtk_text((2, 3), X_OUTER)
        cases = [("no such folder", None, None),
                 ("no snapshot files", "", None),
                 ("cut short", "PV" + TAG + ".000000000.vtk", good[:len(good) // 2]),
                 ("do not form", "PV" + TAG + ".000000000.vtk",
                  good.replace("0.0000e+00 7.8125e-03 0.0000e+00", "0.0 0.0 0.0", 1))]
        for expected, name, contents in cases:
            with self.subTest(expected), tempfile.TemporaryDirectory() as folder:
                target = os.path.join(folder, "missing")
                if name is not None:
                    target = folder
                    if contents is not None:
                        with open(os.path.join(folder, name), "w") as f:
                            f.write(contents)
                result = run([PLOT_RUN, target])
                self.assertEqual(result.returncode, 1)
                self.assertIn(expected, result.stderr.decode())
                self.assertFalse(os.path.exists(os.path.join(target, "plots")))


def vti_bytes(arrays, nx, ny, step, time, spacing=0.0078125):
    """A .vti snapshot written here, as the solver lays it out (header, then
    raw little-endian blocks behind 64-bit byte counts), of the arrays given
    by name, each [y, x] or [y, x, 3]."""
    head = ['<?xml version="1.0"?>',
            '<VTKFile type="ImageData" version="1.0" byte_order="LittleEndian" '
            'header_type="UInt64">',
            f'<ImageData WholeExtent="0 {nx - 1} 0 {ny - 1} 0 0" Origin="0 0 0" '
            f'Spacing="{spacing!r} {spacing!r} {spacing!r}">',
            '<FieldData><DataArray type="Float64" Name="TimeValue" NumberOfTuples="1" '
            f'format="ascii">{time!r}</DataArray><DataArray type="Int32" Name="step" '
            f'NumberOfTuples="1" format="ascii">{step}</DataArray></FieldData>',
            f'<Piece Extent="0 {nx - 1} 0 {ny - 1} 0 0"><PointData Scalars="density">']
    blocks = b""
    for name, a in arrays.items():
        kind = "UInt8" if a.dtype == np.uint8 else "Float64"
        components = a.shape[2] if a.ndim == 3 else 1
        head.append(f'<DataArray type="{kind}" Name="{name}" NumberOfComponents="{components}" '
                    f'format="appended" offset="{len(blocks)}"/>')
        blocks += struct.pack("<Q", a.nbytes) + np.ascontiguousarray(a).tobytes()
    head += ['</PointData></Piece></ImageData>', '<AppendedData encoding="raw">']
    return ("\n".join(head) + "\n   _").encode() + blocks + b"\n</AppendedData>\n</VTKFile>\n"


def flow_fields(nx, ny, step, walls):
    """A drop turning about the lattice's centre, with or without solid rows
    at the bottom and the top."""
    y, x = np.mgrid[0:ny, 0:nx].astype(float)
    r = np.hypot(x - nx / 2, y - ny / 2)
    rho = 1.0 + 0.6 * np.tanh((ny / 4 - r) / 2) + step * 1e-6
    swirl = 1e-4 * np.exp(-r / 5)
    velocity = np.stack([-(y - ny / 2) * swirl, (x - nx / 2) * swirl, 0 * x], axis=-1)
    arrays = {"density": rho, "velocity": velocity, "pressure": rho / (3 - rho)}
    if walls:
        arrays["solid"] = ((y == 0) | (y == ny - 1)).astype(np.uint8)
    return arrays


def same_bits(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


class PlotVti(unittest.TestCase):
    def test_a_run_that_wrote_vti_files_only_is_read_and_drawn(self):
        nx, ny = 31, 20
        for walls in (True, False):
            with self.subTest(walls=walls), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "nw2cuda.input"), "w") as f:
                    f.write("-htemperature 0.9 -hkappa 0.0001\n")
                for step in (0, 100, 200):
                    with open(os.path.join(folder, f"PV{TAG}.{step:09d}.vti"), "wb") as f:
                        f.write(vti_bytes(flow_fields(nx, ny, step, walls), nx, ny, step,
                                          step * 1e-4))
                result = run([PLOT_RUN, folder])
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"step 200: density n from", result.stdout)
                for name in PICTURES + ("velocity.png",):
                    width, height = png_size(os.path.join(folder, "plots", name))
                    self.assertGreater(width * height, 0, name)

                _, snapshots = run_folder.find_snapshots(folder)
                self.assertEqual([step for step, _, _ in snapshots], [0, 100, 200])
                read = run_folder.read_vti(snapshots[-1][1])
                written = flow_fields(nx, ny, 200, walls)
                self.assertTrue(same_bits(read["density"], written["density"]))
                self.assertTrue(same_bits(read["velocity"],
                                          np.ascontiguousarray(written["velocity"][..., :2])))
                self.assertTrue(same_bits(read["pressure"], written["pressure"]))
                if walls:
                    self.assertTrue(same_bits(read["solid"], written["solid"] == 1))
                else:
                    self.assertIsNone(read["solid"])
                self.assertEqual((read["step"], read["time"], read["spacing"]),
                                 (200, 200 * 1e-4, 0.0078125))

                # The campaign's table reads the same snapshots.
                values = run_folder.read_parameters(os.path.join(folder, "nw2cuda.input"))
                row = campaign_results.point_row(folder, values, 1.0)
                self.assertEqual((row["final_step"], row["phases"]), (200, 2))

    def test_vti_files_cut_short_or_inconsistent_are_named(self):
        nx, ny = 6, 4
        good = vti_bytes(flow_fields(nx, ny, 0, True), nx, ny, 0, 0.0)
        counted = good.index(b"\n   _") + 5  # the density's byte count
        cases = [("no appended data", good[:good.index(b"<AppendedData") + 5]),
                 ("cut short", good[:len(good) // 2]),
                 ("cut short", good[:-40]),
                 ("holds 190 bytes, 192 expected",
                  good[:counted] + struct.pack("<Q", 190) + good[counted + 8:]),
                 ("not a .vti snapshot", good.replace(b"WholeExtent=\"0 5", b"WholeExtent=\"0 x"))]
        for expected, contents in cases:
            with self.subTest(expected), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, f"PV{TAG}.000000000.vti")
                with open(path, "wb") as f:
                    f.write(contents)
                with self.assertRaisesRegex(run_folder.RunError, expected):
                    run_folder.read_vti(path)
                result = run([PLOT_RUN, folder])
                self.assertEqual(result.returncode, 1)
                self.assertIn(expected, result.stderr.decode())
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)

    def test_the_files_of_the_solver_s_writer_read_as_written(self):
        sample = os.path.join(os.path.dirname(lean), "vti_sample")
        if not os.access(sample, os.X_OK):
            self.skipTest(f"no {sample}")
        sys.path.insert(0, HERE)
        from vti_vtk_check import SAMPLE_STEPS, sample_fields
        with tempfile.TemporaryDirectory() as folder:
            program = run([sample, folder, "13", "7"])
            self.assertEqual(program.returncode, 0, program.stderr)
            _, snapshots = run_folder.find_snapshots(folder)
            self.assertEqual([step for step, _, _ in snapshots], list(SAMPLE_STEPS))
            for k, (step, path, _) in enumerate(snapshots):
                read, written = run_folder.read_vti(path), sample_fields(13, 7, k)
                written["velocity"] = np.ascontiguousarray(written["velocity"][..., :2])
                written["solid"] = written["solid"] == 1
                for name, values in written.items():
                    self.assertTrue(same_bits(read[name], values), f"{name} at step {step}")
                self.assertEqual((read["step"], read["time"]), (step, step * 1e-4))


def run_3d(folder, keys):
    """vdwflow on a small three-dimensional lattice in folder; its console
    kept as the demo keeps it."""
    with open(os.path.join(folder, "nw2cuda.input"), "w") as f:
        f.write("-hlast_iter 0 -hRTzero 1.0 -htemperature 0.85 -hdelta_time 0.0004 "
                "-hkappa 0.0001 -hrho_zero 1.0 -htau 0.001 -hinit drop " + keys + "\n")
    program = run([lean], cwd=folder)
    with open(os.path.join(folder, "console.txt"), "wb") as f:
        f.write(program.stdout)
    return program


class PlotThreeD(unittest.TestCase):
    def test_a_run_through_a_mask_from_a_raw_image_gives_its_pictures(self):
        with tempfile.TemporaryDirectory() as folder:
            # A bright bar of voxels along y in a raw 8-bit image, x fastest:
            # the mask and the program's solid nodes must both have it at
            # x 2 to 4, z 10 to 12 (an exchange of x and z would show).
            grey = np.full((16, 16, 16), 50, np.uint8)
            grey[10:13, :, 2:5] = 200
            grey.tofile(os.path.join(folder, "rock.raw"))
            made = run([MAKE_MASK, os.path.join(folder, "rock.raw"), "16", "16", "16",
                        "--threshold", "128"])
            self.assertEqual(made.returncode, 0, made.stderr)
            solid = np.load(os.path.join(folder, "rock.npy"))
            self.assertTrue((solid == (grey >= 128)).all())
            below = run([MAKE_MASK, os.path.join(folder, "rock.raw"), "16", "16", "15",
                         "--threshold", "128", "--below", "-o", os.path.join(folder, "x.npy")])
            self.assertEqual(below.returncode, 1)
            self.assertIn(b"4096 bytes, 16 x 16 x 15 = 3840 expected", below.stderr)

            program = run_3d(folder, "-hnodes_x 16 -hnodes_y 16 -hnodes_z 16 -hniter_cycle 20 "
                             "-hncycles 3 -hinit_radius 5 -hinit_x 10 -hsolid_file rock.npy "
                             "-hwall_wetting 0.0005")
            self.assertEqual(program.returncode, 0, program.stderr)
            _, snapshots = run_folder.find_snapshots(folder)
            last = run_folder.read_vti(snapshots[-1][1])
            self.assertEqual(last["density"].shape, (16, 16, 16))
            self.assertEqual(last["velocity"].shape, (16, 16, 16, 3))
            self.assertTrue((last["solid"] == solid).all())

            plots = run([PLOT_RUN, folder])
            self.assertEqual(plots.returncode, 0, plots.stderr)
            self.assertIn(b"step 60: density n from", plots.stdout)
            self.assertIn(b"(4 snapshots, 16 x 16 x 16 nodes)", plots.stdout)
            for name in PICTURES_3D:
                width, height = png_size(os.path.join(folder, "plots", name))
                self.assertGreater(width * height, 0, name)
            self.assertFalse(os.path.exists(os.path.join(folder, "plots", "profiles.png")))

            # Without scikit-image the pictures that need none are drawn, and
            # the message names the package.
            fake = os.path.join(folder, "no_skimage")
            os.makedirs(os.path.join(fake, "skimage"))
            with open(os.path.join(fake, "skimage", "__init__.py"), "w") as f:
                f.write("raise ImportError('no scikit-image here')\n")
            for name in PICTURES_3D:
                os.remove(os.path.join(folder, "plots", name))
            lacking = run([PLOT_RUN, folder], env=dict(os.environ, PYTHONPATH=fake))
            self.assertEqual(lacking.returncode, 1)
            self.assertIn(b"apt-get install python3-skimage", lacking.stderr)
            self.assertEqual(sorted(os.listdir(os.path.join(folder, "plots"))),
                             ["density.png", "history.png"])

    def test_a_half_sphere_on_a_neutral_wall_reads_as_ninety_degrees(self):
        with tempfile.TemporaryDirectory() as folder:
            program = run_3d(folder, "-hnodes_x 24 -hnodes_y 12 -hnodes_z 24 -hniter_cycle 1 "
                             "-hncycles 1 -hinit_radius 8 -hinit_y -0.5 -hwalls y")
            self.assertEqual(program.returncode, 0, program.stderr)
            plots = run([PLOT_RUN, folder])
            self.assertEqual(plots.returncode, 0, plots.stderr)
            angle = re.search(rb"contact angle ([\d.]+) degrees", plots.stdout)
            self.assertIsNotNone(angle, plots.stdout)
            self.assertAlmostEqual(float(angle.group(1)), 90, delta=4)
            self.assertIn(b"Young's law gives 90.0", plots.stdout)


def console(first_label, cycles, steps):
    """A solver's console as a pipe brings it: the timing lines of each cycle,
    a snapshot line after it, one timing line cut by an error line."""
    text = b"\nGPU Device 0: \"CPU\" with compute capability 0.0\n\n"
    for cycle in range(cycles + 1):
        text += b"iter=%010d  ntot=1.63840000000000000000e+04\n" % (first_label + cycle * steps)
        if cycle < cycles:
            text += b"\nTotal Time = 0.012000 ms\n" * steps
    return text.replace(b"Total Time", b"Total Ti" + b"vdwflow: a line on stderr\n" + b"me", 1)


class RunProgress(unittest.TestCase):
    def test_the_console_is_kept_whole_and_the_steps_counted(self):
        # (first label, cycles in the console, cycles in the parameter file, last line)
        cases = [(0, 2, 2, b"6 of 6 steps in"), (100, 2, 2, b"6 of 6 steps in"),
                 (0, 2, 4, b"6 of 12 steps in")]
        for first, cycles, planned, expected in cases:
            with self.subTest(first=first, planned=planned), \
                    tempfile.TemporaryDirectory() as folder:
                parameters = os.path.join(folder, "nw2cuda.input")
                with open(parameters, "w") as f:
                    f.write(f"-hnodes_x 4 -hnodes_y 2 -hniter_cycle 3 -hncycles {planned} "
                            f"-hlast_iter {first} -hncycles 99\n")
                kept = os.path.join(folder, "console.txt")
                text = console(first, cycles, 3)
                result = run([RUN_PROGRESS, kept, parameters], stdin=text)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.splitlines()[-1].startswith(expected),
                                result.stdout)
                with open(kept, "rb") as f:
                    self.assertEqual(f.read(), text)


class ReadCheckpoint(unittest.TestCase):
    def test_the_state_of_a_run_and_every_damage_to_it(self):
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "nw2cuda.input"), "w") as f:
                f.write("-hnodes_x 12 -hnodes_y 6 -hniter_cycle 5 -hncycles 2 "
                        "-hlast_iter 0 -hRTzero 1.0 -htemperature 0.9 -hdelta_time 0.0001 "
                        "-hkappa 0.0001 -hrho_zero 1.0 -htau 0.001\n")
            program = run([lean, "-q"], cwd=folder)
            self.assertEqual(program.returncode, 0, program.stderr)
            path = os.path.join(folder, "vdwflow.checkpoint")
            state = read_checkpoint.load(path)
            self.assertEqual((state["step"], state["nodes_x"], state["nodes_y"]), (10, 12, 6))
            self.assertEqual(state["f"].shape, (9, 6, 12))
            self.assertEqual(state["temperature"], 0.9)
            # The density is the last snapshot's, as the VTK file has it
            # (five digits), and the total its console line prints.
            _, snapshots = run_folder.find_snapshots(folder)
            shown = run_folder.read_vtk(snapshots[-1][1])
            self.assertLess(abs(state["density"] / shown - 1).max(), 1e-4)
            total = float(program.stdout.split(b"ntot=")[-1])
            self.assertAlmostEqual(state["density"].sum() / total, 1.0, places=12)
            self.assertIn(b"step 10, 12 x 6 nodes", run([READ_CHECKPOINT, path]).stdout)

            with open(path, "rb") as f:
                good = f.read()
            for damaged, expected in ((good[:-1], "bytes"), (b"X" + good[1:], "magic"),
                                      (good[:500] + b"\x7f" + good[501:], "checksum")):
                with self.subTest(expected):
                    with open(path, "wb") as f:
                        f.write(damaged)
                    with self.assertRaisesRegex(read_checkpoint.CheckpointError, expected):
                        read_checkpoint.load(path)
                    result = run([READ_CHECKPOINT, path])
                    self.assertEqual(result.returncode, 1)
                    self.assertIn(expected, result.stderr.decode())


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    vdwflow = os.path.abspath(sys.argv.pop(1))
    lean = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
