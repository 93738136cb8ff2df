#!/usr/bin/env bash
# Strong scaling of vdwflow_mpi on this machine, beside vdwflow without MPI:
# the main job's physics on a 2-D lattice of 2048^2 nodes and a 3-D one of
# 128^3, each run as vdwflow, as vdwflow_mpi on 1 process with one worker
# thread and with both cores, and on 2 (the cores shared out: one worker
# each), in turns, REPEAT times. For each
# the best cycle's MLUPS (the first cycle left out: first touch) and, on 2
# processes, the halo exchange's share of the time (the first process's, as
# its cycle line gives it: packing, the exchange and the wait for the other).
#
#   scripts/mpi_scaling.sh [REPEAT]      (default 3; build/cpu, -DVDWFLOW_MPI=ON)
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$PWD/build/cpu/bin
repeat=${1:-3}
[ -x "$bin/vdwflow_mpi" ] || { echo "mpi_scaling: build vdwflow_mpi first (cmake --preset cpu -DVDWFLOW_MPI=ON)"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# (Open MPI binds each process to one core where there are at most two: a
# process on its own would run on one of the two.)
mpirun=(mpirun --bind-to none -n)
[ "$(id -u)" -ne 0 ] || mpirun=(mpirun --allow-run-as-root --bind-to none -n)

input() {  # nx ny nz steps-per-cycle
  sed -e "s/^-hnodes_x .*/-hnodes_x $1/" -e "s/^-hnodes_y .*/-hnodes_y $2/" \
    -e "s/^-hniter_cycle .*/-hniter_cycle $4/" -e "s/^-hncycles .*/-hncycles 4/" \
    examples/nw2cuda.input
  echo "-hnodes_z $3 -houtput classic"
}

# One run in a fresh folder: the best MLUPS of cycles 2 .. 4, and the halo share of that cycle.
measure() {  # lattice-name command...
  local dir=$work/run
  rm -rf "$dir" && mkdir -p "$dir" && cp "$work/$1.input" "$dir/nw2cuda.input"
  shift
  (cd "$dir" && "$@" </dev/null 2>/dev/null) |
    awk '/^cycle [2-9]/ { m = $10 + 0; if (m > best) { best = m; halo = ($0 ~ /halo/) ? $14 "%" : "-" } }
         END { printf "%s %s\n", best, halo }'
}

input "${SCALING_2D:-2048}" "${SCALING_2D:-2048}" 1 100 >"$work/2d.input"
input "${SCALING_3D:-128}" "${SCALING_3D:-128}" "${SCALING_3D:-128}" 20 >"$work/3d.input"
declare -A best halo
for ((r = 0; r < repeat; r++)); do
  for lattice in 2d 3d; do
    for form in single mpi1core mpi1 mpi2; do
      case $form in
        single) read -r m h < <(measure "$lattice" "$bin/vdwflow") ;;
        mpi1) read -r m h < <(measure "$lattice" "${mpirun[@]}" 1 "$bin/vdwflow_mpi") ;;
        mpi1core) read -r m h < <(measure "$lattice" env CUDACPU_THREADS=1 "${mpirun[@]}" 1 "$bin/vdwflow_mpi") ;;
        mpi2) read -r m h < <(measure "$lattice" "${mpirun[@]}" 2 "$bin/vdwflow_mpi") ;;
      esac
      key=$lattice-$form
      if awk -v a="$m" -v b="${best[$key]:-0}" 'BEGIN { exit !(a > b) }'; then
        best[$key]=$m halo[$key]=$h
      fi
    done
  done
done

echo "vdwflow_mpi, $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')), best of $repeat runs x 3 cycles"
printf '%-8s %-28s %8s %10s %14s\n' lattice program MLUPS "x vdwflow" "halo share"
for lattice in 2d 3d; do
  name=${SCALING_2D:-2048}^2; [ "$lattice" = 2d ] || name=${SCALING_3D:-128}^3
  for form in single mpi1core mpi1 mpi2; do
    key=$lattice-$form
    case $form in
      single) label="vdwflow, 2 workers" ;;
      mpi1core) label="vdwflow_mpi, 1 x 1 worker" ;;
      mpi1) label="vdwflow_mpi, 1 x 2 workers" ;;
      mpi2) label="vdwflow_mpi, 2 x 1 worker" ;;
    esac
    printf '%-8s %-28s %8.2f %10s %14s\n' "$name" "$label" "${best[$key]}" \
      "$(awk -v a="${best[$key]}" -v b="${best[$lattice-single]}" 'BEGIN { printf "%.3f", a / b }')" \
      "${halo[$key]}"
  done
done
