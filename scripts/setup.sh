#!/usr/bin/env bash
# Installs what building and testing need, where it is missing (Debian/Ubuntu).
set -euo pipefail

packages=(cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev nlohmann-json3-dev libssl-dev
  srecord binutils sqlite3 ser2net)
[ "${TRAVEK_WINDOWS:-0}" = 1 ] && packages+=(g++-mingw-w64-x86-64 wine wine64)
[ "${TRAVEK_FORMAT:-0}" = 1 ] && packages+=(clang-format)
[ "${TRAVEK_PACKAGE:-0}" = 1 ] && packages+=(dpkg-dev man-db groff-base)
[ "${TRAVEK_FUZZ:-0}" = 1 ] && packages+=(clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}"
