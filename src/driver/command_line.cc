#include "driver/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "formats/image_format.h"

namespace travek {
namespace {

struct Verdict {
  Outcome fault;
  char* echo;
};

constexpr Verdict kAccepted{outcome("ok"), nullptr};

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

Verdict set_port_digit(char* arg, char* value, RunOptions* options) {
  if (value[0] < '1' || value[0] > '4') return {outcome("invalid-port"), arg};
  options->port_digit = value[0];
  options->port_path = nullptr;
  return kAccepted;
}

Verdict set_offset(char*, char* value, RunOptions* options) {
  if (!read_number(value, &options->file_offset) || options->file_offset == 0) {
    return {outcome("bad-offset"), value};
  }
  return kAccepted;
}

Verdict set_address(char*, char* value, RunOptions* options) {
  if (!read_number(value, &options->start_address) || options->start_address == 0) {
    return {outcome("bad-address"), value};
  }
  return kAccepted;
}

Verdict set_port_path(char* arg, char* value, RunOptions* options) {
  if (value[0] == '\0') return {outcome("invalid-port"), arg};
  options->port_path = value;
  return kAccepted;
}

// Splits "A,B,..." in place. A name given twice, or an empty one, is the
// fault; its text is the echo.
Verdict set_ports(char*, char* list, RunOptions* options) {
  options->port_count = 0;
  for (char* name = list;;) {
    char* comma = std::strchr(name, ',');
    if (comma != nullptr) *comma = '\0';
    bool twice = false;
    for (int i = 0; i < options->port_count; ++i)
      twice = twice || !std::strcmp(options->ports[i], name);
    if (*name == '\0' || twice || options->port_count == MAX_PORTS) {
      return {outcome("invalid-port"), name};
    }
    options->ports[options->port_count++] = name;
    if (comma == nullptr) return kAccepted;
    name = comma + 1;
  }
}

// One of the formats' -f: values, in any case.
Verdict set_batch(char* arg, char* value, RunOptions* options) {
  if (!read_number(value, &options->batch) || options->batch == 0)
    return {outcome("invalid-switch"), arg};
  return kAccepted;
}

Verdict set_format(char*, char* value, RunOptions* options) {
  for (size_t i = 0; i < sizeof(kImageFormats) / sizeof(kImageFormats[0]); ++i) {
    const size_t length = std::strlen(kImageFormats[i].key);
    if (has_prefix(value, kImageFormats[i].key, length) && value[length] == '\0') {
      options->format = static_cast<ImageFormat>(i);
      options->format_forced = true;
      return kAccepted;
    }
  }
  return {outcome("invalid-format"), value};
}

struct SwitchRow {
  const char* prefix;
  bool whole;  // the argument is the prefix and nothing more
  // What the switch sets, from arg (the whole argument) and value (the text
  // after the prefix), where the three below do not say it all.
  Verdict (*set)(char* arg, char* value, RunOptions* options);
  bool RunOptions::*flag;          // turned on
  const char* RunOptions::*value;  // the text after the prefix
  const char* RunOptions::*typed;  // the switch as typed
  bool station;                    // each station's run in a run of many gets it
  bool binary_only;                // a file that places its own data refuses it
};

using O = RunOptions;

// In the original tool's order first: "-sport:x" is send-only.
constexpr SwitchRow kSwitches[] = {
    {"-com", false, set_port_digit, nullptr, nullptr, nullptr, false, false},
    {"-o:", false, set_offset, nullptr, nullptr, &O::offset_switch, true, true},
    {"-a:", false, set_address, nullptr, nullptr, &O::address_switch, true, true},
    {"-s", false, nullptr, &O::send_only, nullptr, &O::send_only_switch, true, true},
    {"-port:", false, set_port_path, nullptr, nullptr, nullptr, false, false},
    {"-ports:", false, set_ports, nullptr, nullptr, nullptr, false, false},
    {"-f:", false, set_format, nullptr, nullptr, &O::format_switch, true, false},
    {"-log:", false, nullptr, nullptr, &O::log_path, nullptr, false, false},
    {"-json", true, nullptr, &O::events, nullptr, nullptr, false, false},
    {"-y", true, nullptr, &O::restart_at_once, nullptr, &O::restart_switch, true, false},
    {"-repeat", true, nullptr, &O::repeat, nullptr, nullptr, false, false},
    {"-n:", false, nullptr, nullptr, &O::numbers_path, &O::numbers_switch, true, false},
    {"-batch:", false, set_batch, nullptr, nullptr, nullptr, false, false},
};

const SwitchRow* matching_switch(const char* arg) {
  for (const SwitchRow& row : kSwitches) {
    const size_t length = std::strlen(row.prefix);
    if (has_prefix(arg, row.prefix, length) && (!row.whole || arg[length] == '\0')) return &row;
  }
  return nullptr;
}

Verdict apply(const SwitchRow& row, char* arg, RunOptions* options) {
  char* value = arg + std::strlen(row.prefix);
  const Verdict verdict = row.set != nullptr ? row.set(arg, value, options) : kAccepted;
  if (verdict.fault != outcome("ok")) return verdict;
  if (row.flag != nullptr) options->*row.flag = true;
  if (row.value != nullptr) options->*row.value = value;
  if (row.typed != nullptr) options->*row.typed = arg;
  return verdict;
}

}  // namespace

Arguments read_arguments(int argc, char** argv, RunOptions* options) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    char* arg = argv[i];
    const SwitchRow* row = arg[0] == '-' ? matching_switch(arg) : nullptr;
    if (arguments.fault != outcome("ok")) {
      // Past the fault, only how it is to be told.
      if (row != nullptr && row->flag == &O::events) apply(*row, arg, options);
    } else if (arg[0] != '-') {
      arguments.files.push_back(arg);
      options->input_name = arg;
    } else {
      const Verdict verdict =
          row != nullptr ? apply(*row, arg, options) : Verdict{outcome("invalid-switch"), arg};
      arguments.fault = verdict.fault;
      arguments.echo = verdict.echo;
    }
  }
  return arguments;
}

std::vector<std::string> station_arguments(const RunOptions& options) {
  std::vector<std::string> args;
  for (const SwitchRow& row : kSwitches) {
    if (row.station && options.*row.typed != nullptr) args.push_back(options.*row.typed);
  }
  args.push_back(options.input_name);
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
