#include "loading/load_flash.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "assets/builtin_resident.h"
#include "bootstrap/resident_image.h"
#include "bootstrap/resident_transfer.h"
#include "common/constants.h"
#include "common/messages.h"
#include "common/protocol.h"
#include "console/console.h"
#include "link/serial_link.h"
#include "loading/load_state.h"
#include "loading/page_stream.h"
#include "loading/reports.h"
#include "loading/station_info.h"
#include "numbers/station_number.h"
#include "record/run_record.h"

namespace travek {
namespace {

void record_restart(RunRecord& record, RestartResult result) {
  record_text(record, field("restart"), restart_name(result));
  record_event(record, event("restart"));
}

// True when the operator asks for the restart (Enter); Esc, or the end of
// input, skips it.
bool jumper_prompt(StationRun& run) {
  // A key typed during the load must not answer a reminder nobody has read;
  // nor one that a run of many sent before this station's prompt, which it
  // meant for the stations still waiting to start.
  con_discard_typed_keys();
  while (run.options.batch != 0 && con_key_waiting()) con_read_key();
  report(run.record, "jumper");
  for (;;) {
    const int key = con_read_key();
    if (key == KEY_ENTER) return true;
    if (key == KEY_ESC || key == KEY_END_OF_INPUT) return false;
  }
}

// The jumper prompt, unless the station or -y wants none, then the restart
// command. A station that does not take the command or does not answer it
// is told as "Bad!", but the load is done: that is not a failure.
void restart_station(StationRun& run, const StationInfo& info) {
  const bool prompt = (info.flags & FLAGS_NO_JUMPER_PROMPT) != FLAGS_NO_JUMPER_PROMPT &&
                      !run.options.restart_at_once;
  if (prompt && !jumper_prompt(run)) {
    record_restart(run.record, RestartResult::kDeclined);
    return;
  }
  con_write(msg::kRestartAttempt);
  if (!write(run.link, RESTART_COMMAND, sizeof(RESTART_COMMAND)) || !read_exact(run.link, 1, 500)) {
    con_line(msg::kBad);
    record_restart(run.record, RestartResult::kSilent);
    return;
  }
  run.line.restarted = true;
  record_restart(run.record, RestartResult::kAnswered);
}

}  // namespace

void load_flash(StationRun& run) {
  LoadState load;
  load.light_time = now_ms();
  // The built-in image is patched before it is sent, so it goes out from a
  // copy of its own.
  std::vector<uint8_t> resident(RESIDENT_SPAN, 0);
  std::copy_n(kBuiltinResident, kBuiltinResidentSize, resident.begin());
  send_resident(run, resident.data());

  uint8_t payload[STATION_INFO_LENGTH];
  receive_packet(run.link, STATION_INFO_CODE, payload, STATION_INFO_LENGTH);
  const StationInfo info = decode_station_info(payload);
  const FlashGeometry geometry = station_geometry(run, info);
  if (run.options.numbers_path != nullptr) take_station_number(run, geometry.start_address);
  const uint32_t load_ms = stream_image(run, load, geometry);

  // blink_light flips the light, so this draws the '%' red after a warning
  // and otherwise leaves its colour alone; 100 ms clears the throttle.
  load.light_red = !load.warning;
  delay_ms(100);
  blink_light(load, '%', false);
  report(run.record, "loaded", load_ms, load.warnings);
  restart_station(run, info);
}

}  // namespace travek
