#!/usr/bin/env bash
# Cross-builds Travek32.exe (static, no MinGW runtime needed beside it) and
# Travek32.zip (the exe and the README) into build-win/.
set -euo pipefail
cd "$(dirname "$0")/.."

TRAVEK_WINDOWS=1 bash scripts/setup.sh
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTRAVEK_WERROR=ON >/dev/null
cmake --build build-win -j2
