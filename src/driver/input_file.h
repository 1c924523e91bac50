// The input file: opened read-only when its argument is met, read once into
// the data buffer and closed. It is never written.
#pragma once

#include <cstdint>

namespace travek {

// Opens the file, closing any earlier one; false (with the reason on standard
// error) if it cannot be read.
bool input_open(const char* name);
bool input_is_open();
void input_close();
// The whole size; 0 if it cannot be found.
uint64_t input_size();
// Reads from the offset, up to request bytes; false if reading fails.
bool input_read(uint64_t offset, uint8_t* dest, uint32_t request, uint32_t* count);

}  // namespace travek
