#!/usr/bin/env bash
# The mutable global state of vdwflow's code: the variables in .bss and .data
# (not .data.rel.ro) of the objects of lean/, and the variables of the other
# objects of the build (the solver framework, the cpu runtime) that they use.
#   scripts/lean_globals.sh [BUILD_FOLDER]     (default: build/cpu)
set -euo pipefail
build=${1:-build/cpu}
lean=$(find "$build/lean/CMakeFiles" -name '*.o' -path '*vdwflow*')
others=$(find "$build/solver/CMakeFiles/vdwflow_host.dir" "$build/cudacpu" -name '*.o')
variables() {  # the writable variables an object defines
  for o in "$@"; do
    objdump -t "$o" | awk '$4 ~ /^\.(bss|data|tbss|tdata)(\.|$)/ && $4 !~ /rel\.ro/ &&
                           $NF !~ /^(DW\.ref|\.)/ {print $NF}'
  done | c++filt | sort -u
}
own=$(variables $lean)
used=$(comm -12 <(for o in $lean; do nm -u "$o" | awk '{print $2}'; done | c++filt | sort -u) \
                <(variables $others))
echo "variables of lean/'s objects: $(grep -c . <<< "$own" || true)"
sed 's/^/  /' <<< "$own"
echo "variables of the framework and runtime they use: $(grep -c . <<< "$used" || true)"
[ -n "$used" ] && sed 's/^/  /' <<< "$used"
exit 0
