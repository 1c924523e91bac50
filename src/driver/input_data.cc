#include "driver/input_data.h"

#include <algorithm>
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

// The whole file read once, in chunks: each hashed, and the part to load
// taken from the very bytes that were hashed.
void read_hashed(const InputFile& input, uint64_t offset, RunData& d) {
  Sha256 digest;
  std::vector<uint8_t> chunk(65536);
  for (uint64_t at = 0; at < input.size;) {
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(chunk.size(), input.size - at));
    uint32_t count = 0;
    if (!input_read(input, at, chunk.data(), want, &count) || count == 0) fail("file-read-error");
    sha256_add(digest, chunk.data(), count);
    const uint64_t from = std::max(at, offset);
    const uint64_t to = std::min<uint64_t>(at + count, offset + d.data_length);
    if (from < to)
      std::copy_n(chunk.data() + (from - at), to - from, &d.data_buffer[from - offset]);
    at += count;
  }
  // A file that has grown since it was opened is as unreadable as one that
  // has shrunk: its size no longer says what it holds.
  uint32_t more = 0;
  if (d.data_length < DATA_BUFFER_SIZE &&
      (!input_read(input, input.size, chunk.data(), 1, &more) || more != 0)) {
    fail("file-read-error");
  }
  if (!sha256_end(digest, d.input_sha256)) d.input_sha256[0] = '\0';
}

void read_binary(const RunOptions& options, const InputFile& input, bool digest, RunData& d) {
  const uint64_t size = input.size;
  const uint64_t offset = options.file_offset;
  if (offset != 0 && offset >= size) fail("offset-not-below-size");
  const uint64_t length = size - offset;
  if (length == 0 || length > DATA_BUFFER_SIZE) fail("bad-load-size");
  d.data_length = static_cast<uint32_t>(length);
  if (digest) return read_hashed(input, offset, d);
  uint32_t count = 0;
  if (!input_read(input, offset, d.data_buffer.data(), DATA_BUFFER_SIZE, &count) ||
      count != d.data_length) {
    fail("file-read-error");
  }
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
  if (digest) {
    Sha256 hash;
    sha256_add(hash, text.data(), text.size());
    if (!sha256_end(hash, d.input_sha256)) d.input_sha256[0] = '\0';
  }
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
