#include "loading/station_info.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/constants.h"
#include "common/crc16.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

bool present(const ChipDescriptor& chip) { return chip.sector_units != 0 || chip.size_code != 0; }

uint16_t chip_id(const ChipDescriptor& chip) {
  return static_cast<uint16_t>(chip.manufacturer << 8 | chip.device);
}

// The table's name for a chip, "UNKNOWN" for any id not listed.
const char* chip_name(const ChipDescriptor& chip) {
  for (const msg::ChipName* row = msg::kChipTable;; ++row) {
    const uint16_t id = static_cast<uint16_t>(row->manufacturer << 8 | row->device);
    if (id == chip_id(chip) || id == 0) return row->name;
  }
}

// The chip's line: its name, or "Bad!" when the station reports none.
std::string chip_line(RunRecord& record, CheckedFormat<const char*, const char*> label,
                      const ChipDescriptor& chip) {
  std::string name = present(chip) ? chip_name(chip) : "";
  name.erase(name.find_last_not_of(' ') + 1);  // the table pads names with spaces
  record_list_add(record, field("chips"), present(chip) ? name.c_str() : nullptr);
  return format_text(label, msg::kType, msg::kFlash) +
         (present(chip) ? chip_name(chip) : msg::kBad) + "\n";
}

[[noreturn]] void start_outside_flash() {
  fail("start-outside-flash", msg::kStartAddressPrefix, msg::kFlash);
}

// The class and chip lines; a station whose chips are missing or differ
// ends the run there.
void show_station(RunRecord& record, const StationInfo& info) {
  const ChipDescriptor& chip0 = info.chips[0];
  const ChipDescriptor& chip1 = info.chips[1];
  const bool second = (info.flags & FLAG_SECOND_CHIP) != 0;
  const char* class_name = msg::kStationClassNames[(info.flags >> 2) & 3];
  con_printf(msg::kStationClass, class_name);
  record_text(record, field("station_class"), class_name);
  std::string chips = chip_line(record, msg::kChip0Label, chip0);
  if (second) chips += chip_line(record, msg::kChip1Label, chip1);
  // A missing chip has no message of its own: its chip lines are the text.
  if (!present(chip0) || (second && !present(chip1))) fail("chip-missing", chips.c_str());
  con_write(chips.c_str());
  if (second && chip_id(chip0) != chip_id(chip1)) {
    fail("chips-differ", msg::kFlash, msg::kFlash);
  }
}

// The file says where its data goes. The flash is written a sector at a
// time, so the load starts at the beginning of the lowest address's sector,
// erased flash up to the data. Returns the data's new length.
uint32_t place_from_file(FlashGeometry& g, uint32_t sector, uint32_t file_low, uint8_t* data,
                         uint32_t length) {
  g.start_address = file_low / sector * sector;
  if (!(ADDRESS_SPACE_END - g.total <= g.start_address)) start_outside_flash();
  const uint32_t lead = file_low - g.start_address;
  if (static_cast<uint64_t>(lead) + length > std::min(g.total, DATA_BUFFER_SIZE)) {
    fail("file-too-large");
  }
  std::memmove(data + lead, data, length);
  std::memset(data, 0xFF, lead);
  return length + lead;
}

// At the address the options give, or else ending at the top of the space.
void place_by_options(FlashGeometry& g, uint32_t sector, bool sector_sound, uint32_t start_address,
                      uint32_t length) {
  g.start_address = start_address;
  if (g.start_address != 0) {
    if (!(ADDRESS_SPACE_END - g.total <= g.start_address && g.start_address < ADDRESS_SPACE_END)) {
      start_outside_flash();
    }
  } else {
    g.start_address = ADDRESS_SPACE_END - length;
  }
  if (length > g.total) fail("file-too-large");
  if (!sector_sound) fail("sector-size-conflict");
  if (g.start_address % sector != 0) fail("start-not-sector-start", msg::kStartAddressPrefix);
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

void receive_packet(SerialLink& link, uint8_t code, uint8_t* dest, uint32_t n) {
  if (!read_exact(link, n + 3, 100)) fail("no-packet");
  if (link.buffer[0] != code) fail("not-packet");
  if (crc16(link.buffer, n + 3, 0) != 0) fail("packet-failure");
  std::memcpy(dest, link.buffer + 1, n);
}

FlashGeometry station_geometry(StationRun& run, const StationInfo& info) {
  RunData& d = run.data;
  show_station(run.record, info);
  const ChipDescriptor& chip0 = info.chips[0];
  const ChipDescriptor& chip1 = info.chips[1];
  FlashGeometry g{};
  // Both size codes count, whatever the flags say; the sum wraps as a byte.
  const int8_t size_sum =
      static_cast<int8_t>(static_cast<uint8_t>(chip0.size_code + chip1.size_code));
  g.total = static_cast<uint32_t>(-static_cast<int32_t>(size_sum)) * 65536u;
  con_printf(msg::kTotalSize, msg::kFlash, static_cast<unsigned long>(g.total / 1024),
             static_cast<unsigned long>(g.total));
  uint32_t length = d.data_length;
  con_printf(msg::kDataSize, static_cast<unsigned long>(length));
  const uint32_t sector = (chip0.sector_units + chip1.sector_units) * PAGE_SIZE;
  // A zero sector divides nothing: it is as much a conflict as any other.
  const bool sector_sound = sector != 0 && DATA_BUFFER_SIZE % sector == 0;
  uint8_t* data = d.data_buffer.data();
  if (d.data_placed) {
    if (!sector_sound) fail("sector-size-conflict");
    length = place_from_file(g, sector, d.data_low_address, data, length);
  } else {
    place_by_options(g, sector, sector_sound, run.options.start_address, length);
  }
  g.sector = static_cast<uint16_t>(sector);
  // Data placed by an explicit start address must end within the 1 MB space.
  const uint32_t padded = (length + sector - 1) / sector * sector;
  if (g.start_address + static_cast<uint64_t>(padded) > ADDRESS_SPACE_END) fail("file-too-large");
  while (length % sector != 0) data[length++] = 0xFF;
  d.data_length = g.data_length = length;
  g.sector_count = static_cast<uint16_t>(length / sector);
  RunRecord& r = run.record;
  record_number(r, field("flash_bytes"), g.total);
  record_number(r, field("sector_bytes"), g.sector);
  record_number(r, field("start_address"), g.start_address);
  record_number(r, field("sectors"), g.sector_count);
  record_number(r, field("warnings"), 0);
  record_event(r, event("station"));
  return g;
}

}  // namespace travek
