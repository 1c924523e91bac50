#include "loading/page_stream.h"

#include <algorithm>
#include <cstring>

#include "common/constants.h"
#include "common/crc16.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "loading/load_state.h"
#include "loading/reports.h"
#include "run/fail.h"

namespace travek {

LoadState load_state;

namespace {

// A write the line does not take in time meets a resident that has stopped
// listening: as silent as one that sends no reports.
void send(const uint8_t* data, uint32_t n) {
  if (!write(data, n)) fail("resident-not-inviting");
}

void write_start_record(uint16_t page) {
  uint8_t record[4];
  write_le16(record, page);
  write_le16(record + 2, crc16(record, 2, 0));
  send(record, sizeof(record));
}

// True when the page is one 16-bit word repeated.
bool uniform_page(const uint8_t* page) {
  for (uint32_t i = 2; i < PAGE_SIZE; i += 2) {
    if (page[i] != page[0] || page[i + 1] != page[1]) return false;
  }
  return true;
}

}  // namespace

void append_record(uint32_t count) {
  LoadState& s = load_state;
  const uint32_t limit = std::min(s.credit, LINK_BLOCK);
  if (s.batched + count + RECORD_OVERHEAD > limit) {
    send(serial_link.buffer, s.batched);
    s.credit -= s.batched;
    while (s.credit < CREDIT_UNIT) handle_reports();
    s.batched = 0;
  }
  uint8_t* record = serial_link.buffer + s.batched;
  write_le16(record, s.page_word);
  std::memcpy(record + 2, s.source, count);
  s.source += count;
  write_le16(record + 2 + count, crc16(record, count + 2, 0));
  s.batched += count + RECORD_OVERHEAD;
}

uint32_t stream_image(const FlashGeometry& geometry, const uint8_t* data) {
  LoadState& s = load_state;
  s.progress = 0;
  s.last_percent = 0;
  s.outstanding = 0;
  s.source = data;
  s.sector_bytes = geometry.sector;
  s.sector_count = geometry.sector_count;
  s.page_word = static_cast<uint16_t>(geometry.start_address / PAGE_SIZE);
  write_start_record(s.page_word);  // outside any batch, without credit
  s.batched = 0;
  s.light_red = false;
  s.warning = false;
  s.warnings = 0;
  s.credit = LINK_BLOCK;
  con_printf(msg::kLoadingLine, msg::kFlash);
  const uint32_t loop_start = now_ms();

  for (s.remaining = geometry.data_length; s.remaining > 0; s.remaining -= PAGE_SIZE) {
    const uint8_t* page = s.source;
    if (uniform_page(page)) {
      s.page_word |= FILL_FLAG;
      append_record(2);
      s.source = page + PAGE_SIZE;
    } else {
      s.page_word &= static_cast<uint16_t>(~FILL_FLAG);
      append_record(PAGE_SIZE);
    }
    ++s.page_word;
    s.outstanding += PAGE_SIZE;
  }
  if (s.batched > 0) send(serial_link.buffer, s.batched);  // the last batch costs no credit
  while (s.outstanding != 0) handle_reports();
  return now_ms() - loop_start;
}

}  // namespace travek
