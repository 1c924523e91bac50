#include "driver/run.h"

#include <string>
#include <vector>

#include "bootstrap/resident_transfer.h"
#include "common/messages.h"
#include "console/console.h"
#include "driver/command_line.h"
#include "driver/input_file.h"
#include "formats/image_format.h"
#include "link/serial_link.h"
#include "loading/load_flash.h"
#include "numbers/number_command.h"
#include "numbers/station_number.h"
#include "production/production.h"
#include "record/run_record.h"
#include "record/sha256.h"
#include "record/utf8_text.h"
#include "run/fail.h"
#include "run/run_state.h"

namespace travek {

namespace {

// A HEX or S-record file is read whole; none of a 512 KB image comes near.
constexpr uint64_t kMaxTextFile = 16u << 20;

// Where a HEX or S-record file's data lies before it is cut out.
PlacedImage placed_image;

// The files in the order given, then the first faulty switch, so that a
// file that cannot be opened before it is told first, as it was met first.
void take_arguments(const Arguments& arguments) {
  for (char* file : arguments.files) {
    if (!input_open(file)) fail("file-open-error", UserText{file});
  }
  const Outcome fault = arguments.fault;
  const char* echo = arguments.echo;
  if (fault == outcome("invalid-port")) fail("invalid-port", UserText{echo});
  if (fault == outcome("bad-offset")) fail("bad-offset", msg::kInputError, UserText{echo});
  if (fault == outcome("bad-address")) fail("bad-address", msg::kInputError, UserText{echo});
  if (fault == outcome("invalid-switch")) fail("invalid-switch", TypedText{echo});
  if (fault == outcome("invalid-format")) fail("invalid-format", UserText{echo});
  if (!input_is_open()) fail("no-file-name");
}

// By the switch, or else by the file's first bytes; then the switches that
// the format leaves no meaning to.
void choose_format() {
  if (!run_options.format_forced) {
    uint8_t head[2] = {};
    uint32_t count = 0;
    if (!input_read(0, head, sizeof(head), &count)) count = 0;
    run_options.format = detect_format(head, count);
  }
  const ImageFormatRow& format = format_row(run_options.format);
  size_t length = 0;
  const char* typed = binary_only_switch(run_options, &length);
  if (format.parse == nullptr || typed == nullptr) return;
  const std::string prefix(typed, length);
  fail("switch-not-applicable", prefix.c_str(), format.name);
}

// A resident sent alone carries no station's number.
void check_numbers_switch() {
  if (run_options.numbers_path == nullptr) return;
  if (run_options.send_only) fail("switch-not-applicable:numbers");
}

void open_log() {
  if (run_options.log_path == nullptr || record_open_log(run_options.log_path)) return;
  fail("log-open-error", UserText{run_options.log_path});
}

void open_serial_port() {
  const char* name = port_name(run_options);
  if (!open_port(name) || !configure_port(9600, 8, 1)) {
    fail("port-unavailable", TypedText{name});
  }
}

// The record tells it, and a numbers command is given it.
bool digest_wanted() { return record_wanted() || run_options.numbers_path != nullptr; }

// The SHA-256 of the whole input file, from its start whatever the offset.
void hash_input(const uint8_t* whole, uint64_t size, char* hex) {
  if (!sha256_begin()) return;
  if (whole != nullptr) {
    sha256_add(whole, size);
  } else {
    static uint8_t chunk[65536];
    for (uint64_t at = 0; at < size;) {
      uint32_t count = 0;
      if (!input_read(at, chunk, sizeof(chunk), &count) || count == 0) return;
      sha256_add(chunk, count);
      at += count;
    }
  }
  if (!sha256_end(hex)) hex[0] = '\0';
}

void load_binary(char* sha) {
  uint64_t size = input_size();
  uint64_t offset = run_options.file_offset;
  if (offset != 0 && offset >= size) fail("offset-not-below-size");
  uint64_t length = size - offset;
  if (length == 0 || length > DATA_BUFFER_SIZE) fail("bad-load-size");
  data_length = static_cast<uint32_t>(length);
  uint32_t count = 0;
  if (!input_read(offset, data_buffer, DATA_BUFFER_SIZE, &count) || count != data_length) {
    fail("file-read-error");
  }
  if (digest_wanted()) hash_input(offset == 0 ? data_buffer : nullptr, size, sha);
}

// A HEX or S-record file: its data from the lowest address it gives to the
// highest, gaps as erased flash. Never taken as a binary when it does not
// parse.
void load_placed(const ImageFormatRow& format, char* sha) {
  const uint64_t size = input_size();
  if (size == 0 || size > kMaxTextFile) fail("bad-load-size");
  std::vector<uint8_t> text(size);
  uint32_t count = 0;
  if (!input_read(0, text.data(), static_cast<uint32_t>(size), &count) || count != size) {
    fail("file-read-error");
  }
  if (digest_wanted()) hash_input(text.data(), size, sha);
  const FormatVerdict verdict = format.parse(text.data(), text.size(), &placed_image);
  if (verdict.fault != FormatFault::kNone) {
    fail("format-error", static_cast<unsigned>(verdict.line), format_fault_reason(verdict.fault));
  }
  if (!placed_image.any || placed_image.high - placed_image.low >= DATA_BUFFER_SIZE) {
    fail("bad-load-size");
  }
  data_length = copy_placed(placed_image, data_buffer);
  data_placed = true;
  data_low_address = placed_image.low;
}

void load_input_file() {
  char* sha = input_sha256;
  const ImageFormatRow& format = format_row(run_options.format);
  if (format.parse == nullptr) {
    load_binary(sha);
  } else {
    load_placed(format, sha);
  }
  input_close();
  record_number(field("bytes"), data_length);
  record_text(field("sha256"), sha[0] != '\0' ? sha : nullptr);
  record_event(event("start"));
}

void run_mode() {
  if (run_options.send_only) {
    send_resident(data_buffer);  // the input file is itself a resident image
  } else {
    load_flash();
  }
}

// What a run ended from outside lets go: the port, and a numbers command
// still running.
void release() {
  close_port();
  number_command_kill();
}

[[noreturn]] void end_requested(const char* signal_name) {
  number_command_kill();
  end_by_request(signal_name);
}

}  // namespace

void run_program(int argc, char** argv) {
  reset_run_state();
  input_close();
  const Arguments arguments = read_arguments(argc, argv, &run_options);
  // Standard output is events or text from the first byte on.
  const bool events = run_options.events;
  console_setup(release, !events);
  record_events(events);
  if (events) console_defer_end_requests(end_requested);
  con_line(msg::kBanner);
  if (argc <= 1) {
    con_line(msg::kUsage);
    exit_code = 0;
    terminate();
  }
  take_arguments(arguments);
  choose_format();
  check_numbers_switch();
  record_text(field("port"), utf8_from_argument(port_name(run_options)).c_str());
  record_text(field("file"), utf8_from_argument(run_options.input_name).c_str());
  record_text(field("format"), format_row(run_options.format).key);
  record_text(field("mode"), run_options.send_only ? "send-only" : "load");
  if (run_options.batch != 0) record_number(field("batch"), run_options.batch);
  open_log();
  if (run_options.numbers_path != nullptr) check_numbers_file(run_options.numbers_path);
  if (production_run(run_options)) {
    input_close();  // each station's run reads the file itself
    run_production(station_arguments(run_options));
  }
  if (record_wanted()) console_defer_end_requests(end_requested);
  open_serial_port();
  load_input_file();
  console_ignore_interrupts();
  run_mode();
  exit_code = 0;
  terminate();
}

}  // namespace travek
