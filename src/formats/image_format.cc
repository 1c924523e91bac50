#include "formats/image_format.h"

namespace travek {

ImageFormat detect_format(const uint8_t* head, size_t n) {
  if (n >= 1 && head[0] == ':') return ImageFormat::kIntelHex;
  if (n >= 2 && head[0] == 'S' && head[1] >= '0' && head[1] <= '9') return ImageFormat::kSrecord;
  return ImageFormat::kBinary;
}

}  // namespace travek
