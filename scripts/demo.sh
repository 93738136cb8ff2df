#!/usr/bin/env bash
# The main job: builds the solver (the cuda backend where a GPU and nvcc are,
# else the cpu backend), and runs vdwflow, the lean solver, on
# examples/nw2cuda.input (or the parameter file given) in a fresh folder under
# run/. The program's console goes into the folder's console.txt; the terminal
# shows its progress, then the final density range, the bulk densities beside
# the equal-area values, and the pictures of the run.
# Usage: scripts/demo.sh [PARAMETER_FILE]
set -euo pipefail
input=$(realpath -e "${1:-$(dirname "$0")/../examples/nw2cuda.input}" 2>/dev/null) ||
  { echo "demo: no parameter file ${1:-examples/nw2cuda.input}" >&2; exit 2; }
cd "$(dirname "$0")/.."
root=$PWD
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
cmake --build --preset "$preset" -j "$(nproc)" --target vdwflow

dir="run/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$dir"
# The run reads its parameter file in the run folder: the files it names
# (-hinit_file, -hsolid_file) are found where they lie beside the original.
awk -v here="$(dirname "$input")" '
  { for (i = 1; i <= NF; i++) tokens[n++] = $i }
  END {
    for (i = 0; i + 1 < n; i += 2) {
      value = tokens[i + 1]
      if ((tokens[i] == "-hinit_file" || tokens[i] == "-hsolid_file") && value !~ /^\//)
        value = here "/" value
      print tokens[i], value
    }
    if (n % 2) print tokens[n - 1]
  }' "$input" >"$dir/nw2cuda.input"
echo "== running build/$preset/bin/vdwflow in $dir (its console: $dir/console.txt)"
# Line-buffered standard output keeps the console's lines in the order a
# terminal would show them.
linebuf=()
command -v stdbuf >/dev/null && linebuf=(stdbuf -oL)
set +e
(cd "$dir" && exec "${linebuf[@]}" "$root/build/$preset/bin/vdwflow") 2>&1 |
  scripts/run_progress.py "$dir/console.txt" "$dir/nw2cuda.input"
status=("${PIPESTATUS[@]}")
set -e
if [ "${status[0]}" -eq 130 ] || [ "${status[0]}" -eq 143 ]; then
  echo "== vdwflow stopped, with a checkpoint in $dir; to continue:"
  echo "   (cd $dir && $root/build/$preset/bin/vdwflow --resume)"
  exit "${status[0]}"
fi
if [ "${status[0]}" -ne 0 ]; then
  echo "== vdwflow failed, exit status ${status[0]}; the end of $dir/console.txt:"
  tail -n 12 "$dir/console.txt" | grep -v '^$' || true
  if compgen -G "$dir/PV*.vt[ki]" >/dev/null; then
    echo "== pictures of the snapshots it wrote: scripts/plot_run.py $dir"
  fi
  exit "${status[0]}"
fi
[ "${status[1]}" -eq 0 ] || { echo "== the progress display failed; see $dir/console.txt"; exit 1; }

echo "== pictures (scripts/plot_run.py $dir)"
scripts/plot_run.py "$dir"
if compgen -G "$dir/BP*" >/dev/null; then
  echo "== snapshot files in $dir: BP* density profile along the middle row (x, density),"
  echo "   BV* density image, plain PGM (dark is liquid), PV*.vtk density for ParaView"
fi
if compgen -G "$dir/PV*.pvd" >/dev/null; then
  echo "== for ParaView: $(ls "$dir"/PV*.pvd) (every snapshot's .vti: density, velocity, pressure)"
fi
