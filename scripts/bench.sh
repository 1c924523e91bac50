#!/usr/bin/env bash
# Prints the load-time figures: virtual time against the line's limit, and
# wall and CPU time over a pseudo-terminal, many stations at once, network
# ports through ser2net, the unattended line against batches, and the time
# to take a station number from the numbers file, alone and with 8
# processes at once. An argument (virtual, pty, many, network, line) prints
# that part of the load figures alone.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
build/tests/load_bench "$@"
if [ $# -eq 0 ]; then build/tests/numbers_bench; fi
