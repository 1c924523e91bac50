#include "loading/reports.h"

#include "common/constants.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {
namespace {

constexpr uint32_t kLightThrottleMs = 90;

[[noreturn]] void broken_report() { fail("flash-comm-error", msg::kCommErrorLoading, msg::kFlash); }

// One sector's worth of progress; redraws the number only when it changes.
void show_percent(StationRun& run, LoadState& load) {
  load.progress += 100;
  const uint16_t percent = static_cast<uint16_t>(load.progress / load.sector_count);
  if (percent == load.last_percent) return;
  load.last_percent = percent;
  report(run.record, "progress", static_cast<unsigned>(percent));
}

void sector_reported(StationRun& run, LoadState& load) {
  // A report for a sector past the image's last one is as broken as any
  // meaningless byte; counting it would push the percentage over 100.
  if (load.progress >= 100u * load.sector_count) broken_report();
  load.outstanding -= load.sector_bytes;
  show_percent(run, load);
}

void warning_reported(StationRun& run, LoadState& load) {
  sector_reported(run, load);
  if (!load.light_red) {
    load.warning = true;
    blink_light(load, '%', true);
  }
}

}  // namespace

void handle_reports(StationRun& run, LoadState& load) {
  SerialLink& link = run.link;
  if (!read_available(link, 100)) fail("resident-not-inviting");
  for (uint32_t i = 0; i < link.last_count; ++i) {
    switch (link.buffer[i]) {
      case REPORT_SECTOR_DONE:
        sector_reported(run, load);
        if (load.light_red) blink_light(load, '%', true);
        break;
      case REPORT_CREDIT:
        load.credit += CREDIT_UNIT;
        break;
      case REPORT_SECTOR_WARNING:
        warning_reported(run, load);
        record_number(run.record, field("warnings"), ++load.warnings);
        report(run.record, "warning", load.progress / 100 - 1);  // the one just counted
        break;
      case REPORT_SECTOR_FAILED:
        warning_reported(run, load);
        // The failure must show on the light whatever the throttle said.
        if (!load.light_red) {
          delay_ms(100);
          blink_light(load, '%', false);
        }
        fail("flash-write-error", msg::kFlash);
      default:
        broken_report();
    }
  }
}

void blink_light(LoadState& load, char ch, bool backspace) {
  if (now_ms() - load.light_time <= kLightThrottleMs) return;
  load.light_red = !load.light_red;
  if (load.light_red) con_set_colour(COLOUR_RED);
  con_putch(ch);
  con_set_colour(COLOUR_NORMAL);
  if (backspace) con_putch('\b');
  load.light_time = now_ms();
}

}  // namespace travek
