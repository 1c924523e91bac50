#include "run/run_options.h"

#include "link/port.h"

namespace travek {

const char* port_name(const RunOptions& options) {
  return options.port_path != nullptr ? options.port_path : port_name_for_digit(options.port_digit);
}

bool production_run(const RunOptions& options) {
  return (options.port_count > 0 || options.repeat || options.auto_line) && !options.line_port;
}

}  // namespace travek
