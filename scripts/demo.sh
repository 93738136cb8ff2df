#!/usr/bin/env bash
# The main job: builds the solver (the cuda backend where a GPU and nvcc are,
# else the cpu backend), and runs vdwflow_a on examples/nw2cuda.input in a
# fresh folder under run/.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
scripts/setup.sh

nvcc=$(find_nvcc)
if gpu_present && [ -n "$nvcc" ]; then
  preset=cuda
  cmake --preset cuda -DCMAKE_CUDA_COMPILER="$nvcc" -DCMAKE_CUDA_ARCHITECTURES=native >/dev/null
else
  preset=cpu
  cmake --preset cpu >/dev/null
fi
cmake --build --preset "$preset" -j "$(nproc)" --target vdwflow_a

dir="run/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$dir"
cp examples/nw2cuda.input "$dir/"
echo "== running build/$preset/bin/vdwflow_a in $dir"
(cd "$dir" && "../../build/$preset/bin/vdwflow_a")

echo
echo "== snapshots in $dir:"
echo "   BP* density profile along the middle row (two columns: x, density)"
echo "   BV* density image, plain PGM (any PGM viewer, e.g. 'display' or GIMP;"
echo "       dark is dense liquid, light is vapour)"
echo "   PV*.vtk density on the lattice (ParaView or any VTK viewer)"
ls "$dir" | tail -n 3
