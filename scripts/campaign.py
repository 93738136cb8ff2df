#!/usr/bin/python3
"""Parameter sweeps of the solver: one run folder per point, run on this
machine or as one Slurm job array.

Usage:
  campaign.py plan    PLAN_FILE [--folder DIR]
  campaign.py run     CAMPAIGN [--jobs N] [--ntasks N] [--program P] [--skip-failed]
  campaign.py submit  CAMPAIGN [--partition P] [--time T] [--gpus-per-task G]
                      [--cpus-per-task C] [--account A] [--ntasks N] [--program P]
                      [--skip-failed]
  campaign.py status  CAMPAIGN
  campaign.py collect CAMPAIGN

CAMPAIGN is a campaign folder, or a plan file (which is then planned first,
into the folder it names, else campaigns/PLAN_NAME under the current folder).
docs/campaigns.md describes the plan file, the folders and the commands.

plan, run, submit and status need the standard library only, so that the
tasks of a job array run on any node with a python3; collect needs numpy and
matplotlib.
"""
import argparse
import datetime
import json
import math
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time

SCRIPTS = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(SCRIPTS)
ME = os.path.abspath(__file__)

# The keys of the parameter file and what each takes come from vdwflow's own
# table (`vdwflow --keys`, key_table below): a whole number, a real, a word
# out of a list (a tuple of the words), the gravity reference (mean or a
# density >= 0) or the path of a file. Every solver program reads the first
# twelve; the rest are vdwflow's own.
INTEGER, REAL, REFERENCE, PATH = "integer", "real", "reference", "path"
LEAN_PROGRAM = "vdwflow"       # the program that reads every key
MPI_PROGRAM = "vdwflow_mpi"    # the same over the processes of an MPI job (ntasks > 1)
LEAN_PROGRAMS = (LEAN_PROGRAM, MPI_PROGRAM)
# What starts a point's processes (ntasks > 1): Open MPI's mpirun takes the
# processes of a Slurm allocation as it finds them, or starts them here.
LAUNCHER = "mpirun"
PARAMETER_FILE = "nw2cuda.input"
CONSOLE = "console.txt"
CHECKPOINT = "vdwflow.checkpoint"  # vdwflow's state, from which --resume continues
RECORD = "run.json"            # a point's run: started, and how it ended
CAMPAIGN = "campaign.json"     # the campaign as planned
SUBMISSIONS = "slurm/jobs.json"
POINTS = "points"
DEFAULT_PROGRAMS = ("vdwflow", "vdwflow_b")  # the first one built is run
PLAN_ENTRIES = ("base", "program", "folder", "ntasks", "grid", "points")
SNAPSHOT_NAME = re.compile(r"^PV.*\.(-?\d+)\.(vtk|vti)$")

# States of a point, and the batch system's states in which a task is still
# alive.
DONE, FAILED, RUNNING, WAITING = "done", "failed", "running", "waiting"
BATCH_ALIVE = {"RUNNING", "COMPLETING", "CONFIGURING", "SUSPENDED", "STAGE_OUT", "SIGNALING",
               "RESIZING"}
BATCH_WAITING = {"PENDING", "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED", "RESV_DEL_HOLD"}
BATCH_ENDED = {"TIMEOUT": "the time limit was reached", "CANCELLED": "cancelled",
               "NODE_FAIL": "its node failed", "OUT_OF_MEMORY": "out of memory",
               "PREEMPTED": "preempted", "BOOT_FAIL": "its node did not boot",
               "DEADLINE": "its deadline passed", "FAILED": "the task failed",
               "COMPLETED": "the task ended"}


class CampaignError(Exception):
    """A problem that ends the command with one line naming it."""


# ---------------------------------------------------------------------------
# Plan files

def read_plan(path):
    """The plan file as a dictionary, each problem in one line."""
    import tomllib  # only planning needs it (python 3.11)
    try:
        with open(path, "rb") as f:
            plan = tomllib.load(f)
    except OSError as e:
        raise CampaignError(f"{path}: cannot read the plan file ({e.strerror})") from None
    except tomllib.TOMLDecodeError as e:
        raise CampaignError(f"{path}: not a plan file: {e}") from None
    unknown = [key for key in plan if key not in PLAN_ENTRIES]
    if unknown:
        raise CampaignError(f"{path}: unknown entry '{unknown[0]}' (a plan has "
                            f"{', '.join(PLAN_ENTRIES)})")
    if not isinstance(plan.get("base"), str):
        raise CampaignError(f"{path}: no base = \"PARAMETER_FILE\" (the parameter file the "
                            "points start from)")
    for key in ("program", "folder"):
        if key in plan and not isinstance(plan[key], str):
            raise CampaignError(f"{path}: {key} must be a text in quotes")
    ntasks = plan.get("ntasks", 1)
    if not isinstance(ntasks, int) or isinstance(ntasks, bool) or ntasks < 1:
        raise CampaignError(f"{path}: ntasks must be a whole number of processes, 1 or more")
    return plan


_TABLE = []  # the key table, read once


