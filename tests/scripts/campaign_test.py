#!/usr/bin/python3
"""The campaign tool on tiny real runs and on hand-made faults.

Usage: campaign_test.py PATH_TO_VDWFLOW_B PATH_TO_VDWFLOW
"""
import csv
import importlib.util
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts")
CAMPAIGN = os.path.join(SCRIPTS, "campaign.py")
sys.path.insert(0, SCRIPTS)
loader_entry = importlib.util.spec_from_file_location("campaign", CAMPAIGN)
campaign = importlib.util.module_from_spec(loader_entry)
loader_entry.loader.exec_module(campaign)
import campaign_results  # noqa: E402

vdwflow = None  # the programs, from the command line
lean = None

BASE = ("-hnodes_x 32 -hnodes_y 8 -hniter 0 -hniter_cycle 100 -hncycles 2 -hlast_iter 0\n"
        "-hRTzero 1.0 -htemperature 0.9 -hdelta_time 0.0002 -hkappa 0.0001 "
        "-hrho_zero 1.0 -htau 0.001\n")


def tool(*args, cwd=None, env=None):
    return subprocess.run([CAMPAIGN, *args], cwd=cwd, capture_output=True, text=True,
                          timeout=120, env=env)


class Folder(unittest.TestCase):
    """A temporary folder with a base parameter file and a plan."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="campaign-test.")
        self.addCleanup(shutil.rmtree, self.dir)
        self.write("base.input", BASE)

    def write(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def plan(self, body, name="plan.toml"):
        return self.write(name, f'base = "base.input"\nprogram = "{vdwflow}"\n' + body)

    def read_csv(self, folder):
        with open(os.path.join(folder, "results.csv")) as f:
            return list(csv.DictReader(f))


class Planning(Folder):
    def test_planning_again_changes_nothing_and_a_changed_plan_is_refused(self):
        plan = self.plan("grid = { htemperature = [0.9, 0.85], hkappa = [1e-4] }\n")
        first = tool("plan", plan, cwd=self.dir)
        self.assertEqual(first.returncode, 0, first.stderr)
        folder = os.path.join(self.dir, "campaigns", "plan")
        points = sorted(os.listdir(os.path.join(folder, "points")))
        self.assertEqual(points, ["p000_temperature0.9", "p001_temperature0.85"])
        parameters = os.path.join(folder, "points", points[1], "nw2cuda.input")
        with open(parameters) as f:
            text = f.read()
        # The swept key replaced in place, the unswept one kept as the base has it.
        self.assertIn("-htemperature 0.85\n", text)
        self.assertEqual(text.count("-htemperature"), 1)
        self.assertIn("-hkappa 0.0001\n", text)
        with open(parameters, "a") as f:
            f.write("-hlast_iter 5\n")  # a hand edit survives planning again
        again = tool("plan", plan, cwd=self.dir)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertIn("all planned before", again.stdout)
        with open(parameters) as f:
            self.assertTrue(f.read().endswith("-hlast_iter 5\n"))

        changes = [("grid = { htemperature = [0.9, 0.8], hkappa = [1e-4] }\n", BASE,
                    "1 new point(s) (htemperature 0.8"),
                   ("grid = { htemperature = [0.9, 0.85], hkappa = [1e-4] }\n",
                    BASE.replace("-htau 0.001", "-htau 0.002"), "base -htau 0.001 planned, "
                    "0.002 now")]
        for body, base, named in changes:
            with self.subTest(named):
                self.plan(body)
                self.write("base.input", base)
                refused = tool("plan", plan, cwd=self.dir)
                self.assertEqual(refused.returncode, 2)
                self.assertIn(named, refused.stderr)
                self.assertEqual(len(refused.stderr.splitlines()), 1, refused.stderr)

    def test_a_malformed_plan_gets_one_line_naming_the_problem(self):
        cases = [
            ("grid = { htemperature = [0.9, 0.8 }", "not a plan file"),
            ('program = "x"\ngrid = { htemperature = [0.9] }', "no base ="),
            ('base = "base.input"\nsweep = { htemperature = [0.9] }', "unknown entry 'sweep'"),
            ('base = "base.input"\ngrid = { htemprature = [0.9] }', "unknown key 'htemprature'"),
            ('base = "base.input"\ngrid = { hnodes_x = [32, 40.5] }', "is not a 32-bit integer"),
            ('base = "base.input"\ngrid = { htemperature = [] }', "non-empty list"),
            ('base = "base.input"\ngrid = { htemperature = ["0.9"] }', "not a finite number"),
            ('base = "base.input"\npoints = [{htemperature = 0.9}, {htemperature = 0.9}]',
             "points 0 and 1 are the same"),
            ('base = "base.input"', "nothing to sweep"),
            ('base = "missing.input"\ngrid = { htemperature = [0.9] }', "cannot read the base"),
            ('base = "odd.input"\ngrid = { htemperature = [0.9] }', "without its value"),
        ]
        self.write("odd.input", "-hnodes_x 32 -hnodes_y\n")
        for body, named in cases:
            with self.subTest(named):
                result = tool("plan", self.write("bad.toml", body), cwd=self.dir)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(named, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "campaigns", "bad")))

    def test_job_arrays_name_the_points_compactly(self):
        for indices, expected in (([0], "0"), ([0, 1, 2, 3, 5, 7, 8], "0-3,5,7-8"),
                                  ([9, 2, 3], "2-3,9")):
            self.assertEqual(campaign.array_ranges(indices), expected)


class Running(Folder):
    def test_points_run_fail_rerun_and_collect_also_from_a_copy(self):
        # hkappa 3e-3 at T/Tc 0.8 blows up within 200 steps; the others run to the end.
        plan = self.plan("points = [{hkappa = 1e-4}, {hkappa = 3e-3, htemperature = 0.8}, "
                         "{hkappa = 1e-4, htemperature = 0.8}]\n")
        ran = tool("run", plan, "--jobs", "2", cwd=self.dir)
        self.assertEqual(ran.returncode, 1, ran.stdout + ran.stderr)
        self.assertIn("2 done, 1 failed", ran.stdout)
        folder = os.path.join(self.dir, "campaigns", "plan")
        status = tool("status", folder, cwd=self.dir).stdout
        self.assertRegex(status, r"p001\S*\s+failed\s+exit status 1: .*became unstable at "
                                 r"iteration \d+")

        collected = tool("collect", folder, cwd=self.dir)
        self.assertEqual(collected.returncode, 1, collected.stderr)
        rows = self.read_csv(os.path.join(self.dir, folder))
        self.assertEqual([r["status"] for r in rows], ["done", "failed", "done"])
        self.assertEqual([r["final_step"] for r in rows[::2]], ["200", "200"])
        self.assertIn("became unstable", rows[1]["detail"])
        self.assertLess(abs(float(rows[0]["total_drift"])), 1e-12)
        self.assertEqual(rows[0]["phases"], "1")  # 200 steps do not separate

        # Again: only the failed point runs; with --skip-failed nothing does.
        done_record = os.path.join(folder, "points", rows[0]["point"], "run.json")
        with open(done_record) as f:
            before = f.read()
        again = tool("run", folder, cwd=self.dir)
        self.assertIn("1 of 3 points", again.stdout)
        with open(done_record) as f:
            self.assertEqual(f.read(), before)
        self.assertIn("nothing to run", tool("run", folder, "--skip-failed", cwd=self.dir).stdout)

        # A copy elsewhere, the original gone, collects the same table.
        tool("collect", folder, cwd=self.dir)
        with open(os.path.join(folder, "results.csv")) as f:
            table = f.read()
        copy = tempfile.mkdtemp(prefix="campaign-copy.")
        self.addCleanup(shutil.rmtree, copy)
        shutil.move(folder, os.path.join(copy, "moved"))
        moved = os.path.join(copy, "moved")
        tool("collect", "moved", cwd=copy)
        with open(os.path.join(moved, "results.csv")) as f:
            self.assertEqual(f.read(), table)
        for picture in ("sweep.png",):
            self.assertTrue(os.path.getsize(os.path.join(moved, picture)) > 1000)

        # A run killed while it wrote its last VTK file: the point still has
        # its row, from the snapshots that read whole.
        point = os.path.join(moved, "points", rows[1]["point"])
        last = max(n for n in os.listdir(point) if n.startswith("PV"))
        with open(os.path.join(point, last), "r+") as f:
            f.truncate(200)
        os.remove(os.path.join(moved, "results.csv"))
        cut = tool("collect", "moved", cwd=copy)
        self.assertEqual(cut.returncode, 1, cut.stderr)
        self.assertEqual([r["status"] for r in self.read_csv(moved)], ["done", "failed", "done"])


class Faults(Folder):
    """Runs that end without the program's own say: killed tasks, a batch
    system that ends them. A stand-in program that sleeps plays the solver."""

    def setUp(self):
        super().setUp()
        sleeper = self.write("sleeper", "#!/bin/sh\ntouch PV_X.000000100.vtk\nexec sleep 60\n")
        os.chmod(sleeper, 0o755)
        self.plan_file = self.write("plan.toml", f'base = "base.input"\nprogram = "{sleeper}"\n'
                                    "grid = { htemperature = [0.9, 0.8] }\n")
        self.folder = campaign.plan_campaign(self.plan_file, os.path.join(self.dir, "c"),
                                             quiet=True)

    def start_task(self, index):
        task = subprocess.Popen([CAMPAIGN, "task", self.folder, "--index", str(index)],
                                stdout=subprocess.DEVNULL, start_new_session=True)
        record = os.path.join(self.folder, "points", self.name(index), "run.json")
        deadline = time.monotonic() + 20
        while not (os.path.exists(record) and campaign.last_step(os.path.dirname(record))):
            self.assertLess(time.monotonic(), deadline, "the task did not start")
            time.sleep(0.05)
        self.addCleanup(lambda: task.poll() is None and os.killpg(task.pid, signal.SIGKILL))
        return task

    def name(self, index):
        return campaign.load_campaign(self.folder)["points"][index]["name"]

    def states(self):
        return {p["index"]: (s, d) for p, s, d, _ in campaign.point_states(self.folder)}

    def test_a_killed_task_is_failed_with_its_reason(self):
        terminated, killed = self.start_task(0), self.start_task(1)
        self.assertEqual(self.states()[0], (campaign.RUNNING, "at step 100"))
        os.kill(terminated.pid, signal.SIGTERM)  # as a batch system ends a task
        os.killpg(killed.pid, signal.SIGKILL)    # no chance to record anything
        terminated.wait(10)
        killed.wait(10)
        states = self.states()
        self.assertEqual(states[0], (campaign.FAILED,
                                     "killed by SIGTERM (the task received SIGTERM)"))
        self.assertEqual(states[1][0], campaign.FAILED)
        self.assertIn("without recording its end", states[1][1])

    def test_the_batch_systems_verdict_names_a_task_it_ended(self):
        # Records as tasks of job 41 leave them (killed, nothing recorded),
        # and an squeue that knows their end.
        bin_dir = os.path.join(self.dir, "bin")
        os.mkdir(bin_dir)
        for name, text in (("squeue", "echo '41_0|TIMEOUT'\necho '41_1|RUNNING'"),
                           ("sacct", "exit 1")):
            path = os.path.join(bin_dir, name)
            with open(path, "w") as f:
                f.write(f"#!/bin/sh\n{text}\n")
            os.chmod(path, 0o755)
        for index in (0, 1):
            record = {"host": "node7", "pid": 1, "slurm_task": f"41_{index}", "started": "x"}
            with open(os.path.join(self.folder, "points", self.name(index), "run.json"), "w") as f:
                json.dump(record, f)
        path = os.environ["PATH"]
        os.environ["PATH"] = bin_dir + os.pathsep + path
        try:
            states = self.states()
        finally:
            os.environ["PATH"] = path
        self.assertEqual(states[0][0], campaign.FAILED)
        self.assertIn("TIMEOUT: the time limit was reached", states[0][1])
        self.assertEqual(states[1][0], campaign.RUNNING)


class Resuming(Folder):
    def test_a_stopped_vdwflow_point_continues_from_its_checkpoint(self):
        base = BASE.replace("-hnodes_x 32 -hnodes_y 8", "-hnodes_x 128 -hnodes_y 64")
        base = base.replace("-hniter_cycle 100 -hncycles 2", "-hniter_cycle 2000 -hncycles 3")
        self.write("base.input", base)
        plan = self.write("plan.toml", f'base = "base.input"\nprogram = "{lean}"\n'
                          "points = [ { htemperature = 0.9 } ]\n")
        folder = campaign.plan_campaign(plan, os.path.join(self.dir, "c"), quiet=True)
        point = os.path.join(folder, "points", campaign.load_campaign(folder)["points"][0]["name"])
        task = subprocess.Popen([CAMPAIGN, "task", folder, "--index", "0"],
                                stdout=subprocess.DEVNULL, start_new_session=True)
        self.addCleanup(lambda: task.poll() is None and os.killpg(task.pid, signal.SIGKILL))
        deadline = time.monotonic() + 60
        while (campaign.last_step(point) or 0) < 2000:
            self.assertLess(time.monotonic(), deadline, "the first cycle never ended")
            time.sleep(0.01)
        os.kill(task.pid, signal.SIGTERM)  # the batch system's warning before its limit
        task.wait(30)
        state, detail = campaign.point_states(folder)[0][1:3]
        self.assertEqual(state, campaign.FAILED)
        self.assertRegex(detail, r"exit status 143: vdwflow: stopped by SIGTERM after step "
                                 r"\d+.*; resumable$")

        again = tool("run", folder, "--jobs", "1")
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertEqual(campaign.point_states(folder)[0][1], campaign.DONE)
        with open(os.path.join(point, "run.json")) as f:
            self.assertEqual(json.load(f)["arguments"], ["--resume"])
        with open(os.path.join(point, "console.txt")) as f:
            console = f.read()
        self.assertIn("stopped by SIGTERM", console)  # kept, and continued after
        self.assertIn("iter=0000006000", console)

        straight = os.path.join(self.dir, "straight")
        os.mkdir(straight)
        shutil.copy(os.path.join(point, "nw2cuda.input"), straight)
        subprocess.run([lean, "-q"], cwd=straight, check=True, capture_output=True)
        for name in os.listdir(straight):
            if name.startswith(("BP", "BV", "PV")):
                with open(os.path.join(straight, name), "rb") as a, \
                        open(os.path.join(point, name), "rb") as b:
                    self.assertEqual(a.read(), b.read(), name)


class VdwflowKeys(Folder):
    """vdwflow's own keys in plans: typed, paths made absolute, refused for
    a program that does not read them."""

    def test_words_references_and_paths_reach_the_parameter_files(self):
        os.makedirs(os.path.join(self.dir, "setups"))
        os.makedirs(os.path.join(self.dir, "data"))
        for name in ("setups/mask.pgm", "data/start.npy", "data/other.npy"):
            self.write(name, "x")
        # The base's path is relative to the base, the plan's to the plan.
        self.write("setups/lean.input", BASE + "-hsolid_file mask.pgm\n-houtput classic\n")
        plan = self.write("plan.toml", f'base = "setups/lean.input"\nprogram = "{lean}"\n'
                          'grid = { hinit_file = ["data/start.npy", "data/other.npy"] }\n'
                          'points = [{ hinit = "file", houtput = "vti", hgravity_y = -0.1, '
                          'hgravity_reference = "mean" },\n'
                          '          { hinit = "file", hwalls = "xy", hgravity_y = -0.1, '
                          'hgravity_reference = 0.5 }]\n')
        folder = campaign.plan_campaign(plan, os.path.join(self.dir, "c"), quiet=True)
        points = campaign.load_campaign(folder)["points"]
        # Named by the files' names, not their paths.
        self.assertEqual(points[0]["name"],
                         "p000_outputvti_gravity_referencemean_init_filestart_wallsnone")
        with open(os.path.join(folder, "points", points[3]["name"], "nw2cuda.input")) as f:
            text = f.read()
        for line in (f"-hsolid_file {self.dir}/setups/mask.pgm\n", "-houtput classic\n",
                     f"-hinit_file {self.dir}/data/other.npy\n", "-hinit file\n",
                     "-hwalls xy\n", "-hgravity_reference 0.5\n", "-hgravity_y -0.1\n"):
            self.assertIn(line, text)

    def test_a_wrong_value_or_a_key_the_program_cannot_read_is_refused(self):
        self.write("start.npy", "x")
        many = BASE + "-hinit_x 1.0\n" * 53
        self.write("many.input", many)
        self.write("long.input", BASE + "-htau 0.00100000000000000000000000000\n")
        cases = [
            (lean, 'grid = { hinit = ["drop", "droplet"] }', 'hinit = "droplet" is not one '
             'of "noise", "slab", "drop", "bubble", "file"'),
            (lean, "grid = { hwalls = [1] }", "hwalls = 1 is not one of"),
            (lean, 'grid = { hgravity_reference = ["median"] }', 'neither "mean" nor a density'),
            (lean, "grid = { hgravity_reference = [-1.0] }", 'neither "mean" nor a density'),
            (lean, 'grid = { hinit_file = ["gone.npy"] }', "hinit_file = \"gone.npy\": no such "
             "file"),
            (lean, "grid = { hsolid_file = [3] }", "is not a path in quotes"),
            (lean, 'grid = { hinit_file = ["my data/start.npy"] }', "holds a blank"),
            (vdwflow, 'grid = { hwalls = ["y", "x"] }', "-hwalls is a key of vdwflow only"),
            (lean, 'base = "many.input"\ngrid = { htau = [1e-3] }', "65 key and value pairs, "
             "more than the 64"),
            (vdwflow, 'base = "long.input"\ngrid = { htau = [1e-3] }', "longer than the 29 "
             "characters"),
        ]
        for program, body, named in cases:
            with self.subTest(named):
                if not body.startswith("base"):
                    body = 'base = "base.input"\n' + body
                result = tool("plan", self.write("bad.toml", f'program = "{program}"\n' + body),
                              cwd=self.dir)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                self.assertIn(named, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.dir, "campaigns", "bad")))
        # Without a program in the plan: refused by run, with the program it found.
        plan = self.write("open.toml", 'base = "base.input"\ngrid = { hwalls = ["y", "x"] }\n')
        refused = tool("run", plan, "--program", vdwflow, cwd=self.dir)
        self.assertEqual(refused.returncode, 2)
        self.assertIn("-hwalls is a key of vdwflow only", refused.stderr)
        self.assertNotIn("run.json", str(list(os.walk(os.path.join(self.dir, "campaigns")))))


class Shapes(Folder):
    def test_drops_bubbles_and_a_wall_drop_are_analysed_from_their_vti_files(self):
        self.write("base.input", BASE.replace("32 -hnodes_y 8", "64 -hnodes_y 64").replace(
            "0.0002", "0.0004") + "-hinit drop -hinit_radius 22 -houtput vti\n")
        plan = self.write("plan.toml", f'base = "base.input"\nprogram = "{lean}"\n'
                          'points = [{ hinit = "drop" }, { hinit = "bubble" },\n'
                          '  { hnodes_y = 32, hwalls = "y", hinit_y = -0.5, hinit_radius = 14, '
                          "hwall_wetting = 4e-4 }]\n")
        ran = tool("run", plan, "--jobs", "2", cwd=self.dir)
        self.assertEqual(ran.returncode, 0, ran.stdout + ran.stderr)
        folder = os.path.join(self.dir, "campaigns", "plan")
        names = [p["name"] for p in campaign.load_campaign(folder)["points"]]
        self.assertEqual(campaign.last_step(os.path.join(folder, "points", names[0])), 200)
        collected = tool("collect", folder, cwd=self.dir)
        self.assertEqual(collected.returncode, 0, collected.stderr)
        drop, bubble, wall = self.read_csv(folder)
        self.assertEqual([r["setup"] for r in (drop, bubble, wall)],
                         ["drop", "bubble", "drop on the bottom wall"])
        for row, inside, outside in ((drop, 1.6, 0.5), (bubble, 0.5, 1.6)):
            self.assertAlmostEqual(float(row["inside_density"]), inside, delta=0.1)
            self.assertAlmostEqual(float(row["outside_density"]), outside, delta=0.1)
            self.assertAlmostEqual(float(row["radius_nodes"]), 22, delta=2)
            self.assertGreater(float(row["pressure_jump"]), 0)
        self.assertEqual(wall["wall_wetting"], "0.0004")
        self.assertAlmostEqual(float(wall["young_angle"]), 73.7, delta=0.1)
        self.assertTrue(20 < float(wall["contact_angle"]) < 160, wall["contact_angle"])
        for picture in ("laplace.png", "contact_angle.png", "laplace.md", "contact_angle.md"):
            self.assertTrue(os.path.getsize(os.path.join(folder, picture)) > 100)
        # A point whose snapshots are gone keeps its row, told why it has no figures.
        point = os.path.join(folder, "points", names[2])
        for name in os.listdir(point):
            if name.startswith("PV"):
                os.remove(os.path.join(point, name))
        self.assertEqual(tool("collect", folder, cwd=self.dir).returncode, 0)
        wall = self.read_csv(folder)[2]
        self.assertEqual(wall["setup"], "drop on the bottom wall (not analysed: no snapshot)")
        self.assertEqual((wall["status"], wall["contact_angle"]), ("done", ""))


class SlabAnalysis(unittest.TestCase):
    def test_a_tanh_slab_gives_its_densities_width_and_surface_tension(self):
        # n = a + b tanh(x / w) at two interfaces: 10-90 % width 2 w atanh(0.8),
        # sigma = kappa * 4 b^2 / (3 w) per interface (w in solver units).
        light, dense, w, kappa = 0.4, 1.6, 3.0, 1e-4
        x = 0.5 + campaign_results.np.arange(256)
        a, b = (light + dense) / 2, (dense - light) / 2
        line = a + b * (campaign_results.np.tanh((x - 64) / w) -
                        campaign_results.np.tanh((x - 192) / w) - 1)
        field = campaign_results.np.tile(line, (4, 1))
        found = campaign_results.analyse(field, kappa)
        # The bulk nodes lie 1.5 widths from the interfaces: the tails of the
        # profile still reach them, by less than 1e-4.
        self.assertAlmostEqual(found["lightest_bulk"] / light, 1, delta=1e-4)
        self.assertAlmostEqual(found["densest_bulk"] / dense, 1, delta=1e-4)
        # Levels found by linear interpolation between nodes: within 0.1 node.
        self.assertAlmostEqual(found["interface_width"], 2 * w * math.atanh(0.8), delta=0.1)
        sigma = kappa * 4 * b * b / (3 * w / 128)
        self.assertAlmostEqual(found["surface_tension"] / sigma, 1, delta=0.005)
        # Transposed, the same slab; with a bump across it, no slab at all.
        self.assertAlmostEqual(campaign_results.analyse(field.T.copy(), kappa)["interface_width"],
                               found["interface_width"])
        bumped = field.copy()
        bumped[0, 10:20] = dense
        self.assertTrue(math.isnan(campaign_results.analyse(bumped, kappa)["interface_width"]))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    vdwflow = os.path.abspath(sys.argv.pop(1))
    lean = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
