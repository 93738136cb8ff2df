#!/usr/bin/env bash
# The check for a machine with an NVIDIA GPU, in two steps:
#
#   scripts/gpu_check.sh prepare   here, on any machine with the cpu backend's
#       tools: builds vdwflow_a, _b, _c and vdwflow on the cpu backend, runs them on two
#       short inputs (a square and a non-square lattice) and keeps the inputs,
#       every snapshot file (gzipped) and the console totals in
#       gpu-check/reference/; the folder is ignored by git and travels with the
#       working tree to the GPU machine.
#
#   scripts/gpu_check.sh run       on the GPU machine: builds the cuda backend
#       only (nvcc and CMake; no Boost, GoogleTest or network) for the GPU at
#       hand (and vdwflow_mpi where MPI is installed), then, bounded to 6
#       minutes in all: runs the five benchmarks; runs the four solver
#       programs on the reference inputs and compares their files byte for
#       byte and their totals with the cpu backend's, vdwflow's setups in two
#       and three dimensions too (walls, a mask, gravity, both schemes), and
#       the same on 2 processes sharing the GPU (mpirun, vdwflow_mpi); resumes
#       vdwflow from a checkpoint of the cpu backend and from one of its own
#       and compares the files after it; runs
#       compute-sanitizer (memcheck on all nine programs, racecheck on vdwflow,
#       racecheck and synccheck on orderbench_a, orderbench_b and prodbench_b);
#       times the solver's step at 1024^2, 2048^2 and 4096^2
#       (build/cuda/bin/step_timer_X, X = a, b, c and lean: vdwflow's fused
#       step) and vdwflow's 3-D step at 128^3 and 256^3, and one run of
#       vdwflow_a at 4096^2 without steps. Writes the table
#       gpu-check/report.txt; exits 0 when every check passed.
#       Without a GPU it builds the cuda backend and stops with status 2.
#
#   scripts/gpu_check.sh dry-run   here: the flow of `run` on the cpu backend's
#       programs (built by prepare), without the build, the GPU and the
#       sanitizers, and with a 512^2 snapshot: a check of the check.
#
# CUDA_ARCHS overrides the GPU architecture of the build (default: native).
# GPU_CHECK_SECONDS overrides the time bound of `run` (default: 355).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/common.sh

check_dir=$root/gpu-check
bin_dir=$root/build/cuda/bin
dry_run=0
snapshot_n=4096
ref_dir=$check_dir/reference
programs_solver=(vdwflow_a vdwflow_b vdwflow_c vdwflow)
programs_bench=(prodbench_a prodbench_b prodbench_c orderbench_a orderbench_b)

# The reference runs: name, nodes x, nodes y, steps per cycle, cycles.
cases=("square 128 128 200 2" "wide 120 72 100 3")
# vdwflow's setups: a drop on the wetting floor of a closed box with an
# obstacle (a PGM mask), gravity, and .vti snapshots beside the others.
setup_keys="-hinit drop -hinit_radius 12 -hinit_y -0.5 -hwalls xy -hwall_wetting 4e-4
-hsolid_file mask.pgm -hgravity_y -0.05 -houtput both"
# and the same with the Lax-Wendroff scheme
schemes=(upwind lax_wendroff)
# The same on a three-dimensional lattice (40 x 32 x 24 nodes): walls along
# y and z, a block of solid nodes (mask3.npy), gravity, .vti snapshots.
setup3_keys="-hnodes_z 24 -hinit drop -hinit_radius 9 -hinit_y -0.5 -hwalls yz -hwall_wetting 4e-4
-hsolid_file mask3.npy -hgravity_y -0.05 -houtput both"

# The example's parameter file with another lattice and cycle count.
make_input() {  # nx ny niter_cycle ncycles
  sed -e "s/^-hnodes_x .*/-hnodes_x $1/" -e "s/^-hnodes_y .*/-hnodes_y $2/" \
    -e "s/^-hniter_cycle .*/-hniter_cycle $3/" -e "s/^-hncycles .*/-hncycles $4/" \
    "$root/examples/nw2cuda.input"
}

