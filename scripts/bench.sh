#!/usr/bin/env bash
# Prints the load-time figures: virtual time against the line's limit, and
# wall and CPU time over a pseudo-terminal; then the time to take a station
# number from the numbers file, alone and with 8 processes at once.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
build/tests/load_bench
build/tests/numbers_bench
