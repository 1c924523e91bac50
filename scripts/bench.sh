#!/usr/bin/env bash
# Prints the load-time figures: virtual time against the line's limit, and
# wall and CPU time over a pseudo-terminal.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build >/dev/null
build/tests/load_bench