def key_table():
    """vdwflow's table of keys, as `vdwflow --keys` prints it."""
    if not _TABLE:
        program = find_program(LEAN_PROGRAM)
        try:
            done = subprocess.run([program, "--keys"], capture_output=True, text=True, timeout=60)
            table = json.loads(done.stdout) if done.returncode == 0 else None
        except (OSError, subprocess.TimeoutExpired, ValueError):
            table = None
        if table is None:
            raise CampaignError(f"{program} --keys did not print its table of keys")
        _TABLE.append(table)
    return _TABLE[0]


def key_kind(key):
    """What a key (without its dash) takes: INTEGER, REAL, REFERENCE, PATH,
    or a tuple of its words; None for a key no solver reads."""
    entry = next((k for k in key_table()["keys"] if k["name"] == "-" + key), None)
    if entry is None:
        return None
    return tuple(entry["words"]) if entry["kind"] == "word" else entry["kind"]


def lean_only(key):
    """Whether only vdwflow reads the key (not every solver program)."""
    return not any(k["name"] == "-" + key and k["every_program"] for k in key_table()["keys"])


def reader_limits(lean):
    """Pairs and characters per token that the program's reader takes."""
    table = key_table()
    if lean:
        return table["pairs"], table["token_characters"]
    return table["solver_programs"]["pairs"], table["solver_programs"]["token_characters"]


def check_value(where, key, value, folder):
    """A value for a key of the parameter file, as the text the file gets: a
    path resolved relative to folder (the plan's), written absolute."""
    kind = key_kind(key)
    if kind is None:
        raise CampaignError(f"{where}: unknown key '{key}' (the solver reads "
                            f"{', '.join(k['name'][1:] for k in key_table()['keys'])})")
    if isinstance(kind, tuple):
        if not isinstance(value, str) or value not in kind:
            raise CampaignError(f"{where}: {key} = {shown(value)} is not one of "
                                f"{', '.join(chr(34) + w + chr(34) for w in kind)}")
        return value
    if kind == PATH:
        if not isinstance(value, str) or not value:
            raise CampaignError(f"{where}: {key} = {shown(value)} is not a path in quotes")
        return resolve_path(where, key, value, folder)
    number = isinstance(value, (int, float)) and not isinstance(value, bool)
    if kind == REFERENCE:
        if value == "mean":
            return value
        if not number or not math.isfinite(value) or not 0 <= value <= 1e300:
            raise CampaignError(f"{where}: {key} = {shown(value)} is neither \"mean\" nor a "
                                "density of 0 or more")
        return repr(float(value))
    if not number or abs(value) > 1e300 or not math.isfinite(value):
        raise CampaignError(f"{where}: {key} = {str(value)[:30]} is not a finite number")
    if kind == INTEGER:
        if value != int(value) or abs(value) >= 2**31:
            raise CampaignError(f"{where}: {key} = {value!r} is not a 32-bit integer")
        return str(int(value))
    return repr(float(value))


def shown(value):
    return (f'"{value[:40]}"' if isinstance(value, str) else str(value)[:40])


def resolve_path(where, key, value, folder):
    """A file a key names, as an absolute path (a relative one from folder):
    the point folders lie elsewhere."""
    path = os.path.normpath(os.path.join(folder, os.path.expanduser(value)))
    if any(c.isspace() for c in path):
        raise CampaignError(f"{where}: {key} = {shown(value)}: the path {path[:80]} holds a "
                            "blank, which a parameter file cannot carry")
    if not os.path.isfile(path):
        raise CampaignError(f"{where}: {key} = {shown(value)}: no such file ({path[:200]})")
    return path


def expand_points(path, plan):
    """Every point of the plan as {key: value text}: each listed point with
    every combination of the grid's values."""
    here = os.path.dirname(os.path.abspath(path))
    grid = plan.get("grid", {})
    listed = plan.get("points", [{}])
    if not isinstance(grid, dict):
        raise CampaignError(f"{path}: grid must be a table of keys and lists of values")
    if not isinstance(listed, list) or not listed or \
            not all(isinstance(p, dict) for p in listed):
        raise CampaignError(f"{path}: points must be a non-empty list of tables "
                            "({ key = value, ... })")
    axes = []
    for key, values in grid.items():
        if not isinstance(values, list) or not values:
            raise CampaignError(f"{path}: grid.{key} must be a non-empty list of values")
        axes.append([(key, check_value(f"{path}: grid", key, v, here)) for v in values])
    combinations = [[]]
    for axis in axes:
        combinations = [c + [pair] for c in combinations for pair in axis]
    points = []
    for i, entry in enumerate(listed):
        fixed = [(key, check_value(f"{path}: points[{i}]", key, v, here)) for key, v in entry.items()]
        both = set(entry) & set(grid)
        if both:
            raise CampaignError(f"{path}: {sorted(both)[0]} is both in grid and in points[{i}]")
        for combination in combinations:
            points.append(dict(fixed + combination))
    if not grid and "points" not in plan:
        raise CampaignError(f"{path}: nothing to sweep (give a grid or points)")
    seen = {}
    for i, point in enumerate(points):
        key = tuple(sorted(point.items()))
        if key in seen:
            raise CampaignError(f"{path}: points {seen[key]} and {i} are the same "
                                f"({describe_values(point)})")
        seen[key] = i
    return points


