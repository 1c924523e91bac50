#include "loading/page_stream.h"

#include <algorithm>
#include <cstring>

#include "common/constants.h"
#include "common/crc16.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "loading/reports.h"
#include "run/fail.h"

namespace travek {
namespace {

// A write the line does not take in time meets a resident that has stopped
// listening: as silent as one that sends no reports.
void send(SerialLink& link, const uint8_t* data, uint32_t n) {
  if (!write(link, data, n)) fail("resident-not-inviting");
}

void write_start_record(SerialLink& link, uint16_t page) {
  uint8_t record[4];
  write_le16(record, page);
  write_le16(record + 2, crc16(record, 2, 0));
  send(link, record, sizeof(record));
}

// True when the page is one 16-bit word repeated.
bool uniform_page(const uint8_t* page) {
  for (uint32_t i = 2; i < PAGE_SIZE; i += 2) {
    if (page[i] != page[0] || page[i + 1] != page[1]) return false;
  }
  return true;
}

// Appends one record of count data bytes (64, or 2 for a fill record) from
// the source position, writing the batch first when the record does not fit.
void append_record(StationRun& run, LoadState& s, uint32_t count) {
  SerialLink& link = run.link;
  const uint32_t limit = std::min(s.credit, LINK_BLOCK);
  if (s.batched + count + RECORD_OVERHEAD > limit) {
    send(link, link.buffer, s.batched);
    s.credit -= s.batched;
    while (s.credit < CREDIT_UNIT) handle_reports(run, s);
    s.batched = 0;
  }
  uint8_t* record = link.buffer + s.batched;
  write_le16(record, s.page_word);
  std::memcpy(record + 2, s.source, count);
  s.source += count;
  write_le16(record + 2 + count, crc16(record, count + 2, 0));
  s.batched += count + RECORD_OVERHEAD;
}

}  // namespace

uint32_t stream_image(StationRun& run, LoadState& s, const FlashGeometry& geometry) {
  s = LoadState{.credit = LINK_BLOCK,
                .sector_bytes = geometry.sector,
                .sector_count = geometry.sector_count,
                .light_time = s.light_time,
                .page_word = static_cast<uint16_t>(geometry.start_address / PAGE_SIZE),
                .source = run.data.data_buffer.data()};
  write_start_record(run.link, s.page_word);  // outside any batch, without credit
  con_printf(msg::kLoadingLine, msg::kFlash);
  const uint32_t loop_start = now_ms();

  for (s.remaining = geometry.data_length; s.remaining > 0; s.remaining -= PAGE_SIZE) {
    const uint8_t* page = s.source;
    if (uniform_page(page)) {
      s.page_word |= FILL_FLAG;
      append_record(run, s, 2);
      s.source = page + PAGE_SIZE;
    } else {
      s.page_word &= static_cast<uint16_t>(~FILL_FLAG);
      append_record(run, s, PAGE_SIZE);
    }
    ++s.page_word;
    s.outstanding += PAGE_SIZE;
  }
  // The last batch costs no credit.
  if (s.batched > 0) send(run.link, run.link.buffer, s.batched);
  while (s.outstanding != 0) handle_reports(run, s);
  return now_ms() - loop_start;
}

}  // namespace travek
