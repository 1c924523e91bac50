#include "driver/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

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

// The whole argument, without regard to case.
bool is_switch(const char* arg, const char* name) {
  size_t length = std::strlen(name);
  return std::strlen(arg) == length && has_prefix(arg, name, length);
}

bool read_format(const char* text, ImageFormat* format) {
  const struct {
    const char* name;
    ImageFormat format;
  } kFormats[] = {{"bin", ImageFormat::kBinary},
                  {"hex", ImageFormat::kIntelHex},
                  {"srec", ImageFormat::kSrecord}};
  for (const auto& f : kFormats) {
    if (is_switch(text, f.name)) {
      *format = f.format;
      return true;
    }
  }
  return false;
}

// Splits "A,B,..." in place. A name given twice, or an empty one, is the
// fault; its text is the echo.
SwitchVerdict read_ports(char* list, RunOptions* options) {
  options->port_count = 0;
  for (char* name = list;;) {
    char* comma = std::strchr(name, ',');
    if (comma != nullptr) *comma = '\0';
    bool twice = false;
    for (int i = 0; i < options->port_count; ++i)
      twice = twice || !std::strcmp(options->ports[i], name);
    if (*name == '\0' || twice || options->port_count == MAX_PORTS) {
      return {SwitchFault::kInvalidPort, name};
    }
    options->ports[options->port_count++] = name;
    if (comma == nullptr) return {SwitchFault::kNone, nullptr};
    name = comma + 1;
  }
}

}  // namespace

bool is_events_switch(const char* arg) { return is_switch(arg, "-json"); }

bool is_station_argument(const char* arg) {
  if (arg[0] != '-') return true;
  // In the order parse_switch matches them: "-sport:x" is send-only.
  if (has_prefix(arg, "-com", 4)) return false;
  if (has_prefix(arg, "-o:", 3) || has_prefix(arg, "-a:", 3) || has_prefix(arg, "-s", 2)) {
    return true;
  }
  return !(has_prefix(arg, "-port:", 6) || has_prefix(arg, "-ports:", 7) ||
           has_prefix(arg, "-log:", 5) || is_events_switch(arg) || is_switch(arg, "-repeat"));
}

bool read_number(const char* text, uint32_t* value) {
  errno = 0;
  const long long number = std::strtoll(text, nullptr, 0);
  if (errno == ERANGE || number > INT32_MAX || number < INT32_MIN) return false;
  *value = static_cast<uint32_t>(static_cast<int32_t>(number));
  return true;
}

SwitchVerdict parse_switch(char* arg, RunOptions* options) {
  if (has_prefix(arg, "-com", 4)) {
    if (arg[4] < '1' || arg[4] > '4') return {SwitchFault::kInvalidPort, arg};
    options->port_digit = arg[4];
    options->port_path = nullptr;
    return {SwitchFault::kNone, nullptr};
  }
  uint32_t value = 0;
  if (has_prefix(arg, "-o:", 3)) {
    if (!read_number(arg + 3, &value) || value == 0) return {SwitchFault::kBadOffset, arg + 3};
    options->file_offset = value;
    options->offset_switch = arg;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-a:", 3)) {
    if (!read_number(arg + 3, &value) || value == 0) return {SwitchFault::kBadAddress, arg + 3};
    options->start_address = value;
    options->address_switch = arg;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-s", 2)) {
    options->send_only = true;
    options->send_only_switch = arg;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-port:", 6)) {
    if (arg[6] == '\0') return {SwitchFault::kInvalidPort, arg};
    options->port_path = arg + 6;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-ports:", 7)) return read_ports(arg + 7, options);
  if (has_prefix(arg, "-f:", 3)) {
    if (!read_format(arg + 3, &options->format)) return {SwitchFault::kInvalidFormat, arg + 3};
    options->format_forced = true;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-log:", 5)) {
    options->log_path = arg + 5;
    return {SwitchFault::kNone, nullptr};
  }
  if (is_events_switch(arg)) {
    options->events = true;
    return {SwitchFault::kNone, nullptr};
  }
  if (is_switch(arg, "-y")) {
    options->restart_at_once = true;
    return {SwitchFault::kNone, nullptr};
  }
  if (is_switch(arg, "-repeat")) {
    options->repeat = true;
    return {SwitchFault::kNone, nullptr};
  }
  return {SwitchFault::kInvalidSwitch, arg};
}

}  // namespace travek
