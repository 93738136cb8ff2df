#!/usr/bin/python3
"""vdwflow_mpi on 1 to 8 processes against vdwflow in one: the same bytes,
checkpoints that move between process counts, and the faults of a job.

Usage: mpi_test.py PATH_TO_VDWFLOW PATH_TO_VDWFLOW_MPI
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np

single = None  # the programs, from the command line
parallel = None

BASE_2D = ("-hnodes_x 48 -hnodes_y 40 -hniter 0 -hniter_cycle 40 -hncycles 2 -hlast_iter 0 "
           "-hRTzero 1.0 -htemperature 0.9 -hdelta_time 0.0001 -hkappa 0.0001 -hrho_zero 1.0 "
           "-htau 0.001")
BASE_3D = BASE_2D.replace("-hnodes_x 48 -hnodes_y 40", "-hnodes_x 20 -hnodes_y 18 -hnodes_z 16")


def mpirun(processes):
    """The launcher: Open MPI's wants leave to run as root and more processes than cores."""
    version = subprocess.run(["mpirun", "--version"], capture_output=True, text=True).stdout
    extra = ["--allow-run-as-root", "--oversubscribe"] if "Open MPI" in version else []
    return ["mpirun", *extra, "-n", str(processes)]


def write_parameters(folder, keys):
    with open(os.path.join(folder, "nw2cuda.input"), "w") as f:
        tokens = keys.split()
        for key, value in zip(tokens[0::2], tokens[1::2]):
            f.write(f"{key} {value}\n")


def run_in(folder, processes, *options, timeout=240):
    """vdwflow in `folder` (processes 0: the program without MPI)."""
    command = [single] if processes == 0 else mpirun(processes) + [parallel]
    return subprocess.run(command + ["-q", *options], cwd=folder, capture_output=True,
                          text=True, timeout=timeout, stdin=subprocess.DEVNULL)


def files_of(folder):
    """Every file a run writes, by name (its parameter file left out)."""
    files = {}
    for name in sorted(os.listdir(folder)):
        if name != "nw2cuda.input":
            with open(os.path.join(folder, name), "rb") as f:
                files[name] = f.read()
    return files


