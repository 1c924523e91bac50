#include "run/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "formats/image_format.h"
#include "run/fail.h"

namespace travek {
namespace {

// Compares the first length characters without regard to case.
bool has_prefix(const char* arg, const char* prefix, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    unsigned char a = static_cast<unsigned char>(arg[i]);
    unsigned char b = static_cast<unsigned char>(prefix[i]);
    if (std::tolower(a) != std::tolower(b)) return false;
    if (a == 0) break;
  }
  return true;
}

// What a switch's value is worth: true when it is sound, else *echo is the
// text its failure shows when that is not the table's choice.
using Setter = bool (*)(char* value, RunOptions* options, char** echo);

bool set_port_digit(char* value, RunOptions* options, char**) {
  if (value[0] < '1' || value[0] > '4') return false;
  options->port_digit = value[0];
  options->port_path = nullptr;
  return true;
}

bool set_port_path(char* value, RunOptions*, char**) { return value[0] != '\0'; }

// Splits "A,B,..." in place. A name given twice, or an empty one, is the
// fault; its text is the echo.
bool set_ports(char* list, RunOptions* options, char** echo) {
  options->port_count = 0;
  for (char* name = list;;) {
    char* comma = std::strchr(name, ',');
    if (comma != nullptr) *comma = '\0';
    bool twice = false;
    for (int i = 0; i < options->port_count; ++i)
      twice = twice || !std::strcmp(options->ports[i], name);
    if (*name == '\0' || twice || options->port_count == MAX_PORTS) {
      *echo = name;
      return false;
    }
    options->ports[options->port_count++] = name;
    if (comma == nullptr) return true;
    name = comma + 1;
  }
}

// One of the formats' -f: values, in any case.
bool set_format(char* value, RunOptions* options, char**) {
  for (size_t i = 0; i < sizeof(kImageFormats) / sizeof(kImageFormats[0]); ++i) {
    const size_t length = std::strlen(kImageFormats[i].key);
    if (has_prefix(value, kImageFormats[i].key, length) && value[length] == '\0') {
      options->format = static_cast<ImageFormat>(i);
      options->format_forced = true;
      return true;
    }
  }
  return false;
}

enum class Echo { kArgument, kValue };

struct SwitchRow {
  const char* prefix;
  bool whole;  // the argument is the prefix and nothing more
  // The failure a faulty value is, and what of the argument it shows.
  Outcome fault;
  Echo echo;
  bool echo_typed;                 // byte for byte as typed, not as the user's text
  Setter set;                      // what it checks and sets beyond the members below
  bool RunOptions::*flag;          // turned on
  const char* RunOptions::*value;  // the text after the prefix
  uint32_t RunOptions::*number;    // the text after the prefix, a non-zero number
  const char* RunOptions::*typed;  // the switch as typed
  bool station;                    // each station's run in a run of many gets it
  bool binary_only;                // a file that places its own data refuses it
};

using O = RunOptions;
constexpr Outcome kNone = outcome("ok");

// In the original tool's order first: "-sport:x" is send-only.
constexpr SwitchRow kSwitches[] = {
    {"-com", false, outcome("invalid-port"), Echo::kArgument, false, set_port_digit, nullptr,
     nullptr, nullptr, nullptr, false, false},
    {"-o:", false, outcome("bad-offset"), Echo::kValue, false, nullptr, nullptr, nullptr,
     &O::file_offset, &O::offset_switch, true, true},
    {"-a:", false, outcome("bad-address"), Echo::kValue, false, nullptr, nullptr, nullptr,
     &O::start_address, &O::address_switch, true, true},
    {"-s", false, kNone, Echo::kArgument, false, nullptr, &O::send_only, nullptr, nullptr,
     &O::send_only_switch, true, true},
    {"-port:", false, outcome("invalid-port"), Echo::kArgument, false, set_port_path, nullptr,
     &O::port_path, nullptr, nullptr, false, false},
    {"-ports:", false, outcome("invalid-port"), Echo::kValue, false, set_ports, nullptr, nullptr,
     nullptr, nullptr, false, false},
    {"-f:", false, outcome("invalid-format"), Echo::kValue, false, set_format, nullptr, nullptr,
     nullptr, &O::format_switch, true, false},
    {"-log:", false, kNone, Echo::kArgument, false, nullptr, nullptr, &O::log_path, nullptr,
     nullptr, false, false},
    {"-json", true, kNone, Echo::kArgument, false, nullptr, &O::events, nullptr, nullptr, nullptr,
     false, false},
    {"-y", true, kNone, Echo::kArgument, false, nullptr, &O::restart_at_once, nullptr, nullptr,
     &O::restart_switch, true, false},
    {"-repeat", true, kNone, Echo::kArgument, false, nullptr, &O::repeat, nullptr, nullptr,
     &O::repeat_switch, false, false},
    {"-n:", false, kNone, Echo::kArgument, false, nullptr, nullptr, &O::numbers_path, nullptr,
     &O::numbers_switch, true, false},
    {"-batch:", false, outcome("invalid-switch"), Echo::kArgument, true, nullptr, nullptr, nullptr,
     &O::batch, nullptr, false, false},
    {"-auto", true, kNone, Echo::kArgument, false, nullptr, &O::auto_line, nullptr, nullptr,
     nullptr, false, false},
    {"-line", true, kNone, Echo::kArgument, false, nullptr, &O::line_port, nullptr, nullptr,
     nullptr, false, false},
    {"-job:", false, kNone, Echo::kArgument, false, nullptr, nullptr, &O::job_path, nullptr,
     nullptr, false, false},
};

// An argument no row takes is this failure, shown as typed; so is one typed
// beside a job.
constexpr Outcome kUnknownSwitch = outcome("invalid-switch");
constexpr Outcome kRefusedByJob = outcome("job-switch-refused");

// Every failure a row can give shows one text; every switch a station's run
// is given can be given as it was typed.
constexpr bool table_sound() {
  for (const SwitchRow& row : kSwitches) {
    const char* message = outcome_row(row.fault).message;
    constexpr char kText[] = {'s', 0};
    if (row.fault != kNone && !format_fits(message, kText, 1)) return false;
    if (row.station && row.typed == nullptr) return false;
  }
  return format_fits(outcome_row(kUnknownSwitch).message, "s", 1) &&
         format_fits(outcome_row(kRefusedByJob).message, "s", 1);
}
static_assert(table_sound(), "a switch's failure shows one text; a station's switch is typed");

const SwitchRow* matching_switch(const char* arg) {
  for (const SwitchRow& row : kSwitches) {
    const size_t length = std::strlen(row.prefix);
    if (has_prefix(arg, row.prefix, length) && (!row.whole || arg[length] == '\0')) return &row;
  }
  return nullptr;
}

// False with the row's failure in arguments when the value is faulty.
bool apply(const SwitchRow& row, char* arg, RunOptions* options, Arguments* arguments) {
  char* value = arg + std::strlen(row.prefix);
  char* echo = row.echo == Echo::kValue ? value : arg;
  bool sound = row.set == nullptr || row.set(value, options, &echo);
  if (sound && row.number != nullptr) {
    sound = read_number(value, &(options->*row.number)) && options->*row.number != 0;
  }
  if (!sound) {
    arguments->fault = row.fault;
    arguments->echo = echo;
    arguments->echo_typed = row.echo_typed;
    return false;
  }
  if (row.flag != nullptr) options->*row.flag = true;
  if (row.value != nullptr) options->*row.value = value;
  if (row.typed != nullptr) options->*row.typed = arg;
  return true;
}

const SwitchRow& row_of(bool RunOptions::*flag, const char* RunOptions::*value,
                        uint32_t RunOptions::*number) {
  const SwitchRow* row = kSwitches;
  while ((flag == nullptr || row->flag != flag) && (value == nullptr || row->value != value) &&
         (number == nullptr || row->number != number)) {
    ++row;
  }
  return *row;
}

// What a job's run takes beside the job: how it is told (-json); and a
// station's process of it, what its parent gives it of its own.
bool taken_beside_job(const SwitchRow& row, const RunOptions& options) {
  if (row.flag == &O::events) return true;
  if (options.batch == 0 && !options.line_port) return false;
  return row.value == &O::port_path || row.value == &O::log_path || row.number == &O::batch ||
         row.flag == &O::line_port;
}

// The job fixes the run: any other argument, a file name or a second job,
// is refused, the first of them told as typed.
void refuse_beside_job(int argc, char** argv, const RunOptions& options, Arguments* arguments) {
  bool job_seen = false;
  for (int i = 1; i < argc; ++i) {
    const SwitchRow* row = argv[i][0] == '-' ? matching_switch(argv[i]) : nullptr;
    const bool the_job = row != nullptr && row->value == &O::job_path && !job_seen;
    job_seen = job_seen || the_job;
    if (the_job || (row != nullptr && taken_beside_job(*row, options))) continue;
    *arguments = Arguments{};
    arguments->fault = kRefusedByJob;
    arguments->echo = argv[i];
    arguments->echo_typed = true;
    return;
  }
}

}  // namespace

