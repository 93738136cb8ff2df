#!/usr/bin/python3
"""Progress of a solver run, read from its console.

Usage: SOLVER_PROGRAM 2>&1 | scripts/run_progress.py CONSOLE_FILE INPUT_FILE

Copies everything the program prints, byte for byte, into CONSOLE_FILE and
shows instead the steps done of the total, the speed in MLUPS (million node
updates per second, wall clock) and the time left: refreshed in place on a
terminal, else one line every few seconds (at most about a hundred for a run).
The lattice size and the number of steps come from the run's parameter file.
"""
import collections
import os
import re
import signal
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_folder import parameter, read_parameters  # noqa: E402

TIMING = b"Total Time ="
SNAPSHOT = re.compile(rb"iter=(-?\d+)  ntot=")
REFRESH_S = 0.25     # on a terminal
LINE_EVERY_S = 5.0   # elsewhere, and at least a hundredth of the run apart
WINDOW_S = 10.0      # the speed is taken over this much of the recent past
SAMPLE_S = 0.1       # time between two samples of it


def run_parameters(path):
    """The nodes (hnodes_x * hnodes_y * hnodes_z), the number of steps and hlast_iter
    of a parameter file."""
    values = read_parameters(path)
    get = lambda key: parameter(values, key)
    layers = max(1, get("hnodes_z"))
    return (get("hnodes_x") * get("hnodes_y") * layers, get("hniter_cycle") * get("hncycles"),
            get("hlast_iter"))


def clock(seconds):
    seconds = int(seconds + 0.5)
    h, rest = divmod(seconds, 3600)
    return f"{h}:{rest // 60:02d}:{rest % 60:02d}" if h else f"{rest // 60}:{rest % 60:02d}"


class Progress:
    def __init__(self, nodes, total, first_label, out):
        self.nodes, self.total, self.first_label, self.out = nodes, total, first_label, out
        self.on_terminal = out.isatty()
        self.base = 0      # steps done at the last snapshot, from its label
        self.since = 0     # timing lines after it
        self.started = None
        self.samples = collections.deque()  # (time, steps done)
        self.shown_at, self.shown_done = 0.0, -1

    @property
    def done(self):
        return max(0, min(self.total, self.base + self.since))

    def line(self, text):
        # Step counting: one timing line per step; every snapshot line names
        # the step reached, which puts the count right again where an error
        # line of the program has broken a timing line.
        self.since += text.count(TIMING)
        m = SNAPSHOT.search(text)
        if m:
            self.base, self.since = int(m.group(1)) - self.first_label, 0
            if self.started is None:
                self.started = self.shown_at = time.monotonic()

    def speed(self, now):
        """Steps per second over the recent past. The program's output may
        come in blocks, so samples are taken as it arrives."""
        if not self.samples or now - self.samples[-1][0] >= SAMPLE_S:
            self.samples.append((now, self.done))
        while len(self.samples) > 2 and now - self.samples[1][0] > WINDOW_S:
            self.samples.popleft()
        (t0, d0), (t1, d1) = self.samples[0], self.samples[-1]
        return (d1 - d0) / (t1 - t0) if t1 > t0 and d1 > d0 else 0.0

    def show(self):
        now = time.monotonic()
        if self.started is None:
            return
        rate = self.speed(now)
        if self.on_terminal:
            if now - self.shown_at < REFRESH_S:
                return
        elif (now - self.shown_at < LINE_EVERY_S or
              self.done - self.shown_done < max(1, self.total / 100)):
            return
        done = self.done
        text = f"step {done:>{len(str(self.total))}} of {self.total}"
        if self.total:
            text += f"  {100.0 * done / self.total:5.1f} %"
        if rate > 0:
            text += (f"  {rate * self.nodes / 1e6:8.2f} MLUPS"
                     f"  {clock((self.total - done) / rate)} left")
        if self.on_terminal:
            self.out.write("\r" + text + "\x1b[K")
        else:
            self.out.write(text + "\n")
        self.out.flush()
        self.shown_at, self.shown_done = now, done

    def finish(self):
        seconds = time.monotonic() - self.started if self.started is not None else 0.0
        text = f"{self.done} of {self.total} steps in {seconds:.1f} s"
        if seconds > 0 and self.done:
            text += f", {self.done * self.nodes / seconds / 1e6:.2f} MLUPS on average"
        self.out.write(("\r" + text + "\x1b[K\n") if self.on_terminal else text + "\n")
        self.out.flush()


def main(argv):
    if len(argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    console_path, input_path = argv[1:]
    # Ctrl-C reaches the solver too; vdwflow then writes a checkpoint and its
    # last lines, which are kept: the display goes on until the program ends.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        progress = Progress(*run_parameters(input_path), sys.stdout)
        with open(console_path, "wb") as console:
            copy(console, progress)
    except OSError as failure:
        print(f"run_progress.py: {failure}", file=sys.stderr)
        return 1
    progress.finish()
    return 0


def copy(console, progress):
    """Standard input into the console file, line by line into the display."""
    pending = b""
    while True:
        chunk = os.read(0, 1 << 16)
        if not chunk:
            break
        console.write(chunk)
        console.flush()
        lines = (pending + chunk).split(b"\n")
        pending = lines.pop()
        for line in lines:
            progress.line(line)
        progress.show()
    progress.line(pending)


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except KeyboardInterrupt:
        print()
        sys.exit(130)
