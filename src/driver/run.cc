#include "driver/run.h"

#include "bootstrap/resident_transfer.h"
#include "common/messages.h"
#include "console/console.h"
#include "driver/command_line.h"
#include "driver/input_file.h"
#include "link/serial_link.h"
#include "loading/load_flash.h"
#include "run/run_state.h"

namespace travek {

namespace {

void report_switch_fault(const SwitchVerdict& verdict) {
  switch (verdict.fault) {
    case SwitchFault::kNone:
      return;
    case SwitchFault::kInvalidPort:
      con_user_text(verdict.echo);
      con_printf(msg::kInvalidPort, verdict.echo);
      break;
    case SwitchFault::kBadOffset:
      con_user_text(verdict.echo);
      con_printf(msg::kOffsetError, msg::kInputError, verdict.echo);
      break;
    case SwitchFault::kBadAddress:
      con_user_text(verdict.echo);
      con_printf(msg::kAddressError, msg::kInputError, verdict.echo);
      break;
    case SwitchFault::kInvalidSwitch:
      con_printf(msg::kInvalidSwitch, verdict.echo);  // shown as typed
      break;
  }
  terminate();
}

void parse_arguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (arg[0] == '-') {
      report_switch_fault(parse_switch(arg, &run_options));
    } else if (!input_open(arg)) {
      con_user_text(arg);
      con_printf(msg::kFileOpenError, arg);
      terminate();
    }
  }
  if (!input_is_open()) {
    con_line(msg::kNoFileName);
    terminate();
  }
}

void open_serial_port() {
  const char* name = port_name(run_options);
  if (!open_port(name) || !configure_port(9600, 8, 1)) {
    con_printf(msg::kPortUnavailable, name);
    terminate();
  }
}

void load_input_file() {
  uint64_t size = input_size();
  uint64_t offset = run_options.file_offset;
  if (offset != 0 && offset >= size) {
    con_line(msg::kOffsetNotBelowSize);
    terminate();
  }
  uint64_t length = size - offset;
  if (length == 0 || length > DATA_BUFFER_SIZE) {
    con_line(msg::kBadLoadSize);
    terminate();
  }
  data_length = static_cast<uint32_t>(length);
  uint32_t count = 0;
  if (!input_read(offset, data_buffer, DATA_BUFFER_SIZE, &count) || count != data_length) {
    con_line(msg::kFileReadError);
    terminate();
  }
  input_close();
}

void run_mode() {
  if (run_options.send_only) {
    send_resident(data_buffer);  // the input file is itself a resident image
  } else {
    load_flash();
  }
}

}  // namespace

void run_program(int argc, char** argv) {
  reset_run_state();
  input_close();
  console_setup(close_port);  // a run ended from outside lets the port go
  con_line(msg::kBanner);
  if (argc <= 1) {
    con_line(msg::kUsage);
    exit_code = 0;
    terminate();
  }
  parse_arguments(argc, argv);
  open_serial_port();
  load_input_file();
  console_ignore_interrupts();
  run_mode();
  exit_code = 0;
  terminate();
}

}  // namespace travek
