#include "driver/input_data.h"

#include <memory>
#include <string>
#include <vector>

#include "record/sha256.h"
#include "run/command_line.h"
#include "run/fail.h"

namespace travek {
namespace {

// A HEX or S-record file is read whole; none of a 512 KB image comes near.
constexpr uint64_t kMaxTextFile = 16u << 20;

// The SHA-256 of the whole input file, from its start whatever the offset;
// whole: its bytes when they are at hand already.
void hash_input(const InputFile& input, const uint8_t* whole, char* hex) {
  Sha256 digest;
  if (whole != nullptr) {
    sha256_add(digest, whole, input.size);
  } else {
    std::vector<uint8_t> chunk(65536);
    for (uint64_t at = 0; at < input.size;) {
      uint32_t count = 0;
      if (!input_read(input, at, chunk.data(), static_cast<uint32_t>(chunk.size()), &count) ||
          count == 0) {
        return;
      }
      sha256_add(digest, chunk.data(), count);
      at += count;
    }
  }
  if (!sha256_end(digest, hex)) hex[0] = '\0';
}

void read_binary(const RunOptions& options, const InputFile& input, bool digest, RunData& d) {
  const uint64_t size = input.size;
  const uint64_t offset = options.file_offset;
  if (offset != 0 && offset >= size) fail("offset-not-below-size");
  const uint64_t length = size - offset;
  if (length == 0 || length > DATA_BUFFER_SIZE) fail("bad-load-size");
  d.data_length = static_cast<uint32_t>(length);
  uint32_t count = 0;
  if (!input_read(input, offset, d.data_buffer.data(), DATA_BUFFER_SIZE, &count) ||
      count != d.data_length) {
    fail("file-read-error");
  }
  if (digest) hash_input(input, offset == 0 ? d.data_buffer.data() : nullptr, d.input_sha256);
}

// A HEX or S-record file: its data from the lowest address it gives to the
// highest, gaps as erased flash. Never taken as a binary when it does not
// parse.
void read_placed(const ImageFormatRow& format, const InputFile& input, bool digest, RunData& d) {
  const uint64_t size = input.size;
  if (size == 0 || size > kMaxTextFile) fail("bad-load-size");
  std::vector<uint8_t> text(size);
  uint32_t count = 0;
  if (!input_read(input, 0, text.data(), static_cast<uint32_t>(size), &count) || count != size) {
    fail("file-read-error");
  }
  if (digest) hash_input(input, text.data(), d.input_sha256);
  const auto placed = std::make_unique<PlacedImage>();
  const FormatVerdict verdict = format.parse(text.data(), text.size(), placed.get());
  if (verdict.fault != FormatFault::kNone) {
    fail("format-error", static_cast<unsigned>(verdict.line), format_fault_reason(verdict.fault));
  }
  if (!placed->any || placed->high - placed->low >= DATA_BUFFER_SIZE) fail("bad-load-size");
  d.data_length = copy_placed(*placed, d.data_buffer.data());
  d.data_placed = true;
  d.data_low_address = placed->low;
}

}  // namespace

ImageFormat choose_format(const RunOptions& options, const InputFile& input) {
  ImageFormat chosen = options.format;
  if (!options.format_forced) {
    uint8_t head[2] = {};
    uint32_t count = 0;
    if (!input_read(input, 0, head, sizeof(head), &count)) count = 0;
    chosen = detect_format(head, count);
  }
  const ImageFormatRow& format = format_row(chosen);
  size_t length = 0;
  const char* typed = binary_only_switch(options, &length);
  if (format.parse != nullptr && typed != nullptr) {
    const std::string prefix(typed, length);
    fail("switch-not-applicable", prefix.c_str(), format.name);
  }
  return chosen;
}

void read_input(const RunOptions& options, InputFile& input, bool digest, RunData& data) {
  const ImageFormatRow& format = format_row(options.format);
  if (format.parse == nullptr) {
    read_binary(options, input, digest, data);
  } else {
    read_placed(format, input, digest, data);
  }
  input_close(input);
}

}  // namespace travek
