#!/usr/bin/env bash
# Builds everything this machine can build and runs every test:
#   - the cuda backend, where nvcc exists (its programs are then also run
#     here: without a GPU they must fail cleanly);
#   - the cpu backend, with all tests, vdwflow_mpi's on 1 to 8 processes
#     (Open MPI) among them, and the Python package (pip install . into the
#     tests' virtual environment) with its tests;
#   - the cpu backend under AddressSanitizer and UBSan, all tests but the
#     long physics runs, the soak run and the 3-D runs of thousands of steps
#     (its build keeps line tables only, -g1: full debug information's
#     variable tracking makes the device state's file a nine-minute compile);
#   - a minute and a half of fuzzing of the parameter file reader and the
#     start-up check, and of the readers of initial densities and solid masks
#     (libFuzzer, AddressSanitizer, UBSan).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
scripts/setup.sh --tests

jobs=$(nproc)
phase() { echo "== $* (at ${SECONDS} s)"; }
cuda_bin=""
nvcc=$(find_nvcc)
if [ -n "$nvcc" ]; then
  phase "cuda backend ($nvcc)"
  cmake --preset cuda -DCMAKE_CUDA_COMPILER="$nvcc" -DVDWFLOW_MPI=ON >/dev/null
  cmake --build --preset cuda -j "$jobs"
  cuda_bin="$PWD/build/cuda/bin"
else
  phase "cuda backend: no nvcc here, skipped"
fi

phase "python environment of the tests, and the vdwflow package installed into it"
python=$(scripts/python_env.sh)
"$python" -m pip install --quiet --disable-pip-version-check --no-build-isolation .

phase "cpu backend"
cmake --preset cpu -DVDWFLOW_CUDA_BIN_DIR="$cuda_bin" -DVDWFLOW_PYTHON_VTK="$python" \
  -DVDWFLOW_PYTHON_PACKAGE="$python" -DVDWFLOW_MPI=ON >/dev/null
cmake --build --preset cpu -j "$jobs"
ctest --preset cpu -j "$jobs" --no-tests=error

phase "cpu backend with sanitizers"
cmake --preset asan -DVDWFLOW_CUDA_BIN_DIR="$cuda_bin" >/dev/null
cmake --build --preset asan -j "$jobs"
ctest --preset asan -j "$jobs" -LE 'physics|soak|long' --no-tests=error

phase "fuzzing the readers of parameter files, initial densities and masks"
scripts/fuzz.sh 90
phase "done"
