#include "loading/load_flash.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <optional>

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
#include "run/run_state.h"

namespace travek {
namespace {

// The built-in image is patched before it is sent, so it goes out from here.
uint8_t resident_copy[RESIDENT_SPAN];

void record_restart(RestartResult result) {
  record_text(field("restart"), restart_name(result));
  record_event(event("restart"));
}

// True when the operator asks for the restart (Enter); Esc, or the end of
// input, skips it.
bool jumper_prompt() {
  // A key typed during the load must not answer a reminder nobody has read;
  // nor one that a run of many sent before this station's prompt, which it
  // meant for the stations still waiting to start.
  con_discard_typed_keys();
  while (run_options.batch != 0 && con_key_waiting()) con_read_key();
  con_line(msg::kJumperReminder);
  record_event(event("jumper"));
  for (;;) {
    const int key = con_read_key();
    if (key == KEY_ENTER) return true;
    if (key == KEY_ESC || key == KEY_END_OF_INPUT) return false;
  }
}

}  // namespace

void load_flash() {
  load_state.light_time = now_ms();
  std::fill(std::begin(resident_copy), std::end(resident_copy), 0);
  std::copy_n(kBuiltinResident, kBuiltinResidentSize, resident_copy);
  send_resident(resident_copy);

  uint8_t payload[STATION_INFO_LENGTH];
  receive_packet(STATION_INFO_CODE, payload, STATION_INFO_LENGTH);
  const StationInfo info = decode_station_info(payload);
  const std::optional<uint32_t> file_low =
      data_placed ? std::optional<uint32_t>(data_low_address) : std::nullopt;
  const FlashGeometry geometry =
      station_geometry(info, run_options, file_low, data_buffer, &data_length);
  if (run_options.numbers_path != nullptr) {
    take_station_number(run_options.numbers_path, geometry.start_address, data_buffer,
                        geometry.data_length);
  }
  const uint32_t load_ms = stream_image(geometry, data_buffer);

  // blink_light flips the light, so this draws the '%' red after a warning
  // and otherwise leaves its colour alone; 100 ms clears the throttle.
  load_state.light_red = !load_state.warning;
  delay_ms(100);
  blink_light('%', false);
  con_printf(msg::kLoadTime, load_ms);
  record_number(field("load_ms"), load_ms);
  record_event(event("loaded"));

  // -y restarts at once, as a station that wants no prompt has it.
  const bool prompt =
      (info.flags & FLAGS_NO_JUMPER_PROMPT) != FLAGS_NO_JUMPER_PROMPT && !run_options.restart_at_once;
  if (prompt && !jumper_prompt()) {
    record_restart(RestartResult::kDeclined);
    return;
  }
  con_write(msg::kRestartAttempt);
  // A station that does not take the command or does not answer it is told
  // as "Bad!", but the load is done: that is not a failure.
  if (!write(RESTART_COMMAND, sizeof(RESTART_COMMAND)) || !read_exact(1, 500)) {
    con_line(msg::kBad);
    record_restart(RestartResult::kSilent);
    return;
  }
  record_restart(RestartResult::kAnswered);
}

}  // namespace travek
