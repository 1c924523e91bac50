#!/usr/bin/env bash
# Runs the whole Linux suite N times in a row (default 10) with two busy
# loops at normal priority beside it, as on a loaded 2-core machine, and
# prints "K of N runs clean" and the output of every failure. Not part of
# CI: it is the proof for a change to timing or to the end-to-end tests.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-10}
bash scripts/setup.sh
# The Linux suite: the Wine tests, if this build folder had them, are left out.
TRAVEK_CMAKE_ARGS="-DTRAVEK_WINDOWS_EXE= -DTRAVEK_WINE_PREFIX=" bash scripts/build.sh build >/dev/null

busy=()
stop_busy() { [ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null || true; }
trap stop_busy EXIT
for _ in 1 2; do
  (while :; do :; done) &
  busy+=($!)
done

log=$(mktemp -d)
failed=()
for i in $(seq "$runs"); do
  if ctest --test-dir build -j2 --output-on-failure >"$log/run$i.txt" 2>&1; then
    echo "run $i: clean"
  else
    echo "run $i: FAILED"
    failed+=("$i")
  fi
done
stop_busy

# Each failure with its output: what ctest printed, less the tests that passed.
for i in "${failed[@]}"; do
  echo
  echo "===== run $i ====="
  grep -v -E '^ +Start +[0-9]+: |Test +#[0-9]+: .* Passed ' "$log/run$i.txt"
done
rm -rf "$log"
echo
echo "$((runs - ${#failed[@]})) of $runs runs clean"