class Job(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="vdwflow_mpi_")
        z, y, x = np.mgrid[0:16, 0:18, 0:20]
        np.save(os.path.join(self.root, "sphere.npy"), (x - 10) ** 2 + (y - 9) ** 2 + (z - 8) ** 2 < 9)
        y, x = np.mgrid[0:40, 0:48]
        np.save(os.path.join(self.root, "disc.npy"), (x - 24) ** 2 + (y - 20) ** 2 < 36)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def folder(self, name, keys):
        path = os.path.join(self.root, name)
        os.makedirs(path)
        write_parameters(path, keys.replace("MASKS", self.root))
        return path

    def assertSameRun(self, expected, folder, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        got = files_of(folder)
        self.assertEqual(sorted(got), sorted(expected))
        for name in expected:
            self.assertTrue(got[name] == expected[name], f"{name} differs")
        return got


class SameBytes(Job):
    # (setup, keys, process counts, keys of the split runs only: a grid)
    CASES = [
        ("noise", BASE_2D, (1, 2, 3, 4), ""),
        ("wetting drop, gravity", BASE_2D + " -hwalls y -hwall_wetting 8e-4 -hinit drop "
         "-hinit_radius 8 -hinit_y -0.5 -hgravity_y -0.05 -houtput both", (2, 3), ""),
        ("mask, gravity mean", BASE_2D + " -hsolid_file MASKS/disc.npy -hwall_wetting -5e-4 "
         "-hgravity_x 0.02 -hgravity_reference mean", (2, 4), ""),
        ("mask, Lax-Wendroff, walls", BASE_2D + " -hsolid_file MASKS/disc.npy -hwall_wetting 5e-4 "
         "-hscheme lax_wendroff -hwalls x -houtput both", (3, 4), ""),
        ("split across x, walls", BASE_2D + " -hwalls xy -hscheme lax_wendroff -hinit slab "
         "-hinit_radius 10 -houtput vti", (4,), "-hprocesses_x 2 -hprocesses_y 2"),
        ("3-D noise", BASE_3D, (2, 4), ""),
        ("3-D drop on a wall", BASE_3D + " -hinit drop -hinit_radius 5 -hwalls y -hinit_y -0.5 "
         "-hwall_wetting 8e-4 -hscheme lax_wendroff -hgravity_y -0.05 -hgravity_reference mean "
         "-houtput both", (3,), ""),
        ("3-D mask in a box", BASE_3D + " -hsolid_file MASKS/sphere.npy -hwall_wetting 5e-4 "
         "-hwalls xyz -hscheme lax_wendroff -hgravity_z 0.02", (8,),
         "-hprocesses_x 2 -hprocesses_y 2 -hprocesses_z 2"),
    ]

    def test_every_process_count_writes_the_files_of_one_process(self):
        for setup, keys, counts, grid in self.CASES:
            with self.subTest(setup=setup):
                one = self.folder(f"{setup} one", keys)
                result = run_in(one, 0)
                self.assertEqual(result.returncode, 0, result.stderr)
                expected = files_of(one)
                self.assertIn("vdwflow.checkpoint", expected)
                for n in counts:
                    with self.subTest(processes=n):
                        many = self.folder(f"{setup} {n}", keys + (" " + grid if grid else ""))
                        self.assertSameRun(expected, many, run_in(many, n))


class Checkpoint(Job):
    def test_a_checkpoint_of_four_processes_resumes_on_one_and_on_three(self):
        keys = BASE_2D + " -hsolid_file MASKS/disc.npy -hwall_wetting 5e-4 -hscheme lax_wendroff"
        for base, name in ((keys, "2-D"), (BASE_3D + " -hinit bubble -hinit_radius 5 -hwalls z", "3-D")):
            with self.subTest(lattice=name):
                whole = self.folder(f"whole {name}", base)
                self.assertEqual(run_in(whole, 0).returncode, 0)
                expected = files_of(whole)
                for n in (0, 3):
                    folder = self.folder(f"resumed {name} {n}", base.replace("-hncycles 2", "-hncycles 1"))
                    self.assertEqual(run_in(folder, 4).returncode, 0)
                    write_parameters(folder, base.replace("MASKS", self.root))
                    self.assertSameRun(expected, folder, run_in(folder, n, "--resume"))


class Faults(Job):
    # (a small lattice, long enough a cycle that the job is stepping when signalled)
    LONG = BASE_2D.replace("-hnodes_x 48 -hnodes_y 40", "-hnodes_x 24 -hnodes_y 20").replace(
        "-hniter_cycle 40", "-hniter_cycle 60000")

    def start_stepping(self, folder):
        """A job of three processes in `folder`, stepping (its first
        checkpoint written), and the process ids of its processes."""
        job = subprocess.Popen(mpirun(3) + [parallel, "-q"], cwd=folder, text=True,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               stdin=subprocess.DEVNULL)
        deadline = time.time() + 60
        while "vdwflow.checkpoint" not in os.listdir(folder) and time.time() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)
        ranks = subprocess.run(["pgrep", "-P", str(job.pid)], capture_output=True, text=True).stdout.split()
        self.assertEqual(len(ranks), 3)
        return job, ranks

    def test_a_signal_stops_every_process_after_the_same_step_with_one_checkpoint(self):
        keys = self.LONG
        whole = self.folder("whole", keys.replace("-hncycles 2", "-hncycles 1"))
        self.assertEqual(run_in(whole, 0).returncode, 0)
        folder = self.folder("stopped", keys.replace("-hncycles 2", "-hncycles 1"))
        job, ranks = self.start_stepping(folder)
        # (as Slurm does: every process of the job)
        for rank in ranks:
            os.kill(int(rank), signal.SIGTERM)
        out, err = job.communicate(timeout=120)
        self.assertNotEqual(job.returncode, 0)
        stops = re.findall(r"vdwflow: stopped by SIGTERM after step (\d+);", err)
        self.assertEqual(len(stops), 1, err)
        self.assertLess(int(stops[0]), 60000)
        # resumed on one process, the run of one that never stopped
        self.assertSameRun(files_of(whole), folder, run_in(folder, 0, "--resume"))

    def test_a_bad_key_or_grid_is_one_line_from_the_first_process(self):
        cases = [
            ("-hprocesses_x 3", 2, "-hprocesses_x 3 needs a number of processes that 3 divides; the run has 2"),
            ("-hprocesses_x 4 -hnodes_x 6", 4, "a block needs at least 2 nodes"),
            ("-hinit_radus 3", 3, "unknown key -hinit_radus (did you mean -hinit_radius?)"),
            ("-hsolid_file missing.npy", 2, "missing.npy"),
        ]
        for keys, n, text in cases:
            with self.subTest(keys=keys):
                folder = self.folder(keys, BASE_2D.replace("-hnodes_x 48", "") + " " + keys
                                     if "-hnodes_x" in keys else BASE_2D + " " + keys)
                result = run_in(folder, n, timeout=60)
                self.assertNotEqual(result.returncode, 0)
                ours = [line for line in result.stderr.splitlines() if line.startswith("nw2cuda.input")]
                self.assertEqual(len(ours), 1, result.stderr)
                self.assertIn(text, ours[0])
                self.assertEqual(files_of(folder), {})

    def test_a_process_that_dies_ends_the_job_and_leaves_the_checkpoint(self):
        keys = self.LONG
        folder = self.folder("killed", keys)
        job, ranks = self.start_stepping(folder)
        os.kill(int(ranks[-1]), signal.SIGKILL)
        job.communicate(timeout=60)  # (no hang)
        self.assertNotEqual(job.returncode, 0)
        self.assertNotIn("vdwflow.checkpoint.tmp", os.listdir(folder))
        # the checkpoint of step 0 stands: a run resumes from it
        write_parameters(folder, keys.replace("-hniter_cycle 60000", "-hniter_cycle 40"))
        self.assertEqual(run_in(folder, 2, "--resume").returncode, 0)


if __name__ == "__main__":
    single, parallel = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=sys.argv[:1], verbosity=2)
