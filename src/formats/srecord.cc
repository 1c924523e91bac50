#include "formats/srecord.h"

#include "formats/text_lines.h"

namespace travek {
namespace {

// Count, then count bytes: address, data, checksum.
constexpr size_t kMaxRecordBytes = 1 + 255;

// Address bytes by type; 0 for a type the format does not define (S4).
constexpr uint8_t kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

struct SrecState {
  PlacedImage* image;
  uint32_t data_records;
  bool ended;
};

FormatFault take_record(const TextLine& line, SrecState* state) {
  if (line.length < 2 || line.chars[0] != 'S' || line.chars[1] < '0' || line.chars[1] > '9') {
    return FormatFault::kBadRecord;
  }
  const int type = line.chars[1] - '0';
  const size_t digits = line.length - 2;
  // At least the count and a checksum.
  if (digits < 4 || digits % 2 != 0 || digits > 2 * kMaxRecordBytes) {
    return FormatFault::kBadRecord;
  }
  uint8_t record[kMaxRecordBytes];
  const size_t count = digits / 2;
  if (!read_hex_bytes(line.chars + 2, count, record)) return FormatFault::kBadRecord;
  if (count != record[0] + 1u) return FormatFault::kBadRecord;
  const size_t address_bytes = kAddressBytes[type];
  if (address_bytes != 0 && record[0] < address_bytes + 1) return FormatFault::kBadRecord;
  // The checksum is the ones' complement of the rest's sum: all add up to 0xFF.
  uint8_t sum = 0;
  for (size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + record[i]);
  if (sum != 0xFF) return FormatFault::kBadChecksum;

  const uint32_t address = big_endian(record + 1, address_bytes);
  switch (type) {
    case 0:  // header: a name or a note, nothing to place
      return FormatFault::kNone;
    case 1:
    case 2:
    case 3: {
      const uint8_t* data = record + 1 + address_bytes;
      const size_t length = count - 2 - address_bytes;
      for (size_t i = 0; i < length; ++i) {
        const FormatFault fault = place_byte(state->image, uint64_t{address} + i, data[i]);
        if (fault != FormatFault::kNone) return fault;
      }
      ++state->data_records;
      return FormatFault::kNone;
    }
    case 5:
    case 6:
      return address == state->data_records ? FormatFault::kNone : FormatFault::kBadCount;
    case 7:  // the start address it carries is the station's own business
    case 8:
    case 9:
      state->ended = true;
      return FormatFault::kNone;
    default:
      return FormatFault::kUnknownType;
  }
}

}  // namespace

FormatVerdict parse_srecord(const uint8_t* text, size_t size, PlacedImage* image) {
  clear_placed(image);
  SrecState state{image, 0, false};
  TextLines lines = text_lines(text, size);
  TextLine line;
  while (next_record_line(&lines, &line)) {
    const FormatFault fault = take_record(line, &state);
    if (fault != FormatFault::kNone) return {fault, line.number};
    if (state.ended) break;
  }
  return {FormatFault::kNone, 0};
}

bool looks_like_srecord(const uint8_t* head, size_t n) {
  return n >= 2 && head[0] == 'S' && head[1] >= '0' && head[1] <= '9';
}

}  // namespace travek
