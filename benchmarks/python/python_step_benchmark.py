#!/usr/bin/env python3
"""The step from Python beside the program's: Google Benchmark's figure of vdwflow's periodic
step at 512^2 (lean_forms_benchmark, all workers) and a Python timing of Simulation.step(1000)
on the same lattice and parameters, in alternating rounds; then the cost of the fields'
copies beside a numpy copy of the same bytes.

    build/venv/bin/python benchmarks/python/python_step_benchmark.py [build/cpu/bin/lean_forms_benchmark] [--rounds 3]
"""
import argparse
import json
import os
import subprocess
import time

import numpy as np

import vdwflow

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SIDE = 512


def program_mlups(benchmark):
    """Google Benchmark's MLUPS of the periodic step at 512^2 (best of 3 repetitions)."""
    out = os.path.join(os.environ.get("TMPDIR", "/tmp"), f"python_step_benchmark.{os.getpid()}.json")
    subprocess.run([benchmark, "--benchmark_filter=vdwflow/form/side:512/form:0/",
                    "--benchmark_min_time=2", "--benchmark_repetitions=3",
                    f"--benchmark_out={out}", "--benchmark_out_format=json"],
                   capture_output=True, text=True, check=True)
    with open(out) as f:
        runs = json.load(f)["benchmarks"]
    os.remove(out)
    return max(r["MLUPS"] for r in runs if r.get("run_type") == "iteration")


def python_mlups(sim, steps=1000, repetitions=3):
    """Simulation.step(steps) at 512^2, best of `repetitions`."""
    best = 0.0
    for _ in range(repetitions):
        start = time.perf_counter()
        sim.step(steps)
        seconds = time.perf_counter() - start
        best = max(best, SIDE * SIDE * steps / seconds / 1e6)
    return best


def best_time(call, repetitions=20):
    best = float("inf")
    for i in range(repetitions):
        start = time.perf_counter()
        call(i)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("benchmark", nargs="?",
                        default=os.path.join(ROOT, "build", "cpu", "bin", "lean_forms_benchmark"))
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    sim = vdwflow.Simulation({"nodes_x": SIDE, "nodes_y": SIDE})
    sim.step(200)  # (warm: pages touched, the fluid past its first steps)
    print(f"{'round':>5} {'program MLUPS':>14} {'Python MLUPS':>13} {'Python / program':>17}")
    for r in range(1, args.rounds + 1):
        p = program_mlups(args.benchmark)
        q = python_mlups(sim)
        print(f"{r:>5} {p:>14.2f} {q:>13.2f} {q / p:>17.3f}")

    # (sources cycled through 128 MiB, so that np.copy reads from memory as
    # the fields' transfers do)
    planes = np.random.default_rng(1).random((64, SIDE, SIDE))
    pairs = np.random.default_rng(2).random((32, SIDE, SIDE, 2))
    print(f"\nfields at {SIDE}^2 (best of 20): the copy out against np.copy of as many bytes")
    for name, get, like in (("density", lambda i: sim.density, lambda i: planes[i % 64]),
                            ("velocity", lambda i: sim.velocity, lambda i: pairs[i % 32]),
                            ("pressure", lambda i: sim.pressure, lambda i: planes[i % 64])):
        t, c = best_time(get), best_time(lambda i: np.copy(like(i)))
        print(f"{name:>10}: {t * 1e3:7.3f} ms, np.copy {c * 1e3:7.3f} ms, ratio {t / c:5.2f}")
    sim.close()

    import matplotlib
    matplotlib.use("Agg")
    from vdwflow.live import _Picture
    with vdwflow.Simulation({"nodes_x": 256, "nodes_y": 256}) as small:
        small.step(200)
        picture = _Picture(small, 24, None, None)
        frame = best_time(lambda i: picture.update(small), 10)
        steps = best_time(lambda i: small.step(1000), 3)
    print(f"\nlive picture at 256^2: a frame {frame * 1e3:.1f} ms, 1 000 steps "
          f"{steps * 1e3:.0f} ms: {100 * frame / steps:.1f} % of the run at every=1000")


if __name__ == "__main__":
    main()
