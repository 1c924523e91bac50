#!/usr/bin/env bash
# Runs the same scenarios through two builds of travek32 and compares what a
# user sees of each: the console bytes (standard output), the event stream
# (-json), the run log's records (-log:), standard error, the exit status,
# and besides what the station saw and the files the run leaves. Prints one
# line per scenario that differs, with a short diff, then the counts; exits 1
# when any scenario differs. The proof that a refactor changed nothing a user
# sees; a tool for developers, not part of the test suite.
#
#   scripts/compare_builds.sh OLD_BUILD_DIR NEW_BUILD_DIR
#
# Each build folder holds travek32 (and OLD's sim/station-sim plays every
# station, so that only the tool differs). Environment:
#   OLD_WIN_EXE, NEW_WIN_EXE  the Windows builds, run under Wine (default
#                             BUILD_DIR/../build-win/Travek32.exe when there)
#   COMPARE_NEW_FIELDS        record and event fields the new build may add
#                             (comma-separated; default: reason)
#   COMPARE_JOBS              scenarios run at once (default 2)
#   COMPARE_ONLY              a regular expression: only the scenarios it finds
#   COMPARE_SIM               the station-sim to use instead of OLD's
#   COMPARE_WINEPREFIX        a Wine prefix to use (default: a fresh one)
#   COMPARE_DUMP=DIR          each build's normalised results, written there
#   COMPARE_VERBOSE=1         a line for every scenario, the same ones too
set -euo pipefail

usage() {
  sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
  exit 2
}

[ $# -eq 2 ] || usage
here=$(cd "$(dirname "$0")" && pwd)
old=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
for dir in "$old" "$new"; do
  [ -x "$dir/travek32" ] || {
    echo "compare_builds: $dir/travek32 is not there: build it first" >&2
    exit 2
  }
done

windows_exe() {
  local dir=$1
  [ -f "$dir/../build-win/Travek32.exe" ] && (cd "$dir/../build-win" && echo "$PWD/Travek32.exe")
  return 0
}
OLD_WIN_EXE=${OLD_WIN_EXE:-$(windows_exe "$old")}
NEW_WIN_EXE=${NEW_WIN_EXE:-$(windows_exe "$new")}
export OLD_WIN_EXE NEW_WIN_EXE

exec python3 "$here/compare_builds.py" "$old" "$new"