def read_parameter_pairs(path):
    """The key and value tokens of a parameter file, in file order; the
    files its keys name (the first of each key, the one the solver reads) as
    absolute paths, a relative one taken from the file's folder."""
    try:
        with open(path) as f:
            tokens = f.read().split()
    except OSError as e:
        raise CampaignError(f"{path}: cannot read the base parameter file "
                            f"({e.strerror})") from None
    except UnicodeDecodeError:
        raise CampaignError(f"{path}: the base parameter file is not text") from None
    if len(tokens) % 2:
        raise CampaignError(f"{path}: the base parameter file ends with the key "
                            f"'{tokens[-1]}' without its value")
    pairs, seen = [[k, v] for k, v in zip(tokens[0::2], tokens[1::2])], set()
    folder = os.path.dirname(os.path.abspath(path))
    for pair in pairs:
        key = pair[0][1:]
        if key_kind(key) == PATH and key not in seen:
            pair[1] = resolve_path(path, key, pair[1], folder)
        seen.add(key)
    return pairs


def check_program(campaign, program, where):
    """Refuses a campaign whose parameter files the program cannot read: a
    key only vdwflow knows, more pairs or longer tokens than its reader
    takes. program None: the one the run will find (vdwflow's limits now,
    the found program's when it runs)."""
    lean = os.path.basename(program or LEAN_PROGRAM) in LEAN_PROGRAMS
    most_pairs, longest = reader_limits(lean)
    name = program or "the program"
    base_keys = [k[1:] for k, _ in campaign["base"]]
    for point in campaign["points"]:
        keys = base_keys + [k for k in point["values"] if k not in base_keys]
        for key in keys:
            if not lean and lean_only(key):
                raise CampaignError(f"{where}: -{key} is a key of {LEAN_PROGRAM} only, which "
                                    f"{name} does not read (run it with {LEAN_PROGRAM})")
        if len(keys) > most_pairs:
            raise CampaignError(f"{where}: {len(keys)} key and value pairs, more than the "
                                f"{most_pairs} that {name} reads")
        tokens = [t for pair in campaign["base"] for t in pair] + list(point["values"].values())
        long = [t for t in tokens if len(t) > longest]
        if long:
            raise CampaignError(f"{where}: the token '{long[0][:40]}' is longer than the "
                                f"{longest} characters {name} reads")


def parameter_text(base_pairs, values):
    """A point's parameter file: the base file's pairs, the first of each
    swept key (the one the solver reads) set to the point's value, the keys
    the base lacks added."""
    pairs = [list(p) for p in base_pairs]
    for key, value in values.items():
        for pair in pairs:
            if pair[0] == "-" + key:
                pair[1] = value
                break
        else:
            pairs.append(["-" + key, value])
    return "".join(f"{k} {v}\n" for k, v in pairs)


def describe_values(values):
    return ", ".join(f"{k} {v}" for k, v in values.items())


def folder_name(index, width, values, keys, base):
    """p007_temperature0.85_kappa0.0001: the point's number and the values of
    the keys that vary between points."""
    name = f"p{index:0{width}d}"
    for key in keys:
        text = values.get(key, base.get("-" + key, "none"))
        if key_kind(key) == PATH:
            text = os.path.splitext(os.path.basename(text))[0]
        name += "_" + key.lstrip("h") + "".join(c if c.isalnum() or c in ".+-" else "_"
                                                for c in text)
    return name


def resolve_plan(path, folder=None):
    """The campaign a plan file describes: what campaign.json holds."""
    plan = read_plan(path)
    here = os.path.dirname(os.path.abspath(path))
    base_path = os.path.join(here, plan["base"])
    base = read_parameter_pairs(base_path)
    points = expand_points(path, plan)
    keys = [k for k in dict.fromkeys(k for p in points for k in p)
            if len({p.get(k) for p in points}) > 1]
    width = max(3, len(str(len(points) - 1)))
    program = plan.get("program")
    if program and os.sep in program:
        program = os.path.normpath(os.path.join(here, program))
    if folder is None:
        folder = plan.get("folder")
        folder = (os.path.join(here, folder) if folder else
                  os.path.join("campaigns", os.path.splitext(os.path.basename(path))[0]))
    first = {}
    for k, v in base:
        first.setdefault(k, v)
    campaign = {
        "base": base, "program": program, "keys": keys, "ntasks": plan.get("ntasks", 1),
        "points": [{"index": i, "name": folder_name(i, width, p, keys, first), "values": p}
                   for i, p in enumerate(points)]}
    check_program(campaign, program, path)
    return folder, campaign


