// One station's run as one value: the driver makes it for each station and
// hands it, by reference, to every step of that station's run. Nothing of a
// run lives anywhere else, so station after station can run in one process
// and each starts as a fresh process would.
#pragma once

#include <cstdint>
#include <vector>

#include "common/constants.h"
#include "link/serial_link.h"
#include "record/run_record.h"
#include "run/run_options.h"

namespace travek {

// The loaded part of the input file: what each station of the run is given.
struct RunData {
  // Bytes past data_length read as zero.
  std::vector<uint8_t> data_buffer = std::vector<uint8_t>(DATA_BUFFER_SIZE);
  uint32_t data_length = 0;
  // A file that places its data itself (Intel HEX, S-record): the station
  // address of the data buffer's first byte.
  bool data_placed = false;
  uint32_t data_low_address = 0;
  // The SHA-256 of the whole input file in hex, where the run needs it;
  // empty otherwise.
  char input_sha256[65] = {};
};

// A station of an unattended line, one of a series on its port.
struct LineStation {
  uint32_t cycle = 0;  // its ordinal on the port, from 1; 0: not a station of a line
  // now_ms() when the port's last station ended, or the port was opened:
  // the station's wait counts from there.
  uint32_t waited_from = 0;
  // A start byte before this comes from the last station, back in its boot
  // loader because its programming jumper is still set.
  bool guarding = false;
  uint32_t guard_until = 0;
  bool started = false;    // its start byte has come
  bool restarted = false;  // its restart was answered
};

struct StationRun {
  StationRun(const RunOptions& run_options, SerialLink& port_link)
      : options(run_options), link(port_link) {}

  const RunOptions& options;
  SerialLink& link;  // the port's, which outlives the station
  RunRecord record;
  // The station's own copy: padded and given its number in place.
  RunData data;
  // -1 until a normal end sets it to 0.
  int32_t exit_code = -1;
  LineStation line;
};

}  // namespace travek
