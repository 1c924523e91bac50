#!/usr/bin/env bash
# The whole test suite on a fresh machine: installs what is missing, builds
# (the Linux tool and simulator, and the Windows executable with MinGW-w64),
# and runs every test, the Windows ones under Wine.
#   SANITIZE=1        the Linux suite under ASan and UBSan, in build-asan/
#   TRAVEK_WINDOWS=0  leave the Windows build and Wine out
set -euo pipefail
cd "$(dirname "$0")/.."

windows=${TRAVEK_WINDOWS:-1}
dir=build
if [ "${SANITIZE:-0}" = 1 ]; then
  windows=0
  dir=build-asan
fi
TRAVEK_WINDOWS=$windows bash scripts/setup.sh

windows_exe=""
wine_prefix=""
if [ "$windows" = 1 ]; then
  bash scripts/build_windows.sh
  windows_exe="$PWD/build-win/Travek32.exe"
  # One Wine prefix a run, and one server kept up for all the tests.
  wine_prefix="$PWD/build-win/wineprefix"
  export WINEPREFIX="$wine_prefix" WINEDEBUG=-all
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w  # the server wineboot started lingers a while
  wineserver -p >/dev/null 2>&1
  trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
fi

TRAVEK_CMAKE_ARGS="-DTRAVEK_WINDOWS_EXE=$windows_exe -DTRAVEK_WINE_PREFIX=$wine_prefix" \
  bash scripts/build.sh "$dir"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
ctest --test-dir "$dir" --output-on-failure -j2
