#include "driver/run.h"

#include <string>
#include <vector>

#include "bootstrap/resident_transfer.h"
#include "common/messages.h"
#include "console/console.h"
#include "driver/command_line.h"
#include "driver/input_file.h"
#include "formats/intel_hex.h"
#include "formats/srecord.h"
#include "link/serial_link.h"
#include "loading/load_flash.h"
#include "production/production.h"
#include "record/run_record.h"
#include "record/sha256.h"
#include "run/run_state.h"

namespace travek {

namespace {

// A HEX or S-record file is read whole; none of a 512 KB image comes near.
constexpr uint64_t kMaxTextFile = 16u << 20;

// The last file argument, as typed: the input file.
const char* input_name = nullptr;
// Where a HEX or S-record file's data lies before it is cut out.
PlacedImage placed_image;

void report_switch_fault(const SwitchVerdict& verdict) {
  switch (verdict.fault) {
    case SwitchFault::kNone:
      return;
    case SwitchFault::kInvalidPort:
      record_failure(Outcome::kInvalidPort);
      con_user_text(verdict.echo);
      con_printf(msg::kInvalidPort, verdict.echo);
      break;
    case SwitchFault::kBadOffset:
      record_failure(Outcome::kBadOffset);
      con_user_text(verdict.echo);
      con_printf(msg::kOffsetError, msg::kInputError, verdict.echo);
      break;
    case SwitchFault::kBadAddress:
      record_failure(Outcome::kBadAddress);
      con_user_text(verdict.echo);
      con_printf(msg::kAddressError, msg::kInputError, verdict.echo);
      break;
    case SwitchFault::kInvalidSwitch:
      record_failure(Outcome::kInvalidSwitch);
      con_printf(msg::kInvalidSwitch, verdict.echo);  // shown as typed
      break;
    case SwitchFault::kInvalidFormat:
      record_failure(Outcome::kInvalidFormat);
      con_user_text(verdict.echo);
      con_printf(msg::kInvalidFormat, verdict.echo);
      break;
  }
  terminate();
}

void parse_arguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    if (arg[0] == '-') {
      report_switch_fault(parse_switch(arg, &run_options));
    } else if (input_open(arg)) {
      input_name = arg;
    } else {
      record_failure(Outcome::kFileOpenError);
      con_user_text(arg);
      con_printf(msg::kFileOpenError, arg);
      terminate();
    }
  }
  if (!input_is_open()) {
    record_failure(Outcome::kNoFileName);
    con_line(msg::kNoFileName);
    terminate();
  }
}

const char* format_key(ImageFormat format) {
  switch (format) {
    case ImageFormat::kBinary:
      return "bin";
    case ImageFormat::kIntelHex:
      return "hex";
    case ImageFormat::kSrecord:
      return "srec";
  }
  return "bin";
}

// A switch that only a raw binary has a meaning for, given with a file
// that places its own data.
void refuse_switch(const char* typed, size_t prefix_length) {
  char prefix[4] = {};
  for (size_t i = 0; i < prefix_length && typed[i] != '\0'; ++i) prefix[i] = typed[i];
  record_failure(Outcome::kSwitchNotApplicable);
  con_printf(msg::kSwitchNotApplicable, prefix,
             run_options.format == ImageFormat::kIntelHex ? msg::kIntelHexName : msg::kSrecordName);
  terminate();
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
  if (run_options.format == ImageFormat::kBinary) return;
  if (run_options.offset_switch != nullptr) refuse_switch(run_options.offset_switch, 3);
  if (run_options.address_switch != nullptr) refuse_switch(run_options.address_switch, 3);
  if (run_options.send_only_switch != nullptr) refuse_switch(run_options.send_only_switch, 2);
}

void open_log() {
  if (run_options.log_path == nullptr || record_open_log(run_options.log_path)) return;
  record_failure(Outcome::kLogOpenError);
  char* name = const_cast<char*>(run_options.log_path);
  con_user_text(name);
  con_printf(msg::kLogOpenError, name);
  terminate();
}

void open_serial_port() {
  const char* name = port_name(run_options);
  if (!open_port(name) || !configure_port(9600, 8, 1)) {
    record_failure(Outcome::kPortUnavailable);
    con_printf(msg::kPortUnavailable, name);
    terminate();
  }
}