def plan_differences(old, new):
    """What differs between two planned campaigns, in words."""
    found = []
    if old["program"] != new["program"]:
        found.append(f"program {old['program'] or 'the default'} planned, "
                     f"{new['program'] or 'the default'} now")
    if old.get("ntasks", 1) != new.get("ntasks", 1):
        found.append(f"ntasks {old.get('ntasks', 1)} planned, {new.get('ntasks', 1)} now")
    old_base, new_base = dict(map(tuple, old["base"])), dict(map(tuple, new["base"]))
    for key in dict.fromkeys(list(old_base) + list(new_base)):
        if old_base.get(key) != new_base.get(key):
            found.append(f"base {key} {old_base.get(key, 'absent')} planned, "
                         f"{new_base.get(key, 'absent')} now")
    old_points = {p["name"]: p["values"] for p in old["points"]}
    new_points = {p["name"]: p["values"] for p in new["points"]}
    gone = [n for n in old_points if old_points[n] not in new_points.values()]
    added = [n for n in new_points if new_points[n] not in old_points.values()]
    if gone:
        found.append(f"{len(gone)} planned point(s) not in the plan now ({gone[0]} ...)")
    if added:
        found.append(f"{len(added)} new point(s) ({describe_values(new_points[added[0]])} ...)")
    if not gone and not added and old["points"] != new["points"]:
        found.append("the points are in another order")
    return found


def write_atomically(path, text):
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "w") as f:
        f.write(text)
    os.replace(temporary, path)


def plan_campaign(path, folder=None, quiet=False):
    """Plans a campaign folder from a plan file; planning again changes
    nothing that exists, a changed plan is refused. Returns the folder."""
    folder, campaign = resolve_plan(path, folder)
    record = os.path.join(folder, CAMPAIGN)
    if os.path.exists(record):
        old = load_campaign(folder)
        differences = plan_differences(old, campaign)
        if differences:
            raise CampaignError(f"{folder} was planned from another plan: "
                                f"{'; '.join(differences)} (plan into another folder)")
    else:
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(path, os.path.join(folder, "plan.toml"))
        write_atomically(record, json.dumps(campaign, indent=1) + "\n")
    made = 0
    for point in campaign["points"]:
        where = os.path.join(folder, POINTS, point["name"])
        parameters = os.path.join(where, PARAMETER_FILE)
        if not os.path.exists(parameters):
            os.makedirs(where, exist_ok=True)
            write_atomically(parameters, parameter_text(campaign["base"], point["values"]))
            made += 1
    if not quiet:
        count = len(campaign["points"])
        print(f"{folder}: {count} points" +
              (f", {made} planned now" if made else ", all planned before"))
    return folder


def load_campaign(folder):
    try:
        with open(os.path.join(folder, CAMPAIGN)) as f:
            return json.load(f)
    except FileNotFoundError:
        raise CampaignError(f"{folder}: not a campaign folder (no {CAMPAIGN}; "
                            "plan one with: campaign.py plan PLAN_FILE)") from None
    except (OSError, ValueError) as e:
        raise CampaignError(f"{folder}/{CAMPAIGN}: unreadable ({e})") from None


def campaign_folder(target):
    """The campaign folder of a command's argument: a folder, or a plan file
    that is planned first."""
    if os.path.isfile(target):
        return plan_campaign(target, quiet=True)
    load_campaign(target)
    return target


# ---------------------------------------------------------------------------
# The programs

def find_program(name, prefer_gpu=False, ntasks=1):
    """The solver program to run: a path, or a name looked up in this
    repository's builds (the cuda build first where a GPU is), then on PATH;
    a point over several processes runs vdwflow_mpi."""
    if name and os.sep in name:
        if os.access(name, os.X_OK):
            return checked_for_processes(os.path.abspath(name), ntasks)
        raise CampaignError(f"{name}: no such program")
    gpu = prefer_gpu or os.path.exists("/dev/nvidia0")
    builds = ["cuda", "cpu"] if gpu else ["cpu", "cuda"]
    if ntasks > 1:
        name = checked_for_processes(name or MPI_PROGRAM, ntasks)
    for candidate in [name] if name else DEFAULT_PROGRAMS:
        for build in builds:
            path = os.path.join(REPOSITORY, "build", build, "bin", candidate)
            if os.access(path, os.X_OK):
                return path
        if shutil.which(candidate):
            return shutil.which(candidate)
    wanted = name or " or ".join(DEFAULT_PROGRAMS)
    how = " -DVDWFLOW_MPI=ON" if wanted == MPI_PROGRAM else ""
    raise CampaignError(f"no program {wanted}: build it (cmake --preset cpu{how} && "
                        "cmake --build --preset cpu) or name one in the plan")


def checked_for_processes(program, ntasks):
    """The program, where it runs over ntasks processes (only vdwflow_mpi runs over several)."""
    if ntasks > 1 and os.path.basename(program) != MPI_PROGRAM:
        raise CampaignError(f"{program}: a point over {ntasks} processes runs {MPI_PROGRAM}, "
                            "the solver built with MPI")
    return program


def restart_arguments(folder, program):
    """Prepares a point's folder for a new run and returns the program's
    extra arguments: the one place where a rerun is decided. A run that
    vdwflow can continue (resumable) keeps its files and continues from its
    checkpoint with --resume, its console going on in the same file; any
    other starts afresh, its earlier files removed."""
    if resumable(folder, read_record(folder), program):
        record = os.path.join(folder, RECORD)
        if os.path.exists(record):
            os.remove(record)
        return ["--resume"]
    for name in os.listdir(folder):
        if name.startswith(("BP", "BV", "PV")) or name in (CONSOLE, RECORD, CHECKPOINT):
            os.remove(os.path.join(folder, name))
    return []


