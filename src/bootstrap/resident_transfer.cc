#include "bootstrap/resident_transfer.h"

#include <algorithm>

#include "bootstrap/resident_image.h"
#include "bootstrap/start_detection.h"
#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "run/run_state.h"

namespace travek {
namespace {

constexpr uint32_t kEchoDeadlineMs = 120;
constexpr uint32_t kHandshakeDeadlineMs = 5;
constexpr uint8_t kHandshake = 0x55;  // 'U'

}  // namespace

void send_echoed(const uint8_t* data, uint32_t count) {
  while (count > 0) {
    const uint32_t chunk = std::min(count, LINK_BLOCK);
    write(data, chunk);
    count -= chunk;
    const uint32_t written = serial_link.last_count;
    if (!read_exact(written, kEchoDeadlineMs)) {
      con_line(msg::kStationNoResponse);
      terminate();
    }
    // A byte that was never written never came back either.
    for (uint32_t i = 0; i < chunk; ++i) {
      if (i >= written || data[i] != serial_link.buffer[i]) {
        con_printf(msg::kResidentCommError, msg::kCommErrorLoading);
        terminate();
      }
    }
    data += chunk;
  }
}

void send_resident(uint8_t* image) {
  const ResidentImage fields = validate_image(image);
  const ClockClass clock = wait_for_start();
  const uint32_t operating_rate = patch_image(image, clock);
  set_line(clock.boot_rate, 2);
  con_write(msg::kSendingResident);
  const uint32_t start = now_ms();
  const uint8_t* body = image + 8;
  send_echoed(body, fields.body_length - 1u);
  send_echoed(body + fields.body_length - 1, 1);
  con_printf(msg::kResidentTime, now_ms() - start);
  set_line(operating_rate, 1);
  send_priority_byte(kHandshake);  // at once: nothing purged or awaited
  if (!read_exact(1, kHandshakeDeadlineMs)) {
    con_write(msg::kHandshakeSilent);
    terminate();
  }
  if (serial_link.buffer[0] != kHandshake) {
    con_write(msg::kHandshakeBadAnswer);
    terminate();
  }
  con_printf(msg::kStarted, msg::kOk);
}

}  // namespace travek