[[noreturn]] void fail_line(Outcome outcome, const char* text) {
  record_failure(outcome);
  con_line(text);
  terminate();
}

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
  if (offset != 0 && offset >= size)
    fail_line(Outcome::kOffsetNotBelowSize, msg::kOffsetNotBelowSize);
  uint64_t length = size - offset;
  if (length == 0 || length > DATA_BUFFER_SIZE) fail_line(Outcome::kBadLoadSize, msg::kBadLoadSize);
  data_length = static_cast<uint32_t>(length);
  uint32_t count = 0;
  if (!input_read(offset, data_buffer, DATA_BUFFER_SIZE, &count) || count != data_length) {
    fail_line(Outcome::kFileReadError, msg::kFileReadError);
  }
  if (record_wanted()) hash_input(offset == 0 ? data_buffer : nullptr, size, sha);
}

const char* fault_reason(FormatFault fault) {
  switch (fault) {
    case FormatFault::kNone:
    case FormatFault::kBadRecord:
      return msg::kFormatBadRecord;
    case FormatFault::kBadChecksum:
      return msg::kFormatBadChecksum;
    case FormatFault::kUnknownType:
      return msg::kFormatUnknownType;
    case FormatFault::kAddressOutside:
      return msg::kFormatAddressOutside;
    case FormatFault::kAddressTwice:
      return msg::kFormatAddressTwice;
    case FormatFault::kBadCount:
      return msg::kFormatBadCount;
    case FormatFault::kNoEndRecord:
      return msg::kFormatNoEndRecord;
  }
  return msg::kFormatBadRecord;
}

// A HEX or S-record file: its data from the lowest address it gives to the
// highest, gaps as erased flash. Never taken as a binary when it does not
// parse.
void load_placed(char* sha) {
  const uint64_t size = input_size();
  if (size == 0 || size > kMaxTextFile) fail_line(Outcome::kBadLoadSize, msg::kBadLoadSize);
  std::vector<uint8_t> text(size);
  uint32_t count = 0;
  if (!input_read(0, text.data(), static_cast<uint32_t>(size), &count) || count != size) {
    fail_line(Outcome::kFileReadError, msg::kFileReadError);
  }
  if (record_wanted()) hash_input(text.data(), size, sha);
  const FormatVerdict verdict = run_options.format == ImageFormat::kIntelHex
                                    ? parse_intel_hex(text.data(), text.size(), &placed_image)
                                    : parse_srecord(text.data(), text.size(), &placed_image);
  if (verdict.fault != FormatFault::kNone) {
    record_failure(Outcome::kFormatError);
    con_printf(msg::kFormatError, static_cast<unsigned>(verdict.line), fault_reason(verdict.fault));
    terminate();
  }
  if (!placed_image.any || placed_image.high - placed_image.low >= DATA_BUFFER_SIZE) {
    fail_line(Outcome::kBadLoadSize, msg::kBadLoadSize);
  }
  data_length = copy_placed(placed_image, data_buffer);
  data_placed = true;
  data_low_address = placed_image.low;
}

void load_input_file() {
  char sha[SHA256_HEX_SIZE] = {};
  if (run_options.format == ImageFormat::kBinary) {
    load_binary(sha);
  } else {
    load_placed(sha);
  }
  input_close();
  record_file(data_length, sha[0] != '\0' ? sha : nullptr);
}

void run_mode() {
  if (run_options.send_only) {
    send_resident(data_buffer);  // the input file is itself a resident image
  } else {
    load_flash();
  }
}

std::vector<std::string> station_arguments(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (is_station_argument(argv[i])) args.push_back(argv[i]);
  }
  return args;
}

bool events_wanted(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (is_events_switch(argv[i])) return true;
  }
  return false;
}

}  // namespace

void run_program(int argc, char** argv) {
  reset_run_state();
  input_close();
  // Standard output is events or text from the first byte on.
  const bool events = events_wanted(argc, argv);
  console_setup(close_port, !events);  // a run ended from outside lets the port go
  record_events(events);
  if (events) console_defer_end_requests(end_by_request);
  con_line(msg::kBanner);
  if (argc <= 1) {
    con_line(msg::kUsage);
    exit_code = 0;
    terminate();
  }
  parse_arguments(argc, argv);
  choose_format();
  record_run(port_name(run_options), input_name, format_key(run_options.format),
             run_options.send_only);
  open_log();
  if (production_run(run_options)) {
    input_close();  // each station's run reads the file itself
    run_production(station_arguments(argc, argv));
  }
  if (record_wanted()) console_defer_end_requests(end_by_request);
  open_serial_port();
  load_input_file();
  console_ignore_interrupts();
  run_mode();
  exit_code = 0;
  terminate();
}

}  // namespace travek
