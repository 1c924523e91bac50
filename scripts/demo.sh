#!/usr/bin/env bash
# The main job, on the built-in station simulator: builds what is needed,
# starts station-sim on a fresh pseudo-terminal, and runs a full flash of a
# sample image with travek32 in this terminal (press Enter at the jumper
# prompt, then any key), then prints the simulator's verdict and checks the
# flash against the image. Without a terminal on standard input it answers
# the jumper prompt itself. The station is paced: it takes and gives bytes
# no faster than a serial line would carry them, so the resident's "T=" and
# the load time are a real line's (about 17 s in all).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
bash scripts/build.sh build >/dev/null

work=$(mktemp -d)
sim_pid=""
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A 256 KB sample: random data, a run of erased flash (0xFF), a run of one
# repeated 16-bit word, and random data again.
image="$work/sample.bin"
{
  head -c 98304 /dev/urandom
  head -c 65536 /dev/zero | tr '\0' '\377'
  for _ in $(seq 4096); do printf '\x12\x34\x12\x34\x12\x34\x12\x34\x12\x34\x12\x34\x12\x34\x12\x34'; done
  head -c 32768 /dev/urandom
} > "$image"

# An 11 MHz station (the resident at 10472 bit/s, the load at 115200) with a
# 512 KB AT29C040; its boot loader starts 1.5 s after the reset pulse, and
# each 256-byte sector takes 8 ms to write. At the line's pace the load
# takes about 13 s (the erased and repeated runs go as short fill records).
build/sim/station-sim --paced --clock 11 --boot-delay 1500 --sector-ms 8 \
  --flash-out "$work/flash.bin" --verdict "$work/verdict.json" > "$work/sim.out" &
sim_pid=$!
for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.05; done
port=$(head -n 1 "$work/sim.out")
echo "station-sim is listening on $port"
echo "+ build/travek32 -port:$port sample.bin"

set +e
if [ -t 0 ]; then
  build/travek32 "-port:$port" "$image"
  status=$?
else
  # Answer the jumper prompt once it shows (keys typed earlier would be taken
  # by the start wait), then end the input for the final prompt.
  : > "$work/tool.out"
  ( until grep -q 'ПЕРЕМЫЧКУ' "$work/tool.out"; do sleep 0.1; done; printf '\r' ) |
    build/travek32 "-port:$port" "$image" | tee "$work/tool.out"
  status=${PIPESTATUS[1]}
fi
wait "$sim_pid"
sim_status=$?
sim_pid=""
set -e

echo
echo "travek32 exit status: $status"
echo "station-sim verdict (exit status $sim_status):"
cat "$work/verdict.json"
size=$(stat -c %s "$image")
if tail -c "$size" "$work/flash.bin" | cmp -s - "$image"; then
  echo "The station's flash holds the sample image, byte for byte, at its top."
else
  echo "The station's flash does NOT hold the sample image."
  exit 1
fi
[ "$status" -eq 0 ] && [ "$sim_status" -eq 0 ]
