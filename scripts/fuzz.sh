#!/usr/bin/env bash
# Fuzzes the parameter file reader and the start-up check with libFuzzer,
# under AddressSanitizer and UBSan, for a bounded time (seconds, default 60),
# starting from the seed corpus in tests/fuzz/corpus. New inputs go to a
# working corpus under build/fuzz, so the seeds stay as they are.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
out=build/fuzz
mkdir -p "$out/corpus"

# The reader, the configuration and the check, with the reporters they end
# through; the reporters name runtime errors, so the cpu runtime comes along.
clang++ -std=c++17 -g -O1 -Wall -Wextra -pthread \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -Isolver -Icudacpu/include -Icudacpu/src \
  tests/fuzz/param_fuzzer.cpp solver/param_reader.cpp solver/run_config.cpp \
  solver/run_checks.cpp solver/reporters.cpp cudacpu/src/runtime.cpp \
  -o "$out/param_fuzzer"

# Messages of rejected inputs would flood the log: the target's standard
# output and error are closed (the sanitizers' reports still come through).
"$out/param_fuzzer" -max_total_time="$seconds" -close_fd_mask=3 -timeout=10 \
  -artifact_prefix="$out/" -max_len=4096 -dict=tests/fuzz/param.dict -print_final_stats=1 "$out/corpus" tests/fuzz/corpus
