#include "bootstrap/start_detection.h"

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/fail.h"
#include "run/run_state.h"

namespace travek {
namespace {

struct ClockRow {
  uint8_t pattern;                  // start byte & 0xB5
  CheckedFormat<const char*> line;  // with "Ok!"
  const char* name;                 // for the record
  ClockClass clock;
};

// 0x55 from the boot loader, as a 9600 bit/s receiver sees it at each rate.
constexpr ClockRow kClockTable[] = {
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
  if (con_key_waiting() && con_read_key() == KEY_ESC) fail("cancelled");
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
  con_printf(msg::kWaitingForStart, TypedText{port_name(run_options)});
  record_event(event("waiting"));
  for (;;) {
    for (int turn = 0; spinner_step(kSpinner[turn]); turn = (turn + 1) % 4) {
    }
    const uint8_t start = serial_link.buffer[0];
    for (const ClockRow& row : kClockTable) {
      if ((start & kStartMask) == row.pattern) {
        con_printf(row.line, msg::kOk);
        record_text(field("clock"), row.name);
        record_number(field("boot_rate"), row.clock.boot_rate);
        record_event(event("clock"));
        return row.clock;
      }
    }
    con_printf(msg::kNotOurClient, static_cast<unsigned>(start));
    record_number(field("byte"), start);
    record_event(event("stray"));
  }
}

}  // namespace travek
