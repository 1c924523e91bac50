#!/usr/bin/env bash
# Fuzzes one target for SECONDS (default 60) under libFuzzer with ASan and
# UBSan (clang):
#   bash scripts/fuzz.sh [SECONDS] [station_input_fuzz|image_format_fuzz|numbers_file_fuzz|rfc2217_fuzz]
# station_input_fuzz, the default, fuzzes the tool's handling of everything
# a station sends: a whole default run in virtual time per input. It starts
# from the committed seeds in tests/fuzz/corpus/; what it finds new goes to
# build-fuzz/corpus/.
# image_format_fuzz fuzzes the Intel HEX and S-record parsers. It starts
# from tests/fuzz/image_corpus/ and from what objcopy and srec_cat (when
# installed) write of small random images, made afresh in
# build-fuzz/image_seeds/; what it finds new goes to build-fuzz/image_corpus/.
# numbers_file_fuzz fuzzes the numbers file's parser, editor and encoder,
# and the job file's parser, which reads the same syntax. It
# starts from tests/fuzz/numbers_corpus/; what it finds new goes to
# build-fuzz/numbers_corpus/.
# rfc2217_fuzz fuzzes the Telnet and RFC 2217 codec of network ports and
# their names, from tests/fuzz/rfc2217_corpus/ (a device server's opening,
# answers, notices among data); what it finds new goes to
# build-fuzz/rfc2217_corpus/.
# A crash leaves its input in build-fuzz/ (crash-*, timeout-*); replay it with
#   TRAVEK_FUZZ_SHOW=1 build-fuzz/tests/station_input_fuzz build-fuzz/crash-...
#   build-fuzz/tests/image_format_fuzz build-fuzz/crash-...
#   build-fuzz/tests/numbers_file_fuzz build-fuzz/crash-...
#   build-fuzz/tests/rfc2217_fuzz build-fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
target=${2:-station_input_fuzz}
case "$target" in
  station_input_fuzz) corpus=corpus seeds=(../tests/fuzz/corpus) ;;
  image_format_fuzz) corpus=image_corpus seeds=(../tests/fuzz/image_corpus image_seeds) ;;
  numbers_file_fuzz) corpus=numbers_corpus seeds=(../tests/fuzz/numbers_corpus) ;;
  rfc2217_fuzz) corpus=rfc2217_corpus seeds=(../tests/fuzz/rfc2217_corpus) ;;
  *)
    echo "usage: bash scripts/fuzz.sh [SECONDS] [station_input_fuzz|image_format_fuzz|numbers_file_fuzz|rfc2217_fuzz]" >&2
    exit 2
    ;;
esac

# Text files as the field's tools write them, at addresses that take every
# kind of base record: a start for the parsers' fuzzing.
make_image_seeds() {
  rm -rf image_seeds
  mkdir -p image_seeds
  local have_objcopy=0 have_srec_cat=0 n=0 size address
  command -v objcopy >/dev/null && have_objcopy=1
  command -v srec_cat >/dev/null && have_srec_cat=1
  for size in 1 40 300; do
    head -c "$size" /dev/urandom >image_seeds/image.bin
    for address in 0x0 0x1FFF8 0x8FFF0 0xFFE80; do
      n=$((n + 1))
      if [ "$have_objcopy" = 1 ]; then
        objcopy -I binary -O ihex --change-addresses "$address" image_seeds/image.bin \
          "image_seeds/objcopy_$n.hex"
        objcopy -I binary -O srec --change-addresses "$address" image_seeds/image.bin \
          "image_seeds/objcopy_$n.srec"
        objcopy -I binary -O srec --srec-forceS3 --srec-len 8 --change-addresses "$address" \
          image_seeds/image.bin "image_seeds/objcopy_$n.s37"
      fi
      if [ "$have_srec_cat" = 1 ]; then
        local in=(image_seeds/image.bin -binary -offset "$address")
        srec_cat "${in[@]}" -o "image_seeds/srec_cat_$n.hex" -intel
        srec_cat "${in[@]}" -o "image_seeds/srec_cat_$n.i16" -intel -address-length=3 -crlf
        srec_cat "${in[@]}" -o "image_seeds/srec_cat_$n.s19" -motorola
        srec_cat "${in[@]}" -o "image_seeds/srec_cat_$n.s28" -motorola -address-length=3 \
          -execution-start-address="$address"
      fi
    done
  done
  rm image_seeds/image.bin
}

TRAVEK_FUZZ=1 bash scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTRAVEK_FUZZ=ON -DTRAVEK_WERROR=ON >/dev/null
cmake --build build-fuzz -j2 --target "$target"
mkdir -p "build-fuzz/$corpus"
cd build-fuzz
[ "$target" = image_format_fuzz ] && make_image_seeds
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
"tests/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
  -max_len=4096 -print_final_stats=1 "$corpus" "${seeds[@]}"