Arguments read_arguments(int argc, char** argv, RunOptions* options) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    const SwitchRow* row = arg[0] == '-' ? matching_switch(arg) : nullptr;
    if (arguments.fault != kNone) {
      // Past the fault, only how it is to be told.
      if (row != nullptr && row->flag == &O::events) apply(*row, arg, options, &arguments);
    } else if (arg[0] != '-') {
      arguments.files.push_back(arg);
      options->input_name = arg;
    } else if (row == nullptr) {
      arguments.fault = kUnknownSwitch;
      arguments.echo = arg;
      arguments.echo_typed = true;
    } else {
      apply(*row, arg, options, &arguments);
    }
  }
  if (options->job_path != nullptr) refuse_beside_job(argc, argv, *options, &arguments);
  return arguments;
}

void fail_switch(const Arguments& arguments) {
  if (arguments.echo_typed) fail_unchecked(arguments.fault, console_arg(TypedText{arguments.echo}));
  fail_unchecked(arguments.fault, console_arg(UserText{arguments.echo}));
}

std::vector<std::string> station_arguments(const RunOptions& options) {
  // A job's station reads the job itself, and checks its image against it.
  if (options.job_path != nullptr) {
    return {row_of(nullptr, &O::job_path, nullptr).prefix + std::string(options.job_path)};
  }
  std::vector<std::string> args;
  for (const SwitchRow& row : kSwitches) {
    if (row.station && options.*row.typed != nullptr) args.push_back(options.*row.typed);
  }
  args.push_back(options.input_name);
  return args;
}