def resumable(folder, record, program):
    """Whether a point's run can be continued rather than repeated: vdwflow
    left a checkpoint in its folder, and the run ended by a signal (a time
    limit, a cancelled task, a lost node) or its record is gone (a rerun
    already decided). A run that failed by itself (it became unstable) would
    only fail again from there."""
    if os.path.basename(program or "") not in LEAN_PROGRAMS:
        return False
    if not os.path.isfile(os.path.join(folder, CHECKPOINT)):
        return False
    status = record.get("exit") if record else None
    return status is None or status >= 128


# ---------------------------------------------------------------------------
# One point's run: the same command here and in a job array's task

def process_start(pid):
    """The start time of a process in clock ticks since boot (tells a live
    process from a later one with the same id); None where there is none."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return int(f.read().rsplit(")", 1)[1].split()[19])
    except (OSError, IndexError, ValueError):
        return None


def now_text():
    return datetime.datetime.now().astimezone().isoformat(timespec="seconds")


def read_record(folder):
    try:
        with open(os.path.join(folder, RECORD)) as f:
            return json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError):
        return {"exit": None, "reason": f"{RECORD} unreadable"}


def console_end(folder, lines=1):
    """The last lines of a console that say something (not timing lines)."""
    try:
        with open(os.path.join(folder, CONSOLE), "rb") as f:
            f.seek(0, os.SEEK_END)
            f.seek(max(0, f.tell() - 16384))
            text = f.read().decode(errors="replace")
    except OSError:
        return []
    said = [line.strip() for line in text.splitlines()
            if line.strip() and not line.startswith("Total Time")]
    return said[-lines:]


def signal_name(number):
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def launch_command(ntasks):
    """What starts a point's processes: nothing for one; else the launcher
    (mpirun: inside a Slurm allocation it starts them on its nodes)."""
    if ntasks == 1:
        return []
    return os.environ.get("VDWFLOW_LAUNCHER", LAUNCHER).split() + ["-n", str(ntasks)]


def run_point(folder, program, threads, ntasks=1):
    """Runs the program in a point's folder (over ntasks processes), its
    console into console.txt, and records how it went in run.json. Returns
    the exit status."""
    arguments = restart_arguments(folder, program)
    record = {"program": program, "arguments": arguments, "threads": threads, "ntasks": ntasks,
              "host": socket.gethostname(), "pid": os.getpid(),
              "pid_start": process_start(os.getpid()), "started": now_text()}
    if "SLURM_ARRAY_JOB_ID" in os.environ:
        record["slurm_task"] = (f"{os.environ['SLURM_ARRAY_JOB_ID']}_"
                                f"{os.environ.get('SLURM_ARRAY_TASK_ID', '')}")
        record["slurm_job_id"] = os.environ.get("SLURM_JOB_ID")
    record_path = os.path.join(folder, RECORD)
    write_atomically(record_path, json.dumps(record, indent=1) + "\n")

    received = []

    def forward(number, _frame):  # the batch system ends the task: end the run too
        received.append(number)
        if child.poll() is None:
            child.send_signal(number)

    environment = dict(os.environ, CUDACPU_THREADS=str(threads))
    if ntasks > 1 and os.geteuid() == 0:  # (Open MPI's launcher asks before it runs as root)
        environment.update(OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1")
    start = time.monotonic()
    with open(os.path.join(folder, CONSOLE), "ab" if arguments else "wb") as console:
        try:
            child = subprocess.Popen(launch_command(ntasks) + [program] + arguments, cwd=folder,
                                     stdout=console,
                                     stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                     env=environment)
        except OSError as e:
            child = None
            status, reason = 127, f"cannot start {program} ({e.strerror})"
        if child:
            for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
                signal.signal(number, forward)
            status = child.wait()
    if child:
        if status == 0:
            reason = ""
        elif status < 0:
            reason = f"killed by {signal_name(-status)}"
            status = 128 - status
        else:
            end = console_end(folder)
            reason = f"exit status {status}" + (f": {end[0]}" if end else "")
        if received:
            reason += f" (the task received {signal_name(received[0])})"
    record.update(ended=now_text(), seconds=round(time.monotonic() - start, 3),
                  exit=status, reason=reason)
    write_atomically(record_path, json.dumps(record, indent=1) + "\n")
    return status


def task(folder, index, program, threads, ntasks=None):
    """One point of a campaign by its number: what a job array's task runs."""
    campaign = load_campaign(folder)
    points = {p["index"]: p for p in campaign["points"]}
    if index not in points:
        raise CampaignError(f"{folder}: no point {index}")
    point = points[index]
    where = os.path.join(folder, POINTS, point["name"])
    ntasks = ntasks or campaign.get("ntasks", 1)
    program = program or find_program(campaign["program"], ntasks=ntasks)
    check_program(campaign, program, folder)
    print(f"{point['name']}: {program} with {threads} thread(s)"
          f"{f' x {ntasks} processes' if ntasks > 1 else ''} on {socket.gethostname()}",
          flush=True)
    status = run_point(where, program, threads, ntasks)
    print(f"{point['name']}: {'done' if status == 0 else read_record(where)['reason']}",
          flush=True)
    return status


