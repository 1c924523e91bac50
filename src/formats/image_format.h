// The kinds of image file the operator can give, as one table: each format
// with its -f: value (also the run record's name for it), the name the
// messages give it, how its first bytes are told, and its parser. A new
// format is one parser file and one row here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/messages.h"
#include "formats/intel_hex.h"
#include "formats/placed_image.h"
#include "formats/srecord.h"

namespace travek {

enum class ImageFormat { kBinary, kIntelHex, kSrecord };

// Rows in the order of ImageFormat.
struct ImageFormatRow {
  const char* key;   // "bin": the -f: value and the record's format
  const char* name;  // in messages; null for the raw binary
  // True when the file's first n bytes begin such a file; null: the format
  // of any file that no other row claims.
  bool (*looks_like)(const uint8_t* head, size_t n);
  // Places the file's data by station address; null: the raw binary, whose
  // bytes are loaded as they are.
  FormatVerdict (*parse)(const uint8_t* text, size_t size, PlacedImage* image);
};

inline constexpr ImageFormatRow kImageFormats[] = {
    {"bin", nullptr, nullptr, nullptr},
    {"hex", msg::kIntelHexName, looks_like_intel_hex, parse_intel_hex},
    {"srec", msg::kSrecordName, looks_like_srecord, parse_srecord},
};

constexpr const ImageFormatRow& format_row(ImageFormat format) {
  return kImageFormats[static_cast<size_t>(format)];
}

// The format whose first bytes `head` (the file's first n) are; a raw
// binary when none claims them (an empty file too).
ImageFormat detect_format(const uint8_t* head, size_t n);

// What a format fault is called in its message.
const char* format_fault_reason(FormatFault fault);

}  // namespace travek
