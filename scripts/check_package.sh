#!/usr/bin/env bash
# Checks the Debian package scripts/package.sh made (or the one named): it
# holds exactly travek32, station-sim, their manual pages and the README (no
# tests, no benchmark); its Depends were computed; the installed tool shows
# its usage and ends with status 0; both manual pages render without a
# warning. Prints the package's control information.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "check_package: $*" >&2
  exit 1
}

if [ $# -gt 0 ]; then
  deb=$1
else
  debs=(build-pkg/travek32_*.deb)
  [ ${#debs[@]} -eq 1 ] || fail "more than one package: ${debs[*]}"
  deb=${debs[0]}
fi
[ -f "$deb" ] || fail "no package $deb"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"

expected=(
  usr/bin/station-sim
  usr/bin/travek32
  usr/share/doc/travek32/README.md
  usr/share/man/man1/station-sim.1.gz
  usr/share/man/man1/travek32.1.gz
)
for f in "${expected[@]}"; do
  [ -f "$root/$f" ] || fail "$f is missing from $deb"
done
extra=$(cd "$root" && find . ! -type d | sed 's|^\./||' | sort |
  comm -23 - <(printf '%s\n' "${expected[@]}" | sort))
[ -z "$extra" ] || fail "$deb holds more than it should: $extra"

dpkg-deb --info "$deb"
[[ $(dpkg-deb -f "$deb" Depends) == *libc6* ]] || fail "Depends was not computed"

# Without arguments: the usage, then "Press a key", which the end of the
# input answers at once.
status=0
usage=$(timeout 10 "$root/usr/bin/travek32" </dev/null) || status=$?
[ "$status" -eq 0 ] || fail "travek32 without arguments ended with status $status"
grep -q 'Формат:' <<<"$usage" || fail "travek32 without arguments showed no usage"

# The pages quote the tool's Russian messages, so they render on a UTF-8
# device whatever the caller's locale.
for page in travek32 station-sim; do
  file=$root/usr/share/man/man1/$page.1.gz
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$file" 2>"$root/warnings") ||
    fail "man $page failed: $(cat "$root/warnings")"
  [ ! -s "$root/warnings" ] || fail "man $page: $(cat "$root/warnings")"
  grep -q '^NAME' <<<"$text" || fail "man $page rendered nothing"
done
echo "check_package: $deb is sound"
