#!/usr/bin/python3
"""A campaign on a real Slurm: a one-node cluster of this machine (munged,
slurmctld, slurmd from Debian's packages, started here in a private folder
on private ports), a small campaign submitted as a job array, one task ended
by the batch system, the rest waited for and collected; the daemons stopped
by their process ids at the end, whatever happened.

Usage: campaign_slurm_test.py PATH_TO_VDWFLOW_B [PATH_TO_VDWFLOW_MPI]

With vdwflow_mpi, also a campaign whose points are MPI jobs of two tasks
(ntasks = 2), their files those of one process.

Exit status 77 (skipped, with the reason) where the cluster cannot run here:
not root, the packages missing, a daemon that does not come up.
"""
import csv
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
CAMPAIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                        "campaign.py")
PROGRAMS = ("munged", "slurmctld", "slurmd", "sbatch", "squeue", "scancel", "sacct", "sinfo")
BASE = ("-hnodes_x 32 -hnodes_y 8 -hniter 0 -hniter_cycle 100 -hncycles 3 -hlast_iter 0\n"
        "-hRTzero 1.0 -htemperature 0.9 -hdelta_time 0.0002 -hkappa 0.0001 "
        "-hrho_zero 1.0 -htau 0.001\n")
# Three points of 300 steps, and one of ten million steps that the batch
# system ends (as it would at a time limit).
PLAN = ('base = "base.input"\nprogram = "{program}"\n'
        "points = [{{htemperature = 0.9}}, {{htemperature = 0.85}}, {{htemperature = 0.8}},\n"
        "          {{htemperature = 0.9, hncycles = 100000}}]\n")
LONG = 3


class Skip(Exception):
    pass


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Cluster:
    """munged, slurmctld and slurmd in the foreground, as children of this
    process, with everything they keep under one private folder."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="slurm-test.")
        os.chmod(self.dir, 0o755)  # the job steps' programs read the campaign below it
        self.processes = []
        self.conf = os.path.join(self.dir, "slurm.conf")
        self.env = dict(os.environ, SLURM_CONF=self.conf)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def node_line(self, name):
        """This machine's cores and memory, as slurmd sees them."""
        try:
            line = subprocess.run(["slurmd", "-C"], capture_output=True, text=True,
                                  timeout=30).stdout.splitlines()[0]
            fields = [f for f in line.split() if not f.startswith("NodeName=")]
            if not any(f.startswith("CPUs=") for f in fields):
                raise IndexError
        except (IndexError, OSError, subprocess.TimeoutExpired):
            with open("/proc/meminfo") as f:
                memory = int(f.readline().split()[1]) // 1024
            fields = [f"CPUs={os.cpu_count()}", f"RealMemory={memory}"]
        return f"NodeName={name} NodeAddr=127.0.0.1 {' '.join(fields)} State=UNKNOWN"

    def configure(self):
        for sub in ("munge", "state", "spool", "log"):
            os.mkdir(self.path(sub))
        key = self.path("munge", "munge.key")
        with open(key, "wb") as f:
            f.write(os.urandom(128))
        os.chmod(key, 0o600)
        host = socket.gethostname().split(".")[0]
        self.partition = "campaigntest"
        lines = ["ClusterName=campaigntest", f"SlurmctldHost={host}(127.0.0.1)",
                 f"SlurmctldPort={free_port()}", f"SlurmdPort={free_port()}",
                 "SlurmUser=root", "SlurmdUser=root", "AuthType=auth/munge",
                 "CredType=cred/munge", f"AuthInfo=socket={self.path('munge', 'socket')}",
                 f"StateSaveLocation={self.path('state')}",
                 f"SlurmdSpoolDir={self.path('spool')}",
                 f"SlurmctldPidFile={self.path('slurmctld.pid')}",
                 f"SlurmdPidFile={self.path('slurmd.pid')}",
                 f"SlurmctldLogFile={self.path('log', 'slurmctld.log')}",
                 f"SlurmdLogFile={self.path('log', 'slurmd.log')}",
                 "ProctrackType=proctrack/linuxproc", "TaskPlugin=task/none",
                 "JobAcctGatherType=jobacct_gather/none",
                 "AccountingStorageType=accounting_storage/none",
                 # No accounting database: sacct -c reads the completion log.
                 "JobCompType=jobcomp/filetxt", f"JobCompLoc={self.path('log', 'jobcomp.txt')}",
                 "SchedulerType=sched/builtin", "SelectType=select/cons_tres",
                 "SelectTypeParameters=CR_Core", "MpiDefault=none", "ReturnToService=2",
                 "KillWait=5", "MailProg=/bin/true", self.node_line(host),
                 f"PartitionName={self.partition} Nodes=ALL Default=YES MaxTime=INFINITE "
                 "State=UP"]
        with open(self.conf, "w") as f:
            f.write("\n".join(lines) + "\n")

    def spawn(self, name, command):
        log = open(self.path("log", name + ".out"), "wb")
        self.processes.append((name, subprocess.Popen(command, stdout=log,
                                                      stderr=subprocess.STDOUT,
                                                      stdin=subprocess.DEVNULL, env=self.env)))

    def log_end(self, name):
        try:
            with open(self.path("log", name)) as f:
                return " | ".join(f.read().strip().splitlines()[-3:])
        except OSError:
            return "no log"

    def start(self):
        self.configure()
        munge = self.path("munge")
        self.spawn("munged", ["munged", "-F", "--force", f"--key-file={munge}/munge.key",
                              f"--socket={munge}/socket", f"--pid-file={munge}/munged.pid",
                              f"--seed-file={munge}/seed", f"--log-file={munge}/munged.log"])
        self.wait_for(lambda: os.path.exists(f"{munge}/socket"), 15, "munged",
                      "munged.out")
        self.spawn("slurmctld", ["slurmctld", "-D", "-f", self.conf])
        self.spawn("slurmd", ["slurmd", "-D", "-f", self.conf])
        self.wait_for(lambda: self.command(["sinfo", "-h", "-o", "%T"]).strip() == "idle", 30,
                      "the node", "slurmd.log")

    def wait_for(self, ready, seconds, what, log):
        deadline = time.monotonic() + seconds
        while not ready():
            for name, process in self.processes:
                if process.poll() is not None:
                    raise Skip(f"{name} cannot run here (exit status {process.returncode}): "
                               f"{self.log_end(name + '.out')}")
            if time.monotonic() > deadline:
                raise Skip(f"{what} did not come up within {seconds} s: {self.log_end(log)}")
            time.sleep(0.2)

    def command(self, command):
        result = subprocess.run(command, capture_output=True, text=True, timeout=60, env=self.env)
        return result.stdout if result.returncode == 0 else ""

    def stop(self):
        """Ends the jobs left, then the daemons this process started, by their ids."""
        if any(p.poll() is None for _, p in self.processes):
            self.command(["scancel", "--partition", self.partition])
            deadline = time.monotonic() + 20
            while self.command(["squeue", "-h"]).strip() and time.monotonic() < deadline:
                time.sleep(0.2)
        for name, process in reversed(self.processes):
            if process.poll() is None:
                os.kill(process.pid, 15)
                try:
                    process.wait(15)
                except subprocess.TimeoutExpired:
                    os.kill(process.pid, 9)
                    process.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


