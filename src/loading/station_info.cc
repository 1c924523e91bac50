#include "loading/station_info.h"

#include <algorithm>
#include <cstring>

#include "common/constants.h"
#include "common/crc16.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/run_state.h"

namespace travek {
namespace {

constexpr uint8_t kSecondChip = 0x04;

bool present(const ChipDescriptor& chip) { return chip.sector_units != 0 || chip.size_code != 0; }

uint16_t chip_id(const ChipDescriptor& chip) {
  return static_cast<uint16_t>(chip.manufacturer << 8 | chip.device);
}

// Writes the chip's name, or "Bad!" when the station reports none.
void print_chip(const char* label, const ChipDescriptor& chip) {
  con_printf(label, msg::kType, msg::kFlash);
  con_line(present(chip) ? chip_name(chip) : msg::kBad);
  record_chip(present(chip) ? chip_name(chip) : nullptr);
}

[[noreturn]] void fail_line(Outcome outcome, const char* text) {
  record_failure(outcome);
  con_line(text);
  terminate();
}

[[noreturn]] void start_outside_flash() {
  record_failure(Outcome::kStartOutsideFlash);
  con_printf(msg::kStartOutsideFlash, msg::kStartAddressPrefix, msg::kFlash);
  terminate();
}

}  // namespace

StationInfo decode_station_info(const uint8_t* payload) {
  StationInfo info;
  info.flags = payload[0];
  for (int c = 0; c < 2; ++c) {
    const uint8_t* p = payload + 1 + 4 * c;
    info.chips[c] = ChipDescriptor{p[0], p[1], p[2], p[3]};
  }
  return info;
}

const char* chip_name(const ChipDescriptor& chip) {
  const msg::ChipName* row = msg::kChipTable;
  for (;; ++row) {
    uint16_t id = static_cast<uint16_t>(row->manufacturer << 8 | row->device);
    if (id == chip_id(chip) || id == 0) return row->name;
  }
}

void receive_packet(uint8_t code, uint8_t* dest, uint32_t n) {
  if (!read_exact(n + 3, 100)) fail_line(Outcome::kNoPacket, msg::kNoPacket);
  if (serial_link.buffer[0] != code) fail_line(Outcome::kNotPacket, msg::kNotPacket);
  if (crc16(serial_link.buffer, n + 3, 0) != 0) {
    fail_line(Outcome::kPacketFailure, msg::kPacketFailure);
  }
  std::memcpy(dest, serial_link.buffer + 1, n);
}

FlashGeometry station_geometry(const StationInfo& info, const RunOptions& options,
                               std::optional<uint32_t> file_low_address, uint8_t* data,
                               uint32_t* data_length) {
  const ChipDescriptor& chip0 = info.chips[0];
  const ChipDescriptor& chip1 = info.chips[1];
  const bool second = (info.flags & kSecondChip) != 0;
  const char* class_name = msg::kStationClassNames[(info.flags >> 2) & 3];
  con_printf(msg::kStationClass, class_name);
  record_station_class(class_name);
  // A missing chip has no message of its own: its chip lines are the text.
  if (!present(chip0) || (second && !present(chip1))) record_failure(Outcome::kChipMissing);
  print_chip(msg::kChip0Label, chip0);
  if (!present(chip0) && !second) terminate();
  if (second) {
    print_chip(msg::kChip1Label, chip1);
    if (!present(chip0) || !present(chip1)) terminate();
    if (chip_id(chip0) != chip_id(chip1)) {
      record_failure(Outcome::kChipsDiffer);
      con_printf(msg::kChipsDiffer, msg::kFlash, msg::kFlash);
      terminate();
    }
  }

  FlashGeometry g{};
  // Both size codes count, whatever the flags say; the sum wraps as a byte.
  const int8_t size_sum =
      static_cast<int8_t>(static_cast<uint8_t>(chip0.size_code + chip1.size_code));
  g.total = static_cast<uint32_t>(-static_cast<int32_t>(size_sum)) * 65536u;
  con_printf(msg::kTotalSize, msg::kFlash, static_cast<unsigned long>(g.total / 1024),
             static_cast<unsigned long>(g.total));
  uint32_t length = *data_length;
  con_printf(msg::kDataSize, static_cast<unsigned long>(length));
  const uint32_t sector = (chip0.sector_units + chip1.sector_units) * PAGE_SIZE;
  // A zero sector divides nothing: it is as much a conflict as any other.
  const bool sector_sound = sector != 0 && DATA_BUFFER_SIZE % sector == 0;

  if (file_low_address) {
    // The file says where its data goes. The flash is written a sector at a
    // time, so the load starts at the beginning of the lowest address's
    // sector, erased flash up to the data.
    if (!sector_sound) fail_line(Outcome::kSectorSizeConflict, msg::kSectorSizeConflict);
    g.start_address = *file_low_address / sector * sector;
    if (!(ADDRESS_SPACE_END - g.total <= g.start_address)) start_outside_flash();
    const uint32_t lead = *file_low_address - g.start_address;
    if (static_cast<uint64_t>(lead) + length > std::min(g.total, DATA_BUFFER_SIZE)) {
      fail_line(Outcome::kFileTooLarge, msg::kFileTooLarge);
    }
    std::memmove(data + lead, data, length);
    std::memset(data, 0xFF, lead);
    length += lead;
  } else {
    g.start_address = options.start_address;
    if (g.start_address != 0) {
      if (!(ADDRESS_SPACE_END - g.total <= g.start_address &&
            g.start_address < ADDRESS_SPACE_END)) {
        start_outside_flash();
      }
    } else {
      g.start_address = ADDRESS_SPACE_END - length;
    }
    if (length > g.total) fail_line(Outcome::kFileTooLarge, msg::kFileTooLarge);
    if (!sector_sound) fail_line(Outcome::kSectorSizeConflict, msg::kSectorSizeConflict);
    if (g.start_address % sector != 0) {
      record_failure(Outcome::kStartNotSectorStart);
      con_printf(msg::kStartNotSectorStart, msg::kStartAddressPrefix);
      terminate();
    }
  }
  g.sector = static_cast<uint16_t>(sector);
  // Data placed by an explicit start address must end within the 1 MB space.
  const uint32_t padded = (length + sector - 1) / sector * sector;
  if (g.start_address + static_cast<uint64_t>(padded) > ADDRESS_SPACE_END) {
    fail_line(Outcome::kFileTooLarge, msg::kFileTooLarge);
  }
  while (length % sector != 0) data[length++] = 0xFF;
  *data_length = length;
  g.data_length = length;
  g.sector_count = static_cast<uint16_t>(length / sector);
  record_geometry(g.total, g.sector, g.start_address, g.sector_count);
  return g;
}

}  // namespace travek
