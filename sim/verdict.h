// What a simulated station saw in one session. A violation is a mistake of
// the PC that real hardware would not survive; tests treat it as a failure.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Verdict {
  std::vector<std::string> violations;
  int resets = 0;
  int start_bytes = 0;
  long body_bytes = 0;
  bool resident_started = false;
  int divisor = -1;
  double resident_rate = 0;
  bool handshake = false;
  bool packet_sent = false;
  long start_page = -1;
  long pages_full = 0;
  long pages_fill = 0;
  long stream_bytes = 0;
  long sectors_written = 0;
  long sectors_pending = 0;  // received whole but not yet written, or partly received
  bool stream_open = false;  // the start record came and no fault stopped the station
  bool restart = false;
  uint32_t flash_base = 0;
  std::vector<uint8_t> flash;  // from flash_base to the top of the 1 MB space

  bool clean() const { return violations.empty(); }
  // Every page received went into a written sector.
  bool stream_complete() const {
    return stream_open && sectors_written > 0 && sectors_pending == 0;
  }
};

// One line of JSON, without the flash contents.
std::string to_json(const Verdict& verdict);

}  // namespace sim
