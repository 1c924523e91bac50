#include "run/run_state.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "console/console.h"
#include "link/port.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/fail.h"

namespace travek {

int32_t exit_code = -1;
RunOptions run_options;
uint8_t data_buffer[DATA_BUFFER_SIZE];
uint32_t data_length = 0;
bool data_placed = false;
uint32_t data_low_address = 0;
char input_sha256[65] = {};

const char* port_name(const RunOptions& options) {
  return options.port_path != nullptr ? options.port_path : port_name_for_digit(options.port_digit);
}

bool production_run(const RunOptions& options) { return options.port_count > 0 || options.repeat; }

void reset_run_state() {
  exit_code = -1;
  run_options = RunOptions{};
  std::memset(data_buffer, 0, sizeof(data_buffer));
  data_length = 0;
  data_placed = false;
  data_low_address = 0;
  input_sha256[0] = '\0';
  record_reset();
}

void terminate() {
  con_honour_end_request();  // one that came just now ends the run as such
  close_port();
  const int status = record_finish(exit_code);
  console_end_requests_at_once();
  if (!record_events_on()) {   // a program is reading, not an operator
    con_discard_typed_keys();  // only a key pressed after the prompt ends the run
    con_line(msg::kPressKeyToExit);
    con_read_key();
  }
  con_end_process(status);
}

void fail_unchecked(Outcome failure, ...) {
  const OutcomeRow& row = outcome_row(failure);
  va_list args;
  va_start(args, failure);
  std::string text = format_text_v(row.message, args);
  va_end(args);
  if (row.manner == Manner::kLine) text += '\n';
  con_write(text.c_str());
  record_failure(failure, text.c_str());
  terminate();
}

void end_by_request(const char* signal_name) {
  record_failure(outcome("terminated"), signal_name);
  close_port();
  const int status = record_finish(-1);
  console_end_requests_at_once();
  con_end_process(status);
}

}  // namespace travek
