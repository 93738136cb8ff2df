#!/usr/bin/env bash
# The Python environment of the tests: a virtual environment in build/venv
# (Debian's system Python refuses `pip install` outside one) with the
# packages the tests use: vtk (VTK's own readers check the .vti files), what
# builds the vdwflow package (nanobind, scikit-build-core) and what tests it
# (pytest, matplotlib for its live picture). Made once; run again, it only
# installs what is missing. Prints the interpreter's path.
#   scripts/python_env.sh
set -euo pipefail
cd "$(dirname "$0")/.."
venv=$PWD/build/venv
packages=(numpy vtk nanobind scikit-build-core pytest matplotlib)
if [ ! -x "$venv/bin/python" ]; then
  /usr/bin/python3 -m venv "$venv" >&2
fi
if ! "$venv/bin/python" -c "import numpy, vtk, nanobind, scikit_build_core, pytest, matplotlib" \
    2>/dev/null; then
  echo "python_env: installing ${packages[*]} into $venv" >&2
  "$venv/bin/pip" install --quiet --disable-pip-version-check "${packages[@]}" >&2
fi
echo "$venv/bin/python"
