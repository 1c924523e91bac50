#!/usr/bin/env bash
# Checks that no function in src/ or sim/ is longer than 60 lines, from the
# first line of its signature to its closing brace (the code is
# clang-format'ed: a definition at namespace level starts in the first
# column and ends with a '}' alone in the first column). Prints each one
# that is longer, with its length.
set -euo pipefail
cd "$(dirname "$0")/.."

python3 - "$@" <<'PY'
import re, subprocess, sys

LIMIT = 60
files = subprocess.run(["git", "ls-files", "src/*.cc", "src/*.h", "sim/*.cc", "sim/*.h"],
                       capture_output=True, text=True, check=True).stdout.split()
# Lines that open a body which is not a function's.
not_function = re.compile(r"^(namespace|struct|class|enum|union|extern|using|typedef)\b"
                          r"|^(inline |static )?constexpr [^(]*=|^[^(]*=\s*\{")
too_long = 0
for path in files:
    lines = open(path, encoding="utf-8").read().split("\n")
    start = None
    at = 0
    while at < len(lines):
        line = lines[at].rstrip()
        at += 1
        if start is None and line[:1].strip() and not line.startswith(("//", "#", "}", "{")) \
                and not not_function.match(line):
            start = at
        if start is None:
            continue
        signature = " ".join(lines[start - 1:at])
        if line.endswith("{") and "(" in signature and not line.endswith("= {"):
            # The body ends at the first '}' alone in the first column.
            end = next((n for n in range(at, len(lines)) if lines[n] == "}"), None)
            if end is not None and end + 1 - start + 1 > LIMIT:
                print(f"{path}:{start}: {end + 1 - start + 1} lines: {lines[start - 1].strip()}")
                too_long += 1
            at = end + 1 if end is not None else at
            start = None
        elif line.endswith(";") or line.endswith("}"):
            start = None
if too_long:
    sys.exit(1)
print(f"no function in src/ or sim/ is over {LIMIT} lines")
PY
