#!/usr/bin/env bash
# Fuzzes the parameter file reader and the start-up check, then the readers
# of user files (initial density, solid mask), with libFuzzer under
# AddressSanitizer and UBSan, for a bounded total time (seconds, default 60):
# half of it for the parameter file, a quarter for each reader. Each target
# starts from its seed corpus in tests/fuzz (corpus, corpus_density,
# corpus_mask); new inputs go to working corpora under build/fuzz, so the
# seeds stay as they are.
#   scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
out=build/fuzz
mkdir -p "$out/corpus" "$out/corpus_density" "$out/corpus_mask"

# libFuzzer reads a time of 0 as "no limit": every target gets at least 1 s.
param_seconds=$(( seconds / 2 > 0 ? seconds / 2 : 1 ))
reader_seconds=$(( seconds / 4 > 0 ? seconds / 4 : 1 ))

flags=(-std=c++17 -g -O1 -Wall -Wextra -pthread
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined)

# The reader, the configuration and the check, with the reporters they end
# through; the reporters name runtime errors, so the cpu runtime comes along.
clang++ "${flags[@]}" -Isolver -Icudacpu/include -Icudacpu/src \
  tests/fuzz/param_fuzzer.cpp solver/param_reader.cpp solver/run_config.cpp \
  solver/run_checks.cpp solver/reporters.cpp cudacpu/src/runtime.cpp \
  -o "$out/param_fuzzer"

# The readers of user files are plain C++ on bytes in memory.
for reader in density mask; do
  clang++ "${flags[@]}" -Ilean/files tests/fuzz/${reader}_fuzzer.cpp \
    lean/files/user_files.cpp -o "$out/${reader}_fuzzer"
done

# Messages of rejected inputs would flood the log: the target's standard
# output and error are closed (the sanitizers' reports still come through).
"$out/param_fuzzer" -max_total_time="$param_seconds" -close_fd_mask=3 -timeout=10 \
  -artifact_prefix="$out/" -max_len=4096 -dict=tests/fuzz/param.dict -print_final_stats=1 "$out/corpus" tests/fuzz/corpus

# The readers print nothing; a file for a lattice of 4 x 4 nodes fits in
# 4096 bytes in every format.
for reader in density mask; do
  "$out/${reader}_fuzzer" -max_total_time="$reader_seconds" -timeout=10 \
    -artifact_prefix="$out/${reader}-" -max_len=4096 -print_final_stats=1 \
    "$out/corpus_$reader" "tests/fuzz/corpus_$reader"
done
