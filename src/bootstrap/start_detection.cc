#include "bootstrap/start_detection.h"

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

struct ClockRow {
  uint8_t pattern;   // start byte & 0xB5
  const char* name;  // as the clock line and the record give it
  ClockClass clock;
};

// 0x55 from the boot loader, as a 9600 bit/s receiver sees it at each rate.
constexpr ClockRow kClockTable[] = {
    {0x15, "10mHz", {9600, 312500}},
    {0xA1, "12mHz", {11520, 375000}},
    {0xA5, "11mHz", {10472, 345600}},
};

constexpr uint8_t kStartMask = 0xB5;
constexpr char kSpinner[] = {'-', '\\', '|', '/'};

bool line_error_seen(SerialLink& link) { return (line_errors(link) & (CE_FRAME | CE_BREAK)) != 0; }

}  // namespace

bool spinner_step(SerialLink& link, char ch) {
  if (line_error_seen(link)) reset_pulse(link);
  if (con_key_waiting() && con_read_key() == KEY_ESC) fail("cancelled");
  read_available(link, 100);
  con_putch(ch);
  con_putch('\b');
  if (line_error_seen(link)) {
    reset_pulse(link);
    return true;
  }
  if (link.last_count == 1) return read_available(link, 5);
  return true;
}

ClockClass wait_for_start(StationRun& run) {
  report(run.record, "waiting", TypedText{port_name(run.options)});
  for (;;) {
    for (int turn = 0; spinner_step(run.link, kSpinner[turn]); turn = (turn + 1) % 4) {
    }
    const uint8_t start = run.link.buffer[0];
    for (const ClockRow& row : kClockTable) {
      if ((start & kStartMask) == row.pattern) {
        report(run.record, "clock", msg::kOk, row.name, static_cast<unsigned>(row.clock.boot_rate));
        return row.clock;
      }
    }
    report(run.record, "stray", static_cast<unsigned>(start));
  }
}

}  // namespace travek
