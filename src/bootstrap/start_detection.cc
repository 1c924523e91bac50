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

// A station of a line waits with its port as it is: a pulse would reset
// the board still on the fixture. The line is only cleared.
void start_afresh(SerialLink& link, bool pulse) {
  if (pulse) {
    reset_pulse(link);
  } else {
    line_errors(link);
    purge(link);
  }
}

// The start byte of a station of a line that is the last one back, its
// jumper still set: told, and not taken.
bool returned_station(StationRun& run) {
  LineStation& line = run.line;
  if (!line.guarding) return false;
  line.guarding = false;
  if (static_cast<int32_t>(now_ms() - line.guard_until) >= 0) return false;
  record_number(run.record, field("cycle"), line.cycle - 1);  // the one that came back
  report(run.record, "jumper-set");
  record_number(run.record, field("cycle"), line.cycle);
  return true;
}

// The start byte taken: a station of a line has waited since its port's
// last one ended.
void take_start(StationRun& run) {
  if (run.line.cycle == 0) return;
  run.line.started = true;
  record_number(run.record, field("waited_ms"), now_ms() - run.line.waited_from);
}

const ClockRow* clock_row(uint8_t start) {
  for (const ClockRow& row : kClockTable) {
    if ((start & kStartMask) == row.pattern) return &row;
  }
  return nullptr;
}

}  // namespace

bool spinner_step(SerialLink& link, char ch, bool pulse) {
  if (line_error_seen(link)) start_afresh(link, pulse);
  if (con_key_waiting() && con_read_key() == KEY_ESC) fail("cancelled");
  read_available(link, 100);
  con_putch(ch);
  con_putch('\b');
  if (line_error_seen(link)) {
    start_afresh(link, pulse);
    return true;
  }
  if (link.last_count == 1) return read_available(link, 5);
  return true;
}

ClockClass wait_for_start(StationRun& run) {
  report(run.record, "waiting", TypedText{port_name(run.options)});
  const bool line = run.line.cycle != 0;
  for (;;) {
    for (int turn = 0; spinner_step(run.link, kSpinner[turn], !line); turn = (turn + 1) % 4) {
      // A line's port that has gone is opened again, and waited on then.
      if (line && port_lost(run.link)) fail("port-unavailable", TypedText{port_name(run.options)});
      // A line's keys come from its parent: their end is the parent gone.
      if (line && con_input_ended()) fail("cancelled");
    }
    const uint8_t start = run.link.buffer[0];
    const ClockRow* row = clock_row(start);
    if (row == nullptr) {
      report(run.record, "stray", static_cast<unsigned>(start));
    } else if (!returned_station(run)) {
      take_start(run);
      report(run.record, "clock", msg::kOk, row->name, static_cast<unsigned>(row->clock.boot_rate));
      return row->clock;
    }
  }
}

}  // namespace travek