# Runs a solver program in a fresh folder holding the given input (and the
# mask of the setups' run beside it, where there is one).
run_solver() {  # binary folder input-file [command prefix...]
  local binary=$1 dir=$2 input=$3
  shift 3
  rm -rf "$dir" && mkdir -p "$dir" && cp "$input" "$dir/nw2cuda.input"
  [ ! -f "$(dirname "$input")/mask.pgm" ] || cp "$(dirname "$input")/mask.pgm" "$dir/"
  [ ! -f "$(dirname "$input")/mask3.npy" ] || cp "$(dirname "$input")/mask3.npy" "$dir/"
  (cd "$dir" && "$@" "$binary" >stdout.txt 2>stderr.txt)
}

# The setups' inputs (one per scheme, in two and three dimensions) and
# their masks (64 x 48 nodes with a block of solid nodes; 40 x 32 x 24
# with a box of them).
make_setups() {  # folder
  for scheme in "${schemes[@]}"; do
    make_input 64 48 100 2 >"$1/setups-$scheme.input"
    echo "$setup_keys -hscheme $scheme" >>"$1/setups-$scheme.input"
    make_input 40 32 50 2 >"$1/setups3-$scheme.input"
    echo "$setup3_keys -hscheme $scheme" >>"$1/setups3-$scheme.input"
  done
  cp "$1/setups-upwind.input" "$1/setups.input"
  {
    printf 'P2\n64 48\n255\n'
    for ((y = 47; y >= 0; y--)); do
      for ((x = 0; x < 64; x++)); do
        if ((x >= 44 && x < 52 && y >= 20 && y < 30)); then printf '0 '; else printf '255 '; fi
      done
      echo
    done
  } >"$1/mask.pgm"
  # (a .npy array of bools, (24, 32, 40): its header, then a byte a node)
  {
    local header="{'descr': '|b1', 'fortran_order': False, 'shape': (24, 32, 40), }"
    printf '\x93NUMPY\x01\x00'
    local length=$(((${#header} + 1 + 10 + 63) / 64 * 64 - 10))
    printf "\\x$(printf %02x $((length % 256)))\\x$(printf %02x $((length / 256)))"
    printf '%s' "$header"
    printf '%*s\n' $((length - ${#header} - 1)) ''
    local z y x
    for ((z = 0; z < 24; z++)); do
      for ((y = 0; y < 32; y++)); do
        for ((x = 0; x < 40; x++)); do
          if ((x >= 26 && x < 32 && y >= 12 && y < 20 && z >= 8 && z < 16)); then printf '\x01'; else printf '\x00'; fi
        done
      done
    done
  } >"$1/mask3.npy"
}

prepare() {
  scripts/setup.sh || exit 1
  echo "== building the cpu backend"
  cmake --preset cpu >/dev/null &&
    cmake --build --preset cpu -j "$(nproc)" --target "${programs_solver[@]}" >/dev/null ||
    { echo "gpu_check prepare: the cpu build failed"; exit 1; }
  rm -rf "$ref_dir" && mkdir -p "$ref_dir"
  # zlib's headers, for a GPU machine without them (the checkpoint's
  # checksum is zlib's; its library, libz.so.1, is on every Linux).
  mkdir -p "$ref_dir/zlib" && cp /usr/include/zlib.h /usr/include/zconf.h "$ref_dir/zlib/"
  for c in "${cases[@]}"; do
    read -r name nx ny niter ncycles <<<"$c"
    make_input "$nx" "$ny" "$niter" "$ncycles" >"$ref_dir/$name.input"
    for p in "${programs_solver[@]}"; do
      dir=$ref_dir/$name/$p
      if ! run_solver "$root/build/cpu/bin/$p" "$dir" "$ref_dir/$name.input"; then
        echo "gpu_check prepare: $p failed on the $name input:"
        cat "$dir/stderr.txt"
        exit 1
      fi
      grep '^iter=' "$dir/stdout.txt" >"$dir/totals.txt"
      rm "$dir/stdout.txt" "$dir/stderr.txt" "$dir/nw2cuda.input"
      gzip -n -9 "$dir"/B* "$dir"/PV*
      echo "$p, $name lattice ${nx}x$ny: $(ls "$dir"/*.gz | wc -l) files"
    done
  done
  mkdir -p "$ref_dir/setups-input"
  make_setups "$ref_dir/setups-input"
  for setup in "${schemes[@]}" "${schemes[@]/#/3d-}"; do
    local input=setups-$setup.input
    [ "${setup#3d-}" = "$setup" ] || input=setups3-${setup#3d-}.input
    dir=$ref_dir/setups/$setup
    run_solver "$root/build/cpu/bin/vdwflow" "$dir" "$ref_dir/setups-input/$input" ||
      { echo "gpu_check prepare: vdwflow failed on $input:"; cat "$dir/stderr.txt"; exit 1; }
    grep '^iter=' "$dir/stdout.txt" >"$dir/totals.txt"
    rm -f "$dir/stdout.txt" "$dir/stderr.txt" "$dir/nw2cuda.input" "$dir/mask.pgm" "$dir/mask3.npy"
    gzip -n -9 "$dir"/B* "$dir"/PV*
    echo "vdwflow, setups, $setup (walls, obstacle, wetting, gravity, .vti): $(ls "$dir"/*.gz | wc -l) files"
  done

  # A checkpoint of the square run after its first cycle, which the GPU
  # resumes: its second cycle must give the reference files.
  read -r name nx ny niter ncycles <<<"${cases[0]}"
  local dir=$ref_dir/resume
  make_input "$nx" "$ny" "$niter" 1 >"$ref_dir/resume.input"
  run_solver "$root/build/cpu/bin/vdwflow" "$dir" "$ref_dir/resume.input" ||
    { echo "gpu_check prepare: vdwflow failed on the resume input"; exit 1; }
  find "$dir" -type f ! -name vdwflow.checkpoint -delete
  gzip -n -9 "$dir/vdwflow.checkpoint"
  echo "vdwflow, $name lattice: checkpoint after cycle 1 of $ncycles"

  {
    echo "prepared $(date -u '+%Y-%m-%d %H:%M UTC') on $(hostname) from commit" \
      "$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
    for c in "${cases[@]}"; do echo "case $c"; done
  } >"$ref_dir/manifest.txt"
  echo "gpu-check/reference: $(du -sh "$ref_dir" | cut -f1)." \
    "Next, on the GPU machine: scripts/gpu_check.sh run"
}

# --- run -----------------------------------------------------------------

report=$check_dir/report.txt
status=0
start=$SECONDS
limit=${GPU_CHECK_SECONDS:-355}

say() { echo "$@" | tee -a "$report"; }
# One row of the table: check, pass/FAIL/skip, detail.
row() {
  printf '%-34s %-5s %s\n' "$1" "$2" "$3" | tee -a "$report"
  [ "$2" != FAIL ] || status=1
}
# Seconds a step may take: its own bound, cut to what is left of the run.
bound() {
  local left=$((limit - (SECONDS - start) - 5))
  if ((left < $1)); then echo "$left"; else echo "$1"; fi
}
# Runs a command bounded by bound(seconds); 124 when out of time.
bounded() {  # seconds command...
  local t
  t=$(bound "$1")
  shift
  ((t >= 2)) || return 125
  timeout -k 3 "$t" "$@"
}
exit_text() {  # status
  case $1 in
    0) echo "exit 0" ;;
    124 | 137) echo "timed out" ;;
    125) echo "not run: out of time" ;;
    *) echo "exit $1" ;;
  esac
}

build_cuda() {  # architectures
  local nvcc
  nvcc=$(find_nvcc)
  [ -n "$nvcc" ] || { say "no nvcc: nothing to build"; exit 1; }
  local t0=$SECONDS zlib=()
  if [ ! -e /usr/include/zlib.h ] && [ -e "$ref_dir/zlib/zlib.h" ]; then
    zlib=(-DZLIB_INCLUDE_DIR="$ref_dir/zlib"
          -DZLIB_LIBRARY="$(ldconfig -p | awk '/libz\.so\.1 .*x86-64/ {print $NF; exit}')")
  fi
  local mpi=()
  ! command -v mpicxx >/dev/null || mpi=(-DVDWFLOW_MPI=ON)
  cmake --preset cuda -DCMAKE_CUDA_COMPILER="$nvcc" -DCMAKE_CUDA_ARCHITECTURES="$1" "${zlib[@]}" "${mpi[@]}" \
    >"$check_dir/build-cuda.log" 2>&1 &&
    "${@:2}" cmake --build --preset cuda -j "$(nproc)" >>"$check_dir/build-cuda.log" 2>&1
  local rc=$?
  if [ "$rc" -ne 0 ]; then
    row "build (cuda, $1)" FAIL "$(exit_text "$rc"), see gpu-check/build-cuda.log"
    exit 1
  fi
  row "build (cuda, $1)" pass "$((SECONDS - t0)) s"
}

run_benchmarks() {
  for p in "${programs_bench[@]}"; do
    bounded 30 "$bin_dir/$p" >"$check_dir/$p.txt" 2>&1
    local rc=$? verdict=pass
    local line
    line=$(tr '\n' ' ' <"$check_dir/$p.txt" | sed 's/  */ /g')
    [ "$rc" -eq 0 ] || verdict=FAIL
    case $p in orderbench_*) grep -q '^Test PASSED' "$check_dir/$p.txt" || verdict=FAIL ;; esac
    row "$p" "$verdict" "$(exit_text "$rc"):$line"
  done
}

# A run folder's files and console totals against the references (gzipped
# files and totals.txt): sets the caller's same, differ and extra (file
# counts) and totals (same or DIFFERENT); lists what differs.
compare_files() {  # reference folder, run folder
  local ref=$1 dir=$2 f file
  same=0 differ=0 extra=0 totals=same
  for f in "$ref"/*.gz; do
    file=$dir/$(basename "${f%.gz}")
    if [ -f "$file" ] && gzip -dc "$f" | cmp -s - "$file"; then
      same=$((same + 1))
    else
      differ=$((differ + 1))
      echo "differs or missing: $file" >>"$check_dir/differences.txt"
    fi
  done
  for f in "$dir"/B* "$dir"/PV*; do
    [ -e "$f" ] && [ ! -e "$ref/$(basename "$f").gz" ] && extra=$((extra + 1))
  done
  cmp -s "$ref/totals.txt" <(grep '^iter=' "$dir/stdout.txt" 2>/dev/null) || totals=DIFFERENT
}

# Files and totals of the GPU runs against the cpu backend's.
compare_solvers() {
  for c in "${cases[@]}"; do
    read -r name nx ny niter ncycles <<<"$c"
    for p in "${programs_solver[@]}"; do
      local ref=$ref_dir/$name/$p dir=$check_dir/run/$name/$p
      bounded 60 bash -c "$(declare -f run_solver); run_solver '$bin_dir/$p' '$dir' '$ref_dir/$name.input'"
      local rc=$? same differ extra totals
      compare_files "$ref" "$dir"
      local verdict=pass
      [ "$rc" -eq 0 ] && [ "$differ" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$totals" = same ] ||
        verdict=FAIL
      row "$p ${nx}x$ny = cpu backend" "$verdict" \
        "$(exit_text "$rc"); files: $same identical, $differ differ, $extra extra; totals $totals"
    done
  done
}

# vdwflow's setups on the GPU against the cpu backend: every file (.vti and
# .pvd too) and the totals.
# In two and three dimensions, in one process and (where vdwflow_mpi was
# built) in two sharing the GPU, each with its own halves of the lattice.
compare_setups() {
  local launch=()
  if [ -x "$bin_dir/vdwflow_mpi" ] && command -v mpirun >/dev/null; then
    launch=(env OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 mpirun --oversubscribe -n 2)
  else
    row "vdwflow_mpi, 2 processes" skip "no MPI on this machine (vdwflow_mpi not built)"
  fi
  for setup in "${schemes[@]}" "${schemes[@]/#/3d-}"; do
    compare_setup "$setup" vdwflow
    ((${#launch[@]} == 0)) || compare_setup "$setup" vdwflow_mpi "${launch[@]}"
  done
}

compare_setup() {  # setup program [launcher...]
  local setup=$1 program=$2 input=setups-$1.input
  shift 2
  [ "${setup#3d-}" = "$setup" ] || input=setups3-${setup#3d-}.input
  local ref=$ref_dir/setups/$setup dir=$check_dir/run/setups/$setup-$program
  bounded 90 bash -c "$(declare -f run_solver); run_solver '$bin_dir/$program' '$dir' '$ref_dir/setups-input/$input' $*" </dev/null
  local rc=$? same differ extra totals verdict=pass
  compare_files "$ref" "$dir"
  [ "$rc" -eq 0 ] && [ "$differ" -eq 0 ] && [ "$extra" -eq 0 ] && [ "$totals" = same ] ||
    verdict=FAIL
  local name="$program setups ($setup)"
  [ "$program" = vdwflow ] || name="$program -n 2 ($setup)"
  row "$name = cpu" "$verdict" \
    "$(exit_text "$rc"); files (.vti, .pvd too): $same identical, $differ differ, $extra extra; totals $totals"
}

# vdwflow resumed on the GPU: from the cpu backend's checkpoint after the
# square run's first cycle, and from its own after the GPU stopped there; both
# must end with the reference files of the run that never stopped.
compare_resumed() {
  read -r name nx ny niter ncycles <<<"${cases[0]}"
  local ref=$ref_dir/$name/vdwflow
  for from in cpu gpu; do
    local dir=$check_dir/run/resume-$from rc
    rm -rf "$dir" && mkdir -p "$dir"
    if [ "$from" = cpu ]; then
      gzip -dc "$ref_dir/resume/vdwflow.checkpoint.gz" >"$dir/vdwflow.checkpoint"
    else
      (cd "$dir" && cp "$ref_dir/resume.input" nw2cuda.input &&
        bounded 60 "$bin_dir/vdwflow" -q >first.txt 2>&1)
    fi
    cp "$ref_dir/$name.input" "$dir/nw2cuda.input"
    (cd "$dir" && bounded 60 "$bin_dir/vdwflow" -q --resume >stdout.txt 2>stderr.txt)
    rc=$?
    local same=0 differ=0
    for f in "$dir"/B* "$dir"/PV*; do
      [ -e "$f" ] || continue
      if gzip -dc "$ref/$(basename "$f").gz" 2>/dev/null | cmp -s - "$f"; then
        same=$((same + 1))
      else
        differ=$((differ + 1))
        echo "differs from the reference: $f" >>"$check_dir/differences.txt"
      fi
    done
    local verdict=pass
    [ "$rc" -eq 0 ] && [ "$differ" -eq 0 ] && [ "$same" -gt 0 ] || verdict=FAIL
    row "vdwflow resumed ($from checkpoint)" "$verdict" \
      "$(exit_text "$rc"); files after the checkpoint: $same identical, $differ differ"
  done
}

# compute-sanitizer runs, side by side; each leaves a log and its status.
sanitize() {
  if ((dry_run)); then
    row "compute-sanitizer" skip "dry run"
    return
  fi
  local sanitizer
  sanitizer=$(command -v compute-sanitizer || echo "$(dirname "$(find_nvcc)")/compute-sanitizer")
  if [ ! -x "$sanitizer" ]; then
    row "compute-sanitizer" FAIL "not found"
    return
  fi
  local dir=$check_dir/sanitizer
  rm -rf "$dir" && mkdir -p "$dir"
  make_input 32 32 5 1 >"$dir/small.input"
  local jobs=()
  for p in "${programs_solver[@]}" "${programs_bench[@]}"; do jobs+=("memcheck $p"); done
  for p in orderbench_a orderbench_b prodbench_b; do jobs+=("racecheck $p" "synccheck $p"); done
  jobs+=("racecheck vdwflow")
  # vdwflow's other kernels: walls, obstacle, ghost densities, gravity.
  make_setups "$dir"
  jobs+=("memcheck vdwflow setups" "racecheck vdwflow setups" "memcheck vdwflow lax_wendroff"
        "memcheck vdwflow 3d-upwind" "memcheck vdwflow 3d-lax_wendroff")
  local t
  t=$(bound 150)
  for j in "${jobs[@]}"; do
    read -r tool p setups <<<"$j"
    (
      cd "$dir" && mkdir -p "$tool-$p$setups" && cd "$tool-$p$setups" &&
        if [ "$setups" = setups ]; then cp ../setups.input nw2cuda.input && cp ../mask.pgm .;
        elif [ "${setups#3d-}" != "$setups" ]; then
          cp "../setups3-${setups#3d-}.input" nw2cuda.input && cp ../mask3.npy .;
        elif [ -n "$setups" ]; then cp "../setups-$setups.input" nw2cuda.input && cp ../mask.pgm .; else
          cp ../small.input nw2cuda.input; fi &&
        timeout -k 3 "$t" "$sanitizer" --tool "$tool" --error-exitcode 99 \
          "$bin_dir/$p" >log.txt 2>&1
      echo $? >rc
    ) &
  done
  wait
  for j in "${jobs[@]}"; do
    read -r tool p setups <<<"$j"
    local rc verdict=pass
    rc=$(cat "$dir/$tool-$p$setups/rc" 2>/dev/null || echo 1)
    [ "$rc" -eq 0 ] || verdict=FAIL
    local summary
    summary=$(grep -E 'SUMMARY' "$dir/$tool-$p$setups/log.txt" | tail -n 1 | sed 's/^=* *//')
    row "$tool $p${setups:+ ($setups)}" "$verdict" "$(exit_text "$rc"); ${summary:-no summary}"
  done
}

# Step timing: one line per variant and size from step_timer_X; the lean
# step (vdwflow) with its own byte count, and its speed over vdwflow_b's.
time_steps() {
  say ""
  say "== time step on the GPU (200 steps each, snapshots excluded)"
  printf '%-9s %-10s %10s %10s %8s %10s %9s  %s\n' program nodes ms/step MLUPS GB/s \
    copy_GB/s roofline target | tee -a "$report"
  local -A mlups_b=() mlups_lean=()
  for v in a b c lean walls lax_wendroff 3d 3d_walls 3d_lax_wendroff; do
    local bin=$root/build/cuda/bin/step_timer_$v program=vdwflow_$v form=() sizes=(1024 2048 4096)
    [ "$v" != lean ] || program=vdwflow
    if [ "$v" = walls ] || [ "$v" = lax_wendroff ] || [ "${v#3d}" != "$v" ]; then
      # vdwflow with walls, wetting and gravity; with the Lax-Wendroff scheme;
      # the same in three dimensions (a box of n^3 nodes)
      bin=$root/build/cuda/bin/step_timer_lean program=vdwflow+$v form=("$v")
    fi
    [ "${v#3d}" = "$v" ] || sizes=(128 256)
    if [ ! -x "$bin" ]; then
      say "$(basename "$bin") missing: $program not timed"
      continue
    fi
    if ((dry_run)); then
      say "step_timer_$v present; dry run: not timed"
      continue
    fi
    for n in "${sizes[@]}"; do
      local out rc
      out=$(bounded 60 "$bin" "$n" "$n" 200 "${form[@]}" 2>&1)
      rc=$?
      local line
      line=$(grep '^step_timer ' <<<"$out" | tail -n 1)
      if [ "$rc" -ne 0 ] || [ -z "$line" ]; then
        say "$program ${n}x$n: step_timer_$v $(exit_text "$rc"): $(tail -n 2 <<<"$out" | tr '\n' ' ')"
        status=1
        continue
      fi
      field() { sed -n "s/.* $1=\([^ ]*\).*/\1/p" <<<"$line"; }
      local roof target=""
      roof=$(field roofline)
      [ "$v" != b ] || mlups_b[$n]=$(field MLUPS)
      [ "$v" != lean ] || mlups_lean[$n]=$(field MLUPS)
      [ "$v" != 3d ] || mlups_lean[3d$n]=$(field MLUPS)
      if [ "$n" -eq 4096 ] && [ "$v" != a ] && [ "$v" != lean ]; then
        target=$(awk -v r="$roof" 'BEGIN {print (r >= 0.70 ? ">= 0.70: met" : ">= 0.70: NOT met")}')
      fi
      if [ "$v" = lean ] && [ -n "${mlups_b[$n]:-}" ]; then
        target=$(awk -v l="$(field MLUPS)" -v b="${mlups_b[$n]}" 'BEGIN {printf "%.2f x vdwflow_b", l / b}')
      fi
      if [ "$v" = walls ] && [ -n "${mlups_lean[$n]:-}" ]; then
        target=$(awk -v w="$(field MLUPS)" -v l="${mlups_lean[$n]}" \
          'BEGIN {printf "cost %.2f x periodic (target <= 1.3)", l / w}')
      fi
      if [ "$v" = lax_wendroff ] && [ -n "${mlups_lean[$n]:-}" ]; then
        target=$(awk -v w="$(field MLUPS)" -v l="${mlups_lean[$n]}" \
          'BEGIN {printf "cost %.2f x upwind (target <= 1.5)", l / w}')
      fi
      if [ "$v" = 3d_lax_wendroff ] && [ -n "${mlups_lean[3d$n]:-}" ]; then
        target=$(awk -v w="$(field MLUPS)" -v l="${mlups_lean[3d$n]}" \
          'BEGIN {printf "cost %.2f x upwind (target <= 1.6)", l / w}')
      fi
      local nodes=${n}x$n
      [ "${v#3d}" = "$v" ] || nodes=${n}x${n}x$n
      printf '%-9s %-10s %10s %10s %8s %10s %9s  %s\n' "$program" "$nodes" \
        "$(field ms_per_step)" "$(field MLUPS)" "$(field GBps)" "$(field copy_GBps)" "$roof" \
        "$target" | tee -a "$report"
    done
  done
}

# One run of vdwflow_a at 4096^2 (snapshot_n) without steps: the initial snapshot of 16.8
# million nodes (console line and about 0.8 GB of files) with everything a run
# does around it.
time_snapshot() {
  local n=$snapshot_n dir=$check_dir/run/snapshot
  make_input "$n" "$n" 0 0 >"$check_dir/snapshot.input"
  local t0 rc
  t0=$(date +%s.%N)
  bounded 120 bash -c "$(declare -f run_solver); run_solver '$bin_dir/vdwflow_a' '$dir' '$check_dir/snapshot.input'"
  rc=$?
  local wall
  wall=$(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}')
  local verdict=pass
  [ "$rc" -eq 0 ] || verdict=FAIL
  say ""
  row "vdwflow_a ${n}x$n, no steps" "$verdict" \
    "$(exit_text "$rc"), wall $wall s: start-up, host and device allocation, lattice set-up, upload, one snapshot ($(du -sh "$dir" 2>/dev/null | cut -f1) of files), release"
  rm -f "$dir"/B* "$dir"/PV*
}

run() {
  mkdir -p "$check_dir"
  : >"$report"
  rm -f "$check_dir/differences.txt"
  say "== GPU check $(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
  if ((dry_run)); then
    say "dry run: the cpu backend's programs from build/cpu/bin, no build"
  elif ! gpu_present || ! nvidia-smi -L >/dev/null 2>&1; then
    say "no GPU on this machine: building the cuda backend only, then stopping"
    build_cuda "${CUDA_ARCHS:-75-real;80-real;90}"
    say "gpu_check run: no GPU here, nothing run; run it on a machine with an NVIDIA GPU"
    exit 2
  fi
  if [ ! -f "$ref_dir/manifest.txt" ]; then
    say "gpu_check run: no gpu-check/reference/; run 'scripts/gpu_check.sh prepare' first (without a GPU is fine) and bring the folder along"
    exit 1
  fi
  say "$( ((dry_run)) || nvidia-smi -L 2>&1 | head -n 1); references: $(head -n 1 "$ref_dir/manifest.txt")"
  printf '%-34s %-5s %s\n' check result detail | tee -a "$report"
  ((dry_run)) || build_cuda "${CUDA_ARCHS:-native}" bounded 200
  run_benchmarks
  compare_solvers
  compare_setups
  compare_resumed
  sanitize
  time_steps
  time_snapshot
  say ""
  say "$( ((status == 0)) && echo "all checks passed" || echo "some checks FAILED")" \
    "in $((SECONDS - start)) s"
  exit $status
}

case ${1:-} in
  prepare) prepare ;;
  run) run ;;
  dry-run)
    bin_dir=$root/build/cpu/bin dry_run=1 snapshot_n=512
    run
    ;;
  *)
    echo "usage: scripts/gpu_check.sh prepare | run | dry-run   (see the head of this script)" >&2
    exit 64
    ;;
esac
