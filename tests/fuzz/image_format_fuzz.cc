// libFuzzer target: every input parsed both as Intel HEX and as S-records.
// A verdict is either kNone with no line or a fault on one of the text's
// lines; a parse that succeeds gives a placed range inside the station's
// space, with nothing given outside it, that copy_placed fills exactly.
// Anything else, a crash or a sanitizer report is a failure.
#include <cstdint>
#include <cstdlib>

#include "formats/image_format.h"
#include "formats/intel_hex.h"
#include "formats/placed_image.h"
#include "formats/srecord.h"

namespace {

using travek::FormatFault;
using travek::FormatVerdict;
using travek::PLACED_SPACE;
using travek::PlacedImage;

// Counted apart from the parsers' own line splitting, to check it.
uint32_t line_count(const uint8_t* text, size_t size) {
  uint32_t lines = 0;
  for (size_t i = 0; i < size; ++i) lines += text[i] == '\n';
  if (size > 0 && text[size - 1] != '\n') ++lines;
  return lines > 0 ? lines : 1;
}

bool given(const PlacedImage& image, uint32_t address) {
  return (image.given[address / 8] >> (address % 8)) & 1;
}

void check(const FormatVerdict& verdict, const PlacedImage& image, uint32_t lines) {
  static uint8_t copy[PLACED_SPACE];
  switch (verdict.fault) {
    case FormatFault::kNone:
      break;
    case FormatFault::kBadRecord:
    case FormatFault::kBadChecksum:
    case FormatFault::kUnknownType:
    case FormatFault::kAddressOutside:
    case FormatFault::kAddressTwice:
    case FormatFault::kBadCount:
    case FormatFault::kNoEndRecord:
      if (verdict.line < 1 || verdict.line > lines) std::abort();
      return;
    default:
      std::abort();
  }
  if (verdict.line != 0) std::abort();
  if (!image.any) {
    for (uint8_t bits : image.given) {
      if (bits != 0) std::abort();
    }
    return;
  }
  if (image.low > image.high || image.high >= PLACED_SPACE) std::abort();
  if (!given(image, image.low) || !given(image, image.high)) std::abort();
  for (uint32_t a = 0; a < PLACED_SPACE; a += 8) {
    if (image.given[a / 8] != 0 && (a + 7 < image.low || a > image.high)) std::abort();
  }
  if (travek::copy_placed(image, copy) != image.high - image.low + 1) std::abort();
  for (uint32_t a = image.low; a <= image.high; ++a) {
    if (copy[a - image.low] != (given(image, a) ? image.bytes[a] : 0xFF)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static PlacedImage* const image = new PlacedImage;  // 1.1 MB, kept for every run
  travek::detect_format(data, size);
  const uint32_t lines = line_count(data, size);
  check(travek::parse_intel_hex(data, size, image), *image, lines);
  check(travek::parse_srecord(data, size, image), *image, lines);
  return 0;
}