std::vector<std::string> station_own_arguments(const RunOptions& options, const char* port,
                                               unsigned batch) {
  std::vector<std::string> args = {
      row_of(&O::events, nullptr, nullptr).prefix,
      std::string(row_of(nullptr, &O::port_path, nullptr).prefix) + port,
      options.auto_line ? std::string(row_of(&O::line_port, nullptr, nullptr).prefix)
                        : row_of(nullptr, nullptr, &O::batch).prefix + std::to_string(batch)};
  if (options.log_path != nullptr) {
    args.push_back(row_of(nullptr, &O::log_path, nullptr).prefix + std::string(options.log_path));
  }
  return args;
}

const char* binary_only_switch(const RunOptions& options, size_t* prefix_length) {
  for (const SwitchRow& row : kSwitches) {
    if (row.binary_only && options.*row.typed != nullptr) {
      *prefix_length = std::strlen(row.prefix);
      return options.*row.typed;
    }
  }
  return nullptr;
}

bool read_number(const char* text, uint32_t* value) {
  errno = 0;
  const long long number = std::strtoll(text, nullptr, 0);
  if (errno == ERANGE || number > INT32_MAX || number < INT32_MIN) return false;
  *value = static_cast<uint32_t>(static_cast<int32_t>(number));
  return true;
}

}  // namespace travek
