#include "loading/reports.h"

#include "common/constants.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "loading/load_state.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

constexpr uint32_t kLightThrottleMs = 90;

[[noreturn]] void broken_report() { fail("flash-comm-error", msg::kCommErrorLoading, msg::kFlash); }

void sector_reported() {
  // A report for a sector past the image's last one is as broken as any
  // meaningless byte; counting it would push the percentage over 100.
  if (load_state.progress >= 100u * load_state.sector_count) broken_report();
  load_state.outstanding -= load_state.sector_bytes;
  show_percent();
}

void warning_reported() {
  sector_reported();
  if (!load_state.light_red) {
    load_state.warning = true;
    blink_light('%', true);
  }
}

}  // namespace

void handle_reports() {
  if (!read_available(100)) fail("resident-not-inviting");
  for (uint32_t i = 0; i < serial_link.last_count; ++i) {
    switch (serial_link.buffer[i]) {
      case REPORT_SECTOR_DONE:
        sector_reported();
        if (load_state.light_red) blink_light('%', true);
        break;
      case REPORT_CREDIT:
        load_state.credit += CREDIT_UNIT;
        break;
      case REPORT_SECTOR_WARNING:
        warning_reported();
        record_number(field("warnings"), ++load_state.warnings);
        record_number(field("sector"), load_state.progress / 100 - 1);  // the one just counted
        record_event(event("warning"));
        break;
      case REPORT_SECTOR_FAILED:
        warning_reported();
        // The failure must show on the light whatever the throttle said.
        if (!load_state.light_red) {
          delay_ms(100);
          blink_light('%', false);
        }
        fail("flash-write-error", msg::kFlash);
      default:
        broken_report();
    }
  }
}

void show_percent() {
  load_state.progress += 100;
  const uint16_t percent = static_cast<uint16_t>(load_state.progress / load_state.sector_count);
  if (percent == load_state.last_percent) return;
  load_state.last_percent = percent;
  con_printf(msg::kPercent, static_cast<unsigned>(percent));
  record_number(field("percent"), percent);
  record_event(event("progress"));
}

void blink_light(char ch, bool backspace) {
  if (now_ms() - load_state.light_time <= kLightThrottleMs) return;
  if (!load_state.light_red) {
    con_set_colour(COLOUR_RED);
    load_state.light_red = true;
  } else {
    load_state.light_red = false;
  }
  con_putch(ch);
  con_set_colour(COLOUR_NORMAL);
  if (backspace) con_putch('\b');
  load_state.light_time = now_ms();
}

}  // namespace travek
