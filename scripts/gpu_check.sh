#!/usr/bin/env bash
# The check for a machine with an NVIDIA GPU, in one go:
#   - builds the cuda backend for the GPU at hand and the cpu backend;
#   - runs the five benchmark programs on the GPU;
#   - runs vdwflow_a, _b and _c on the same input on both backends and compares
#     every snapshot file byte for byte (the two backends must agree exactly);
#   - times the solver on the GPU (per-step and whole-run lines of the console,
#     and the example run).
# Usage: scripts/gpu_check.sh [report-folder]   (default: gpu-check/)
# CUDA_ARCHS overrides the GPU architecture (default: native, the GPU at hand).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/common.sh
report_dir=$(realpath -m "${1:-gpu-check}")
mkdir -p "$report_dir"
report="$report_dir/report.txt"
: >"$report"
say() { echo "$@" | tee -a "$report"; }

nvcc=$(find_nvcc)
[ -n "$nvcc" ] || { say "no nvcc: nothing to check"; exit 1; }
say "== machine"
{ nvidia-smi -L 2>&1 || true; } | tee -a "$report"
jobs=$(nproc)
cmake --preset cuda -DCMAKE_CUDA_COMPILER="$nvcc" -DCMAKE_CUDA_ARCHITECTURES="${CUDA_ARCHS:-native}" >/dev/null &&
  cmake --build --preset cuda -j "$jobs" >"$report_dir/build-cuda.log" 2>&1 ||
  { say "cuda build failed: $report_dir/build-cuda.log"; exit 1; }
cmake --preset cpu >/dev/null &&
  cmake --build --preset cpu -j "$jobs" --target vdwflow_a vdwflow_b vdwflow_c \
    >"$report_dir/build-cpu.log" 2>&1 ||
  { say "cpu build failed: $report_dir/build-cpu.log"; exit 1; }

say "== benchmark programs on the GPU"
for p in prodbench_a prodbench_b prodbench_c orderbench_a orderbench_b; do
  say "$p: $(build/cuda/bin/$p | tr '\n' ' ') (exit $?)"
done

# A short run that separates visibly: 128 x 128 nodes, 3 cycles of 400 steps.
input="$report_dir/nw2cuda.input"
sed -e 's/^-hniter_cycle .*/-hniter_cycle 400/' -e 's/^-hncycles .*/-hncycles 3/' \
  examples/nw2cuda.input >"$input"

status=0
say "== solver: cuda against cpu, same input"
for v in a b c; do
  for backend in cpu cuda; do
    dir="$report_dir/run-$v-$backend"
    rm -rf "$dir" && mkdir -p "$dir" && cp "$input" "$dir/"
    (cd "$dir" && "$root/build/$backend/bin/vdwflow_$v" >stdout.txt 2>stderr.txt)
    say "vdwflow_$v on $backend: exit $?"
  done
  same=0 differ=0
  for f in "$report_dir/run-$v-cpu"/B* "$report_dir/run-$v-cpu"/PV*; do
    if cmp -s "$f" "$report_dir/run-$v-cuda/$(basename "$f")"; then
      same=$((same + 1))
    else
      differ=$((differ + 1))
      say "  differs: $(basename "$f")"
    fi
  done
  cmp -s <(grep '^iter=' "$report_dir/run-$v-cpu/stdout.txt") \
         <(grep '^iter=' "$report_dir/run-$v-cuda/stdout.txt") && totals=same || totals=DIFFERENT
  say "vdwflow_$v: $same files identical, $differ differ; console totals $totals"
  [ "$differ" -eq 0 ] && [ "$totals" = same ] || status=1
  say "vdwflow_$v on the GPU: periodic_boundary $(grep -h 'Total Time' "$report_dir/run-$v-cuda/stdout.txt" |
    head -n 1200 | awk '{s += $4; n++} END {if (n) printf "%.4f ms per step (mean of %d)", s / n, n}')"
done
say "vdwflow_c whole run on the GPU (1200 steps, snapshots included): $(grep 'Total Time' \
  "$report_dir/run-c-cuda/stdout.txt" | tail -n 1)"

say "== the example run on the GPU (vdwflow_a)"
dir="$report_dir/example"
rm -rf "$dir" && mkdir -p "$dir" && cp examples/nw2cuda.input "$dir/"
start=$(date +%s.%N)
(cd "$dir" && "$root/build/cuda/bin/vdwflow_a" >stdout.txt 2>stderr.txt)
say "exit $?, wall $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s;" \
  "last total: $(grep '^iter=' "$dir/stdout.txt" | tail -n 1)"
exit $status
