"""The examples of examples/python run (small lattices: --small) and say what they found."""
import os
import subprocess
import sys

import pytest

from conftest import ROOT

EXAMPLES = {
    "main_job.py": "step    200: density",
    "laplace_drop.py": "pressure jump",
    "wetting_sweep.py": "+8.0e-04",
    "live_drop.py": "the last frame is in live_drop.png",
}


@pytest.mark.parametrize("example", list(EXAMPLES))
def test_example_runs(tmp_path, example):
    result = subprocess.run(
        [sys.executable, os.path.join(ROOT, "examples", "python", example), "--small"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
        env=dict(os.environ, MPLBACKEND="Agg"))
    assert result.returncode == 0, result.stderr
    assert EXAMPLES[example] in result.stdout
    assert "Warning" not in result.stderr, result.stderr
