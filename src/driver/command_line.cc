#include "driver/command_line.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

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

}  // namespace

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
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-a:", 3)) {
    if (!read_number(arg + 3, &value) || value == 0) return {SwitchFault::kBadAddress, arg + 3};
    options->start_address = value;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-s", 2)) {
    options->send_only = true;
    return {SwitchFault::kNone, nullptr};
  }
  if (has_prefix(arg, "-port:", 6)) {
    if (arg[6] == '\0') return {SwitchFault::kInvalidPort, arg};
    options->port_path = arg + 6;
    return {SwitchFault::kNone, nullptr};
  }
  return {SwitchFault::kInvalidSwitch, arg};
}

}  // namespace travek
