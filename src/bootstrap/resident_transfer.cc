#include "bootstrap/resident_transfer.h"

#include <algorithm>

#include "bootstrap/resident_image.h"
#include "bootstrap/start_detection.h"
#include "common/constants.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

constexpr uint32_t kEchoDeadlineMs = 120;
// Long enough for a reply through a USB adapter's latency timer and a busy
// PC's receive path; a station that answers at once sees no difference.
constexpr uint32_t kHandshakeDeadlineMs = 100;

// How long to wait for the echo of a chunk whose write began at start: 120
// ms from the later of the write's return and the moment the chunk has left
// the line by its own arithmetic. A USB adapter's transmit FIFO can still
// hold hundreds of bytes when the write returns.
uint32_t echo_wait_ms(const SerialLink& link, uint32_t start, uint32_t written) {
  const uint32_t now = now_ms();
  const uint32_t on_line = line_time_ms(link, written);
  const uint32_t passed = now - start;
  return kEchoDeadlineMs + (on_line > passed ? on_line - passed : 0);
}

}  // namespace

void send_echoed(SerialLink& link, const uint8_t* data, uint32_t count) {
  while (count > 0) {
    const uint32_t chunk = std::min(count, LINK_BLOCK);
    const uint32_t start = now_ms();
    if (!write(link, data, chunk)) fail("station-no-response");
    count -= chunk;
    const uint32_t written = link.last_count;
    if (!read_exact(link, written, echo_wait_ms(link, start, written))) {
      fail("station-no-response");
    }
    for (uint32_t i = 0; i < chunk; ++i) {
      if (data[i] != link.buffer[i]) fail("resident-comm-error", msg::kCommErrorLoading);
    }
    data += chunk;
  }
}

void send_resident(StationRun& run, uint8_t* image) {
  SerialLink& link = run.link;
  const ResidentImage fields = validate_image(image);
  const ClockClass clock = wait_for_start(run);
  const uint32_t operating_rate = patch_image(image, clock);
  set_line(link, clock.boot_rate, 2);
  con_write(msg::kSendingResident);
  const uint32_t start = now_ms();
  const uint8_t* body = image + 8;
  send_echoed(link, body, fields.body_length - 1u);
  send_echoed(link, body + fields.body_length - 1, 1);
  const uint32_t resident_ms = now_ms() - start;
  con_printf(msg::kResidentTime, resident_ms);
  set_line(link, operating_rate, 1);
  // At once: nothing purged or awaited. A byte that cannot even be sent
  // meets a station as silent as one that does not answer.
  if (!send_priority_byte(link, HANDSHAKE_BYTE) || !read_exact(link, 1, kHandshakeDeadlineMs)) {
    fail("handshake-silent");
  }
  if (link.buffer[0] != HANDSHAKE_BYTE) fail("handshake-bad-answer");
  record_number(run.record, field("resident_ms"), resident_ms);
  report(run.record, "resident", msg::kOk, resident_ms, operating_rate);
}

}  // namespace travek
