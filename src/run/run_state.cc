#include "run/run_state.h"

#include <cstring>

#include "common/messages.h"
#include "console/console.h"
#include "link/port.h"
#include "link/serial_link.h"

namespace travek {

int32_t exit_code = -1;
RunOptions run_options;
uint8_t data_buffer[DATA_BUFFER_SIZE];
uint32_t data_length = 0;

const char* port_name(const RunOptions& options) {
  return options.port_path != nullptr ? options.port_path : port_name_for_digit(options.port_digit);
}

void reset_run_state() {
  exit_code = -1;
  run_options = RunOptions{};
  std::memset(data_buffer, 0, sizeof(data_buffer));
  data_length = 0;
}

void terminate() {
  close_port();
  con_discard_typed_keys();  // only a key pressed after the prompt ends the run
  con_line(msg::kPressKeyToExit);
  con_read_key();
  con_end_process(exit_code);
}

}  // namespace travek
