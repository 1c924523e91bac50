#!/usr/bin/env bash
# Checks that includes run one way, down the layers of the tool:
#   common -> console -> link -> run -> bootstrap -> loading -> driver
# Each folder may include its own headers and those of the layers below it
# (the link writes the operating system's reasons through the console).
# Prints every include that runs up.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A rank=([common]=0 [assets]=0 [console]=1 [link]=2 [run]=3 [bootstrap]=4 [loading]=5
  [driver]=6)
bad=0
while IFS=: read -r file _ include; do
  from=${file#src/}
  from=${from%%/*}
  to=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$include")
  [ -n "${rank[$to]:-}" ] || continue
  if [ "${rank[$to]}" -gt "${rank[$from]}" ]; then
    echo "$file includes $to/, a layer above $from/: $include"
    bad=1
  fi
done < <(grep -rn --include='*.cc' --include='*.h' '#include "' src)
[ "$bad" = 0 ] && echo "includes run one way: common -> console -> link -> run -> bootstrap -> loading -> driver"
exit "$bad"