# ---------------------------------------------------------------------------
# States

def run_batch_command(command):
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return None
    return result.stdout if result.returncode == 0 else None


class Batch:
    """The states of Slurm tasks (JOB_TASK), asked once per command: squeue
    knows the queued, running and recently ended ones, sacct the older ones
    (from the accounting database, else from the job completion log, which
    knows a task by its own job id only: job_ids maps tasks to those)."""

    def __init__(self, tasks, job_ids):
        self.available = shutil.which("squeue") is not None
        self.states = {}
        if not tasks or not self.available:
            return
        self.ask(["squeue", "-h", "-r", "-t", "all", "-j", jobs_of(tasks), "-o", "%i|%T"])
        missing = [t for t in tasks if t not in self.states]
        if not missing or not shutil.which("sacct"):
            return
        if not self.ask(["sacct", "-n", "-P", "-X", "-j", jobs_of(missing), "-o", "JobID,State"]):
            own = {job_ids[t]: t for t in missing if job_ids.get(t)}
            if own:
                self.ask(["sacct", "-c", "-n", "-P", "-j", ",".join(own), "-o", "JobID,State"],
                         own)

    def ask(self, command, names=None):
        """Reads NAME|STATE lines; False where the command failed."""
        listing = run_batch_command(command)
        for line in (listing or "").splitlines():
            name, _, state = line.partition("|")
            name = names.get(name.strip(), "") if names else name.strip()
            if name and state.split():
                self.states.setdefault(name, state.split()[0])  # "CANCELLED by 0"
        return listing is not None

    def phase(self, task_name):
        """alive, waiting, ended, gone (from squeue and sacct) or unknown (no
        squeue here to ask), and Slurm's state of the task."""
        state = self.states.get(task_name)
        if state is None:
            return ("gone" if self.available else "unknown"), None
        if state in BATCH_ALIVE:
            return "alive", state
        return ("waiting" if state in BATCH_WAITING else "ended"), state


def jobs_of(tasks):
    return ",".join(sorted({t.split("_")[0] for t in tasks}))


def load_submissions(folder):
    try:
        with open(os.path.join(folder, SUBMISSIONS)) as f:
            return json.load(f)
    except FileNotFoundError:
        return []
    except (OSError, ValueError) as e:
        raise CampaignError(f"{folder}/{SUBMISSIONS}: unreadable ({e})") from None


def latest_submission(submissions):
    """{point index: JOB_TASK of the last array that took it}"""
    latest = {}
    for job in submissions:
        for index in job["points"]:
            latest[index] = f"{job['job']}_{index}"
    return latest


def point_states(folder, campaign=None):
    """[(point, state, detail, record)] for every point, from its folder (and from
    squeue and sacct for the points a job array took)."""
    campaign = campaign or load_campaign(folder)
    queued = latest_submission(load_submissions(folder))
    records = {p["index"]: read_record(os.path.join(folder, POINTS, p["name"]))
               for p in campaign["points"]}
    tasks, job_ids = set(), {}
    for point in campaign["points"]:
        record = records[point["index"]]
        if record and "exit" not in record and record.get("slurm_task"):
            tasks.add(record["slurm_task"])
            job_ids[record["slurm_task"]] = record.get("slurm_job_id")
        elif not record and point["index"] in queued:
            tasks.add(queued[point["index"]])
    batch = Batch(tasks, job_ids)
    here = socket.gethostname()
    states = []
    for point in campaign["points"]:
        where = os.path.join(folder, POINTS, point["name"])
        state, detail = point_state(where, records[point["index"]],
                                    queued.get(point["index"]), batch, here)
        record = records[point["index"]]
        if state == FAILED and resumable(where, record, record and record.get("program")):
            detail += "; resumable"
        states.append((point, state, detail, records[point["index"]]))
    return states


def point_state(where, record, queued_as, batch, here):
    """The state of one point and a few words about it."""
    if record and "exit" in record:
        if record["exit"] == 0:
            return DONE, f"{record.get('seconds', 0):.1f} s"
        return FAILED, record.get("reason") or f"exit status {record['exit']}"
    if record:  # started, not ended
        step = last_step(where)
        progress = f"at step {step}" if step is not None else "starting"
        slurm_task = record.get("slurm_task")
        if slurm_task:
            phase, state = batch.phase(slurm_task)
            if phase in ("alive", "unknown"):
                return RUNNING, f"{progress}, job {slurm_task} on {record.get('host')}"
            if phase == "waiting":
                return WAITING, f"requeued as job {slurm_task}"
            return FAILED, (f"job {slurm_task} ended ({state or 'unknown to squeue and sacct'}: "
                            f"{BATCH_ENDED.get(state, 'the job is gone')}) without recording "
                            f"the end of the run, {progress}")
        if record.get("host") != here:
            return RUNNING, f"{progress} on {record.get('host')} (not checked from {here})"
        pid = record.get("pid")
        if pid and process_start(pid) == record.get("pid_start"):
            return RUNNING, progress
        return FAILED, f"the run stopped without recording its end (killed?), {progress}"
    if queued_as:
        phase, state = batch.phase(queued_as)
        if phase in ("waiting", "unknown"):
            return WAITING, f"queued as job {queued_as}"
        if phase == "alive":
            return RUNNING, f"job {queued_as} starting"
        if phase == "ended":
            return FAILED, (f"job {queued_as} ended ({state}: {BATCH_ENDED.get(state, state)}) "
                            "before the run started")
        return WAITING, f"not run (job {queued_as} is gone)"
    return WAITING, "not run yet"


