// Intel HEX text (record types 00 to 05) placed into a station image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/placed_image.h"

namespace travek {

// Clears the image and places the text's data records into it. Stops at the
// end-of-file record (01), which must be there; whatever follows it is not
// read. An extended segment address (02) sets base = value * 16 with the
// offset wrapping within its 64 KB; an extended linear address (04) sets
// base = value << 16 without the wrap. The first fault ends the parse, with
// its line.
FormatVerdict parse_intel_hex(const uint8_t* text, size_t size, PlacedImage* image);

// ':' begins Intel HEX.
bool looks_like_intel_hex(const uint8_t* head, size_t n);

}  // namespace travek
