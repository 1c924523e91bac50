#include "formats/image_format.h"

namespace travek {

ImageFormat detect_format(const uint8_t* head, size_t n) {
  for (size_t i = 0; i < sizeof(kImageFormats) / sizeof(kImageFormats[0]); ++i) {
    const ImageFormatRow& row = kImageFormats[i];
    if (row.looks_like != nullptr && row.looks_like(head, n)) return static_cast<ImageFormat>(i);
  }
  return ImageFormat::kBinary;
}

const char* format_fault_reason(FormatFault fault) {
  constexpr const char* kReasons[] = {
      msg::kFormatBadRecord,   msg::kFormatBadRecord,      msg::kFormatBadChecksum,
      msg::kFormatUnknownType, msg::kFormatAddressOutside, msg::kFormatAddressTwice,
      msg::kFormatBadCount,    msg::kFormatNoEndRecord,
  };
  static_assert(sizeof(kReasons) / sizeof(kReasons[0]) ==
                static_cast<size_t>(FormatFault::kNoEndRecord) + 1);
  return kReasons[static_cast<size_t>(fault)];
}

}  // namespace travek
