// What the command line chose.
#pragma once

#include <cstdint>

namespace travek {

struct RunOptions {
  char port_digit = '2';            // -com1..-com4
  const char* port_path = nullptr;  // -port:NAME, when given after any -com#
  uint32_t file_offset = 0;         // 0: none
  uint32_t start_address = 0;       // 0: automatic
  bool send_only = false;
};

// The device the options name.
const char* port_name(const RunOptions& options);

}  // namespace travek
