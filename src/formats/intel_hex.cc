#include "formats/intel_hex.h"

#include "formats/text_lines.h"

namespace travek {
namespace {

// Length, two address bytes, type, up to 255 data bytes, checksum.
constexpr size_t kMaxRecordBytes = 1 + 2 + 1 + 255 + 1;

struct HexState {
  PlacedImage* image;
  uint64_t base;
  bool segmented;  // 02 set the base: offsets wrap at 64 KB
  bool ended;
};

FormatFault take_record(const TextLine& line, HexState* state) {
  // ':' and at least length, address, type and checksum.
  if (line.chars[0] != ':' || line.length < 11 || (line.length - 1) % 2 != 0 ||
      line.length - 1 > 2 * kMaxRecordBytes) {
    return FormatFault::kBadRecord;
  }
  uint8_t record[kMaxRecordBytes];
  const size_t count = (line.length - 1) / 2;
  if (!read_hex_bytes(line.chars + 1, count, record)) return FormatFault::kBadRecord;
  const uint8_t length = record[0];
  if (count != length + 5u) return FormatFault::kBadRecord;
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + record[i]);
  if (sum != 0) return FormatFault::kBadChecksum;

  const uint32_t offset = big_endian(record + 1, 2);
  const uint8_t* data = record + 4;
  switch (record[3]) {
    case 0x00:
      for (uint32_t i = 0; i < length; ++i) {
        const uint64_t address =
            state->segmented ? state->base + ((offset + i) & 0xFFFF) : state->base + offset + i;
        const FormatFault fault = place_byte(state->image, address, data[i]);
        if (fault != FormatFault::kNone) return fault;
      }
      return FormatFault::kNone;
    case 0x01:
      state->ended = true;
      return FormatFault::kNone;
    case 0x02:  // a segment's base, value * 16
    case 0x04:  // a linear base, value << 16
      if (length != 2) return FormatFault::kBadRecord;
      state->segmented = record[3] == 0x02;
      state->base = uint64_t{big_endian(data, 2)} << (state->segmented ? 4 : 16);
      return FormatFault::kNone;
    case 0x03:  // start addresses: the station starts its own way
    case 0x05:
      return length == 4 ? FormatFault::kNone : FormatFault::kBadRecord;
    default:
      return FormatFault::kUnknownType;
  }
}

}  // namespace

FormatVerdict parse_intel_hex(const uint8_t* text, size_t size, PlacedImage* image) {
  clear_placed(image);
  HexState state{image, 0, false, false};
  TextLines lines = text_lines(text, size);
  TextLine line;
  while (next_record_line(&lines, &line)) {
    const FormatFault fault = take_record(line, &state);
    if (fault != FormatFault::kNone) return {fault, line.number};
    if (state.ended) return {FormatFault::kNone, 0};
  }
  return {FormatFault::kNoEndRecord, last_line(lines)};
}

bool looks_like_intel_hex(const uint8_t* head, size_t n) { return n >= 1 && head[0] == ':'; }

}  // namespace travek
