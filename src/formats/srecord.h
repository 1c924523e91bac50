// Motorola S-records (S0 to S3, S5 to S9) placed into a station image.
#pragma once

#include <cstddef>
#include <cstdint>

#include "formats/placed_image.h"

namespace travek {

// Clears the image and places the text's data records (S1, S2, S3) into it.
// A termination record (S7, S8, S9) ends the parse and whatever follows it
// is not read; without one the text simply ends, as srec_cat writes it. An
// S5 or S6 record count must match the data records before it. The first
// fault ends the parse, with its line.
FormatVerdict parse_srecord(const uint8_t* text, size_t size, PlacedImage* image);

// 'S' and a digit begin S-records.
bool looks_like_srecord(const uint8_t* head, size_t n);

}  // namespace travek
