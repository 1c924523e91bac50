#!/usr/bin/env bash
# Builds the release packages and prints their paths: the Debian package
# build-pkg/travek32_<version>_<arch>.deb (travek32, station-sim, their manual
# pages and the README; a Release build without the tests) and the Windows
# zip build-win/Travek32.zip. scripts/check_package.sh checks the first.
set -euo pipefail
cd "$(dirname "$0")/.."

TRAVEK_PACKAGE=1 bash scripts/setup.sh
rm -f build-pkg/travek32_*.deb
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DTRAVEK_TESTS=OFF -DTRAVEK_WERROR=ON >/dev/null
cmake --build build-pkg -j2
(cd build-pkg && cpack)
bash scripts/build_windows.sh

deb=$(ls build-pkg/travek32_*.deb)
echo "Debian package: $PWD/$deb"
echo "Windows zip:    $PWD/build-win/Travek32.zip"
