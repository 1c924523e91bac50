// Which kind of image file the operator gave, told by its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace travek {

enum class ImageFormat { kBinary, kIntelHex, kSrecord };

// ':' begins Intel HEX; 'S' and a digit begin S-records; anything else
// (an empty file too) is a raw binary. `head` holds the file's first n bytes.
ImageFormat detect_format(const uint8_t* head, size_t n);

}  // namespace travek
