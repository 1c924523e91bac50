// The input file: opened read-only when its argument is met, read once into
// the data buffer and closed. It is never written. Only a regular file will
// do: a FIFO would block the run before it starts and a device has no size.
// One back end per platform (input_file_posix.cc, input_file_win32.cc).
#pragma once

#include <cstdint>

namespace travek {

struct InputFile {
  intptr_t handle = -1;  // the platform's: a descriptor, or a HANDLE
  uint64_t size = 0;     // as it was when it was opened
};

// Opens the file, closing any earlier one; false (with the reason on standard
// error) if it cannot be read or is not a regular file.
bool input_open(InputFile& file, const char* name);
bool input_is_open(const InputFile& file);
void input_close(InputFile& file);
// Reads from the offset, up to request bytes; false if reading fails.
bool input_read(const InputFile& file, uint64_t offset, uint8_t* dest, uint32_t request,
                uint32_t* count);

}  // namespace travek