def last_step(folder):
    """The label of a point's last snapshot (from the names of its VTK files:
    the console of a running program lags behind, held in its buffer)."""
    try:
        names = os.listdir(folder)
    except OSError:
        return None
    labels = [int(m.group(1)) for m in map(SNAPSHOT_NAME.match, names) if m]
    return max(labels) if labels else None


def to_take(states, skip_failed):
    """The points a run or a submission takes: those not done and not under way."""
    return [point for point, state, _, _ in states
            if state == WAITING or (state == FAILED and not skip_failed)]


# ---------------------------------------------------------------------------
# Commands

def cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def command_plan(args):
    plan_campaign(args.plan, args.folder)
    return 0


def command_run(args):
    folder = campaign_folder(args.campaign)
    campaign = load_campaign(folder)
    ntasks = args.ntasks or campaign.get("ntasks", 1)
    program = find_program(args.program or campaign["program"], ntasks=ntasks)
    check_program(campaign, program, folder)
    states = point_states(folder, campaign)
    points = to_take(states, args.skip_failed)
    if not points:
        print(f"{folder}: nothing to run ({summary(states)})")
        return 0
    jobs = max(1, min(args.jobs, len(points)))
    threads = max(1, cores() // (jobs * ntasks))
    over = f" over {ntasks} processes" if ntasks > 1 else ""
    print(f"{folder}: {len(points)} of {len(states)} points, {jobs} at a time{over} with "
          f"{threads} worker thread(s) each; {program}", flush=True)
    started, running, failed = 0, {}, 0
    width = max(len(p["name"]) for p in points)
    begun = time.monotonic()
    try:
        while started < len(points) or running:
            while started < len(points) and len(running) < jobs:
                point = points[started]
                started += 1
                running[subprocess.Popen(
                    [sys.executable, ME, "task", folder, "--index", str(point["index"]),
                     "--program", program, "--threads", str(threads), "--ntasks", str(ntasks)],
                    stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)] = point
            ended = [p for p in running if p.poll() is not None]
            if not ended:
                time.sleep(0.2)
                continue
            point = running.pop(ended[0])
            record = read_record(os.path.join(folder, POINTS, point["name"])) or {}
            ok = record.get("exit") == 0
            failed += not ok
            done = started - len(running)
            outcome = (f"done in {record.get('seconds', 0):.0f} s" if ok else
                       f"FAILED: {record.get('reason', 'no record of the run')}")
            print(f"[{done:>{len(str(len(points)))}}/{len(points)}, "
                  f"{clock(time.monotonic() - begun)}] {point['name']:<{width}}  {outcome}",
                  flush=True)
    except KeyboardInterrupt:  # the tasks got it too: they record their runs' ends
        for process in running:
            process.wait()
        print(f"{folder}: interrupted; campaign.py run again takes the points not done")
        return 130
    print(f"{folder}: {summary(point_states(folder, campaign))}")
    return 1 if failed else 0


def clock(seconds):
    seconds = int(seconds)
    return f"{seconds // 3600}:{seconds % 3600 // 60:02d}:{seconds % 60:02d}"


def summary(states):
    counts = {}
    for _, state, _, _ in states:
        counts[state] = counts.get(state, 0) + 1
    return ", ".join(f"{counts[s]} {s}" for s in (DONE, FAILED, RUNNING, WAITING) if s in counts)


def array_ranges(indices):
    """0-3,5,7-8: the compact form of --array."""
    parts, indices = [], sorted(indices)
    start = previous = indices[0]
    for i in indices[1:] + [None]:
        if i is not None and i == previous + 1:
            previous = i
            continue
        parts.append(f"{start}-{previous}" if previous > start else str(start))
        if i is not None:
            start = previous = i
    return ",".join(parts)


def command_submit(args):
    folder = campaign_folder(args.campaign)
    campaign = load_campaign(folder)
    if not shutil.which("sbatch"):
        raise CampaignError("no sbatch here: submit from a machine of the Slurm cluster")
    ntasks = args.ntasks or campaign.get("ntasks", 1)
    program = find_program(args.program or campaign["program"], prefer_gpu=bool(args.gpus_per_task),
                           ntasks=ntasks)
    check_program(campaign, program, folder)
    states = point_states(folder, campaign)
    points = to_take(states, args.skip_failed)
    if not points:
        print(f"{folder}: nothing to submit ({summary(states)})")
        return 0
    os.makedirs(os.path.join(folder, "slurm"), exist_ok=True)
    absolute = os.path.abspath(folder)
    options = [f"--job-name={os.path.basename(absolute)}",
               f"--array={array_ranges([p['index'] for p in points])}",
               f"--output={absolute}/slurm/%A_%a.out", f"--ntasks={ntasks}",
               f"--cpus-per-task={args.cpus_per_task}"]
    for option, value in (("partition", args.partition), ("time", args.time),
                          ("gpus-per-task", args.gpus_per_task), ("account", args.account)):
        if value:
            options.append(f"--{option}={value}")
    script = os.path.join(folder, "slurm", f"array-{time.strftime('%Y%m%d-%H%M%S')}.sh")
    lines = ["#!/bin/bash", "# One task per point: the task number is the point's number,",
             "# its folder points/pNNN_...; a point over several processes (--ntasks) is one",
             "# MPI job in the task's allocation."]
    lines += [f"#SBATCH {o}" for o in options]
    lines.append(f"exec {sys.executable} {ME} task {absolute} --index \"$SLURM_ARRAY_TASK_ID\" "
                 f"--program {program} --threads \"${{SLURM_CPUS_PER_TASK:-1}}\" "
                 f"--ntasks {ntasks}")
    write_atomically(script, "\n".join(lines) + "\n")
    for point in points:  # a failed point is rerun or resumed: it shows as queued
        restart_arguments(os.path.join(folder, POINTS, point["name"]), program)
    try:
        result = subprocess.run(["sbatch", "--parsable", script], capture_output=True,
                                text=True, timeout=120)
    except subprocess.TimeoutExpired:
        raise CampaignError("sbatch did not answer within 2 minutes") from None
    if result.returncode != 0:
        said = (result.stderr.strip() or result.stdout.strip()).splitlines()
        raise CampaignError(f"sbatch refused the array: {said[-1] if said else result.returncode}")
    job = result.stdout.strip().split(";")[0]
    submissions = load_submissions(folder)
    submissions.append({"job": job, "points": [p["index"] for p in points],
                        "submitted": now_text(), "script": os.path.relpath(script, folder)})
    write_atomically(os.path.join(folder, SUBMISSIONS), json.dumps(submissions, indent=1) + "\n")
    print(job)
    print(f"{folder}: job {job}, {len(points)} tasks (--array="
          f"{array_ranges([p['index'] for p in points])}), {program}; "
          f"campaign.py status {folder}", file=sys.stderr)
    return 0


def command_status(args):
    folder = campaign_folder(args.campaign)
    states = point_states(folder)
    width = max(len(p["name"]) for p, _, _, _ in states)
    for point, state, detail, _ in states:
        print(f"{point['name']:<{width}}  {state:<7}  {detail}")
    print(f"{folder}: {len(states)} points: {summary(states)}")
    return 0


def command_collect(args):
    folder = campaign_folder(args.campaign)
    sys.path.insert(0, SCRIPTS)
    import campaign_results  # numpy and matplotlib
    campaign = load_campaign(folder)
    return campaign_results.collect(folder, campaign, point_states(folder, campaign))


def command_task(args):
    return task(args.campaign, args.index, args.program, args.threads, args.ntasks)


def parser():
    main = argparse.ArgumentParser(prog="campaign.py", description=__doc__.split("\n\n")[0])
    commands = main.add_subparsers(dest="command", required=True)
    plan = commands.add_parser("plan", help="plan the point folders of a plan file")
    plan.add_argument("plan")
    plan.add_argument("--folder", help="the campaign folder (default: the plan's folder entry, "
                      "else campaigns/PLAN_NAME)")
    plan.set_defaults(run=command_plan)
    for name, function, text in (("run", command_run, "run the points not done, here"),
                                 ("submit", command_submit, "submit the points not done as "
                                  "one Slurm job array"),
                                 ("status", command_status, "the state of every point"),
                                 ("collect", command_collect, "results.csv and pictures")):
        command = commands.add_parser(name, help=text)
        command.add_argument("campaign", help="campaign folder or plan file")
        command.set_defaults(run=function)
        if name in ("run", "submit"):
            command.add_argument("--program", help="the solver program (default: the plan's, "
                                 "else vdwflow, else vdwflow_b)")
            command.add_argument("--skip-failed", action="store_true",
                                 help="leave failed points as they are")
        if name in ("run", "submit"):
            command.add_argument("--ntasks", type=positive,
                                 help="processes of each point, one MPI job (vdwflow_mpi; "
                                 "default: the plan's ntasks, else 1)")
        if name == "run":
            command.add_argument("--jobs", type=positive, default=1,
                                 help="points at a time (default 1)")
        if name == "submit":
            command.add_argument("--partition")
            command.add_argument("--time", help="time limit of each task, e.g. 2:00:00")
            command.add_argument("--gpus-per-task", type=positive)
            command.add_argument("--cpus-per-task", type=positive, default=1)
            command.add_argument("--account")
    one = commands.add_parser("task", help="run one point (what each task of an array does)")
    one.add_argument("campaign")
    one.add_argument("--index", type=int, required=True)
    one.add_argument("--program")
    one.add_argument("--threads", type=positive, default=1)
    one.add_argument("--ntasks", type=positive)
    one.set_defaults(run=command_task)
    return main


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


def main(argv):
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)  # a listing cut short by head, quietly
    args = parser().parse_args(argv[1:])
    try:
        return args.run(args)
    except CampaignError as problem:
        print(f"campaign.py: {problem}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
