#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what is missing, builds,
# and runs every test. SANITIZE=1 runs it under ASan and UBSan in build-asan/.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
dir=build
[ "${SANITIZE:-0}" = 1 ] && dir=build-asan
bash scripts/build.sh "$dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j2
