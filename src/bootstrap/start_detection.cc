#include "bootstrap/start_detection.h"

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/run_state.h"

namespace travek {
namespace {

struct ClockRow {
  uint8_t pattern;  // start byte & 0xB5
  const char* line;
  const char* name;  // for the record
  ClockClass clock;
};

// 0x55 from the boot loader, as a 9600 bit/s receiver sees it at each rate.
const ClockRow kClockTable[] = {
    {0x15, msg::kClock10MHz, "10mHz", {9600, 312500}},
    {0xA1, msg::kClock12MHz, "12mHz", {11520, 375000}},
    {0xA5, msg::kClock11MHz, "11mHz", {10472, 345600}},
};

constexpr uint8_t kStartMask = 0xB5;
constexpr char kSpinner[] = {'-', '\\', '|', '/'};

bool line_error_seen() { return (line_errors() & (CE_FRAME | CE_BREAK)) != 0; }

}  // namespace

bool spinner_step(char ch) {
  if (line_error_seen()) reset_pulse();
  if (con_key_waiting() && con_read_key() == KEY_ESC) {
    record_failure(Outcome::kCancelled);
    con_line(msg::kCancelledByOperator);
    terminate();
  }
  read_available(100);
  con_putch(ch);
  con_putch('\b');
  if (line_error_seen()) {
    reset_pulse();
    return true;
  }
  if (serial_link.last_count == 1) return read_available(5);
  return true;
}

ClockClass wait_for_start() {
  con_printf(msg::kWaitingForStart, port_name(run_options));
  record_waiting();
  for (;;) {
    for (int turn = 0; spinner_step(kSpinner[turn]); turn = (turn + 1) % 4) {
    }
    const uint8_t start = serial_link.buffer[0];
    for (const ClockRow& row : kClockTable) {
      if ((start & kStartMask) == row.pattern) {
        con_printf(row.line, msg::kOk);
        record_clock(row.name, row.clock.boot_rate);
        return row.clock;
      }
    }
    con_printf(msg::kNotOurClient, start);
    record_stray(start);
  }
}

}  // namespace travek
