"""The keys of vdwflow's parameter file, as the program defines them: every
key's kind, words, range, default and description, and the parameter
readers' limits (`vdwflow --keys`).

    from vdwflow import keys
    keys.KEYS["-hwalls"]["words"]      # ['none', 'x', 'y', 'xy']
    keys.PATH_KEYS                     # keys whose values are files
    keys.words("-hscheme")             # a choice's words, in the order of their numbers

The table comes from the package's extension; where it is not built (a
source tree read by the scripts), from the program: VDWFLOW_PROGRAM, or
build/cpu/bin/vdwflow (build/cuda/bin/vdwflow) of the repository, or vdwflow
on the PATH.
"""
import json
import os
import shutil
import subprocess


def _table_text():
    try:
        from . import _core
        return _core.keys_json()
    except ImportError:
        pass
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    candidates = [os.environ.get("VDWFLOW_PROGRAM"),
                  os.path.join(root, "build", "cpu", "bin", "vdwflow"),
                  os.path.join(root, "build", "cuda", "bin", "vdwflow"),
                  shutil.which("vdwflow")]
    for program in candidates:
        if program and os.access(program, os.X_OK):
            done = subprocess.run([program, "--keys"], capture_output=True, text=True)
            if done.returncode == 0:
                return done.stdout
    raise ImportError("vdwflow's keys: neither the package's extension nor the program vdwflow "
                      "is at hand (build it, or set VDWFLOW_PROGRAM)")


TABLE = json.loads(_table_text())
KEYS = {k["name"]: k for k in TABLE["keys"]}
PATH_KEYS = tuple(name for name, k in KEYS.items() if k["kind"] == "path")
# The parameter readers' limits: pairs, and characters of a token.
LIMITS = (TABLE["pairs"], TABLE["token_characters"])
SOLVER_PROGRAM_LIMITS = (TABLE["solver_programs"]["pairs"],
                         TABLE["solver_programs"]["token_characters"])


def words(name):
    """The words of a key that takes one, in the order of their numbers."""
    return tuple(KEYS[name]["words"])
