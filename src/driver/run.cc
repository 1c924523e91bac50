#include "driver/run.h"

#include <cstdlib>
#include <string>

#include "bootstrap/resident_transfer.h"
#include "common/messages.h"
#include "console/console.h"
#include "driver/input_data.h"
#include "driver/input_file.h"
#include "driver/line.h"
#include "driver/program.h"
#include "link/serial_link.h"
#include "loading/load_flash.h"
#include "numbers/station_number.h"
#include "process/process.h"
#include "production/production.h"
#include "record/run_record.h"
#include "record/utf8_text.h"
#include "run/command_line.h"
#include "run/fail.h"
#include "run/station_run.h"

namespace travek {
namespace {

// What a process ended from outside lets go: the port, and a numbers
// command still running. Safe in a signal handler.
void release() {
  close_every_port();
  processes_kill_dying_with_tool();
}

[[noreturn]] void end_now() { std::_Exit(255); }

// The files in the order given, then the first faulty switch, so that a
// file that cannot be opened before it is told first, as it was met first.
void take_arguments(Program& p, StationRun& run, const Arguments& arguments) {
  for (char* file : arguments.files) {
    if (!input_open(p.input, file)) fail("file-open-error", UserText{file});
  }
  if (arguments.fault != outcome("ok")) fail_switch(arguments);
  if (p.options.job_path != nullptr) load_job(p, run.record);
  if (!input_is_open(p.input)) fail("no-file-name");
}

// A resident sent alone carries no station's number; an unattended line
// neither sends a resident alone nor waits for a key between batches.
void check_switches_together(const RunOptions& options) {
  if (options.numbers_path != nullptr && options.send_only) {
    fail("switch-not-applicable:numbers");
  }
  if (options.auto_line && options.repeat) {
    fail("switch-not-applicable:auto", TypedText{options.repeat_switch});
  }
  if (options.auto_line && options.send_only) {
    fail("switch-not-applicable:auto", TypedText{options.send_only_switch});
  }
}

void open_log(Program& p) {
  const char* path = p.options.log_path;
  if (path != nullptr && !run_log_open(p.log, path)) fail("log-open-error", UserText{path});
}

// The whole of a run from the command line on; its exit code.
int run_from_command_line(Program& p, StationRun& run, const Arguments& arguments, int argc) {
  con_line(msg::kBanner);
  if (argc <= 1) {
    con_line(msg::kUsage);
    return 0;
  }
  take_arguments(p, run, arguments);
  p.options.format = choose_format(p.options, p.input);
  check_switches_together(p.options);
  record_options(run.record, p.options);
  open_log(p);
  if (p.options.numbers_path != nullptr) check_numbers_file(p.options.numbers_path);
  if (production_run(p.options)) {
    // A job's image is checked before any station starts; each station's
    // run reads and checks the file itself.
    if (p.options.job_path != nullptr) {
      read_input(p.options, p.input, true, run.data);
      check_job_image(p, run.data);
    }
    input_close(p.input);
    return run_production(p.options, run.record, station_arguments(p.options));
  }
  if (record_wanted(run.record)) console_defer_end_requests();
  if (p.options.line_port) return run_line(p, run);
  // A job's image is the one it pins before a port is touched.
  if (p.options.job_path != nullptr) {
    load_input_file(p, run);
    check_job_image(p, run.data);
    open_serial_port(run);
  } else {
    open_serial_port(run);
    load_input_file(p, run);
  }
  console_ignore_interrupts();
  if (p.options.send_only) {
    send_resident(run, run.data.data_buffer.data());  // the file is itself a resident image
  } else {
    load_flash(run);
  }
  return 0;
}

// The last steps of the process: the port let go, requests ending it at
// once again and, for an operator, the last prompt.
void end_process(Program& p, bool prompt) {
  close_port(p.link);
  console_end_requests_at_once();
  if (prompt) {
    con_discard_typed_keys();  // only a key pressed after the prompt ends the run
    con_line(msg::kPressKeyToExit);
    con_read_key();
  }
  run_log_close(p.log);
  input_close(p.input);
  console_restore();
}

}  // namespace

void record_options(RunRecord& record, const RunOptions& options) {
  record_text(record, field("port"), utf8_from_argument(port_name(options)).c_str());
  record_text(record, field("file"), utf8_from_argument(options.input_name).c_str());
  record_text(record, field("format"), format_row(options.format).key);
  record_text(record, field("mode"), options.send_only ? "send-only" : "load");
  if (options.batch != 0) record_number(record, field("batch"), options.batch);
}

bool digest_wanted(const StationRun& run) {
  return record_wanted(run.record) || run.options.numbers_path != nullptr ||
         run.options.job_path != nullptr;
}

void open_serial_port(StationRun& run) {
  const char* name = port_name(run.options);
  if (!open_port(run.link, name) || !configure_port(run.link, 9600, 8, 1)) {
    fail("port-unavailable", TypedText{name});
  }
}

void load_input_file(Program& p, StationRun& run) {
  read_input(p.options, p.input, digest_wanted(run), run.data);
  const char* sha = run.data.input_sha256;
  record_number(run.record, field("bytes"), run.data.data_length);
  record_text(run.record, field("sha256"), sha[0] != '\0' ? sha : nullptr);
  record_event(run.record, event("start"));
}

int run_station(StationRun& run, const std::function<int()>& steps, const char** ended_by) {
  try {
    try {
      run.exit_code = steps();
    } catch (const RunFailure& failure) {
      record_failure(run.record, failure.outcome, failure.message.c_str());
      run.record.reason = con_take_diagnostic();
    }
    con_honour_end_request();  // one that came just now ends the run as such
  } catch (const EndRequested& request) {
    *ended_by = request.signal_name;
    run.exit_code = -1;
    run.record.reason.clear();
    record_failure(run.record, outcome("terminated"), request.signal_name);
  }
  // A station of a line that never came (the wait ended by Esc, a port
  // gone, a request) has no record.
  if (run.line.cycle != 0 && !run.line.started) run.record.aside = true;
  return record_finish(run.record, run.exit_code);
}

int run_program(int argc, char** argv) {
  Program p;
  const Arguments arguments = read_arguments(argc, argv, &p.options);
  // Standard output is events or text from the first byte on.
  console_setup(release, end_now, !p.options.events);
  StationRun run{p.options, p.link};
  run.record.events = p.options.events;
  run.record.log = &p.log;
  if (p.options.events) console_defer_end_requests();
  const char* ended_by = nullptr;
  const int status = run_station(
      run, [&] { return run_from_command_line(p, run, arguments, argc); }, &ended_by);
  // A program reads the events, not an operator; and a termination request
  // asks for no key.
  end_process(p, ended_by == nullptr && !run.record.events);
  return status;
}

}  // namespace travek
