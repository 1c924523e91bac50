#!/usr/bin/env bash
# Fuzzes the tool's handling of everything a station sends, for SECONDS
# (default 60): a whole default run in virtual time per input, under
# libFuzzer with ASan and UBSan (clang). Starts from the committed seeds in
# tests/fuzz/corpus/; what it finds new goes to build-fuzz/corpus/. A crash
# leaves its input in build-fuzz/ (crash-*, timeout-*); replay it with
#   TRAVEK_FUZZ_SHOW=1 build-fuzz/tests/station_input_fuzz build-fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
TRAVEK_FUZZ=1 bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTRAVEK_FUZZ=ON -DTRAVEK_WERROR=ON >/dev/null
cmake --build build-fuzz -j2 --target station_input_fuzz
mkdir -p build-fuzz/corpus
cd build-fuzz
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
tests/station_input_fuzz -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
  -max_len=4096 -print_final_stats=1 corpus ../tests/fuzz/corpus
