#!/usr/bin/env bash
# Checks that includes run one way, down the layers of the tool:
#   common -> formats, job -> console -> process -> link -> record -> run
#     -> numbers -> bootstrap -> loading -> production -> driver
# Each folder may include its own headers and those of the layers below it
# (the link writes the operating system's reasons through the console).
#
# The simulator stays independent of the tool: the station model (line
# model, station model, verdict, scripted station) uses only common/ and
# assets/, as a station maker's own code would; the pseudo-terminal front
# may also use the tool's termios2 helper; only the virtual-time back ends
# (virtual_line, port_virtual, socket_virtual, console_virtual,
# children_virtual) reach into the tool, since they are where the tool's own
# code runs. Nothing under src/ includes sim/.
# Prints every include that breaks a rule.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=([common]=0 [assets]=0 [formats]=1 [job]=1 [console]=2 [process]=3 [link]=4 [record]=5
  [run]=6 [numbers]=7 [bootstrap]=8 [loading]=9 [production]=10 [driver]=11)
bad=0
while IFS=: read -r file _ include; do
  from=${file#src/}
  from=${from%%/*}
  to=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$include")
  if [ -z "${rank[$from]:-}" ]; then
    echo "$file is in src/$from/, a folder with no place in the layers"
    bad=1
    continue
  fi
  if [ -z "${rank[$to]:-}" ]; then
    echo "$file includes a header from outside the layers (the simulator?): $include"
    bad=1
    continue
  fi
  if [ "${rank[$to]}" -gt "${rank[$from]}" ]; then
    echo "$file includes $to/, a layer above $from/: $include"
    bad=1
  fi
done < <(grep -rn --include='*.cc' --include='*.h' '#include "' src)

# The numbers file's and the job file's parsers and the command's verdict
# are pure: bytes in, a result out, nothing of the console, the port or the
# disk.
pure_numbers=(src/numbers/numbers_file.h src/numbers/numbers_file.cc src/numbers/command_verdict.h
  src/numbers/command_verdict.cc src/job/job_file.h src/job/job_file.cc)
while IFS=: read -r file _ include; do
  target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$include")
  case "$target" in
    common/* | numbers/numbers_file.h | numbers/command_verdict.h | job/job_file.h | formats/*) ;;
    *)
      echo "$file is pure and may use only common/: $include"
      bad=1
      ;;
  esac
done < <(grep -n '#include "' "${pure_numbers[@]}")

# What each part of the simulator may use of src/.
allowed_for() {
  case "$1" in
    virtual_line.* | port_virtual.* | socket_virtual.* | console_virtual.* | children_virtual.*)
      echo 'any'
      ;;
    pty_station.* | station_sim_main.*) echo 'common assets link/termios2_linux.h' ;;
    *) echo 'common assets' ;;
  esac
}
while IFS=: read -r file _ include; do
  target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$include")
  [[ "$target" == */* ]] || continue
  allowed=$(allowed_for "$(basename "$file")")
  [ "$allowed" = any ] && continue
  ok=0
  for a in $allowed; do
    if [[ "$a" == */* ]]; then
      [ "$target" = "$a" ] && ok=1
    else
      [ "${target%%/*}" = "$a" ] && ok=1
    fi
  done
  if [ "$ok" = 0 ]; then
    echo "$file reaches into the tool: $include (it may use: $allowed)"
    bad=1
  fi
done < <(grep -rn --include='*.cc' --include='*.h' '#include "' sim)

if [ "$bad" = 0 ]; then
  echo "includes run one way: common -> formats, job -> console -> process -> link -> record -> run ->" \
    "numbers -> bootstrap -> loading -> production -> driver; the pure numbers code uses" \
    "common alone; the station model stands apart"
fi
exit "$bad"