def check(condition, message):
    if not condition:
        raise Failure(message)


def campaign(cluster, *args):
    result = subprocess.run([CAMPAIGN, *args], capture_output=True, text=True, timeout=120,
                            env=cluster.env, cwd=cluster.path("work"))
    return result


def states(cluster, folder):
    listing = campaign(cluster, "status", folder).stdout.splitlines()[:-1]
    return [line.split(None, 2)[1:] + [""] * (3 - len(line.split(None, 2)))
            for line in listing]


def wait_states(cluster, folder, wanted, seconds):
    deadline = time.monotonic() + seconds
    while True:
        now = states(cluster, folder)
        if [s for s, _ in now] == wanted:
            return now
        check(time.monotonic() < deadline,
              f"after {seconds} s the points are {now}, not {wanted}")
        time.sleep(0.5)


def exercise(cluster, program):
    """Submits, ends one task, waits for the others, collects; checks what
    the campaign and Slurm say."""
    work = cluster.path("work")
    os.mkdir(work)
    with open(os.path.join(work, "base.input"), "w") as f:
        f.write(BASE)
    with open(os.path.join(work, "plan.toml"), "w") as f:
        f.write(PLAN.format(program=program))
    submitted = campaign(cluster, "submit", "plan.toml", "--time", "10", "--cpus-per-task", "1",
                         "--partition", cluster.partition)
    check(submitted.returncode == 0, f"submit: {submitted.stderr}")
    job = submitted.stdout.strip()
    check(job.isdigit(), f"submit printed {submitted.stdout!r}, not a job id")
    folder = os.path.join("campaigns", "plan")

    now = wait_states(cluster, folder, ["done", "done", "done", "running"], 60)
    check(f"job {job}_{LONG}" in now[LONG][1], f"running point: {now[LONG][1]}")
    cluster.command(["scancel", f"{job}_{LONG}"])
    now = wait_states(cluster, folder, ["done", "done", "done", "failed"], 30)
    check("SIGTERM" in now[LONG][1] or "CANCELLED" in now[LONG][1], f"reason: {now[LONG][1]}")
    again = campaign(cluster, "submit", folder, "--skip-failed")
    check("nothing to submit" in again.stdout, f"submit again: {again.stdout}{again.stderr}")

    collected = campaign(cluster, "collect", folder)
    # (status 1: one point failed, on purpose)
    check(os.path.exists(os.path.join(work, folder, "results.csv")),
          f"collect, status {collected.returncode}: {collected.stdout}{collected.stderr}")
    with open(os.path.join(work, folder, "results.csv")) as f:
        rows = list(csv.DictReader(f))
    check([r["status"] for r in rows] == ["done", "done", "done", "failed"],
          f"collect: {[r['status'] for r in rows]} {collected.stderr}")
    check([r["final_step"] for r in rows[:3]] == ["300"] * 3,
          f"final steps {[r['final_step'] for r in rows]}")
    check(all(abs(float(r["total_drift"])) < 1e-12 for r in rows[:3]), "total density drifted")

    # Slurm ran them: each point's record names its task, and Slurm's own
    # completion log (sacct -c, there being no accounting database) has the
    # three short tasks completed and the long one cancelled.
    own_ids = []
    for row in rows:
        with open(os.path.join(work, folder, "points", row["point"], "run.json")) as f:
            record = json.load(f)
        index = rows.index(row)
        check(record.get("slurm_task") == f"{job}_{index}", f"record of {row['point']}: {record}")
        own_ids.append(record["slurm_job_id"])
    accounted = dict(line.split("|")[:2] for line in cluster.command(
        ["sacct", "-c", "-n", "-P", "-o", "JobID,State", "-j", ",".join(own_ids)]).split())
    check([accounted.get(i) for i in own_ids] == ["COMPLETED"] * 3 + ["CANCELLED"],
          f"sacct: {accounted} for {own_ids}")
    print(f"job {job}: tasks {', '.join(own_ids)} {[accounted.get(i) for i in own_ids]}")


