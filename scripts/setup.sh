#!/usr/bin/env bash
# Installs what building and running need, where it is missing (Debian).
#   scripts/setup.sh          the main job: build the solver, draw its pictures
#   scripts/setup.sh --tests  also what the tests need (GoogleTest, Google
#                             Benchmark, clang's libFuzzer, Slurm and munge, Open
#                             MPI, and what the Python package needs)
#   scripts/setup.sh --mpi    also Open MPI, for vdwflow_mpi (-DVDWFLOW_MPI=ON)
#   scripts/setup.sh --python what `pip install .` of the Python package needs
#                             (a virtual environment, Python's headers)
set -euo pipefail

needed=(cmake g++ make libboost-context-dev zlib1g-dev)
# The system python3 draws the pictures of a run (scripts/plot_run.py);
# scikit-image's marching cubes the interface of a three-dimensional one.
needed+=(python3-numpy python3-matplotlib python3-skimage)
if [ "${1:-}" = "--tests" ]; then
  needed+=(libgtest-dev libbenchmark-dev)
  # The fuzzing step: clang and its libFuzzer runtime.
  needed+=(clang libclang-rt-14-dev)
  # The campaign tool's test runs a one-node Slurm cluster.
  needed+=(munge slurmctld slurmd slurm-client)
  # vdwflow_mpi and its tests: Open MPI's launcher and headers.
  needed+=(openmpi-bin libopenmpi-dev)
  # The tests' virtual environment (scripts/python_env.sh), in which the
  # Python package is built (its extension needs Python's headers).
  needed+=(python3-venv python3-dev)
fi
if [ "${1:-}" = "--python" ]; then
  needed+=(python3-venv python3-dev)
fi
if [ "${1:-}" = "--mpi" ]; then
  needed+=(openmpi-bin libopenmpi-dev)
fi
missing=()
for pkg in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