def exercise_processes(cluster, program):
    """Two points of two processes each: one MPI job in each task's
    allocation, as one process writes them (the checkpoint's bytes)."""
    work = cluster.path("work")
    plan = ('base = "base.input"\nprogram = "{program}"\nntasks = 2\n'
            "points = [{{htemperature = 0.9}}, {{htemperature = 0.85, hwalls = \"y\"}}]\n")
    with open(os.path.join(work, "mpi.toml"), "w") as f:
        f.write(plan.format(program=program))
    submitted = campaign(cluster, "submit", "mpi.toml", "--time", "10", "--partition",
                         cluster.partition)
    check(submitted.returncode == 0, f"submit: {submitted.stderr}")
    folder = os.path.join("campaigns", "mpi")
    wait_states(cluster, folder, ["done", "done"], 90)
    single = os.path.join(os.path.dirname(program), "vdwflow")
    for point in sorted(os.listdir(os.path.join(work, folder, "points"))):
        where = os.path.join(work, folder, "points", point)
        with open(os.path.join(where, "run.json")) as f:
            check(json.load(f).get("ntasks") == 2, f"{point}: not a point of 2 tasks")
        with open(os.path.join(where, "console.txt")) as f:
            check("2 processes, a grid of" in f.read(), f"{point}: not run over 2 processes")
        alone = os.path.join(work, "alone-" + point)
        os.mkdir(alone)
        shutil.copy(os.path.join(where, "nw2cuda.input"), alone)
        subprocess.run([single, "-q"], cwd=alone, capture_output=True, timeout=120)
        with open(os.path.join(where, "vdwflow.checkpoint"), "rb") as a, \
                open(os.path.join(alone, "vdwflow.checkpoint"), "rb") as b:
            check(a.read() == b.read(), f"{point}: the checkpoint of 2 processes differs")
    print("2 points of 2 processes each: the bytes of one process")


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit(__doc__)
    program = os.path.abspath(argv[1])
    parallel = os.path.abspath(argv[2]) if len(argv) == 3 else None
    if os.geteuid() != 0:
        print("skipped: a one-node Slurm needs root (slurmd runs the jobs as their users)")
        return SKIPPED
    missing = [p for p in PROGRAMS if not shutil.which(p)]
    if missing:
        print(f"skipped: no {', '.join(missing)} here (scripts/setup.sh installs munge, "
              "slurmctld, slurmd and slurm-client)")
        return SKIPPED
    cluster = Cluster()
    started = time.monotonic()
    try:
        try:
            cluster.start()
        except Skip as reason:
            print(f"skipped: {reason}")
            return SKIPPED
        print(f"cluster up in {time.monotonic() - started:.1f} s ({cluster.dir})")
        exercise(cluster, program)
        if parallel:
            exercise_processes(cluster, parallel)
    except Failure as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        cluster.stop()
    print(f"passed in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
