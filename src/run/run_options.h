// What the command line chose.
#pragma once

#include <cstdint>

#include "common/constants.h"
#include "formats/image_format.h"

namespace travek {

struct RunOptions {
  char port_digit = '2';            // -com1..-com4
  const char* port_path = nullptr;  // -port:NAME, when given after any -com#
  uint32_t file_offset = 0;         // 0: none
  uint32_t start_address = 0;       // 0: automatic
  bool send_only = false;
  bool format_forced = false;  // -f:; otherwise the file's content decides
  ImageFormat format = ImageFormat::kBinary;

  const char* log_path = nullptr;  // -log:FILE
  bool events = false;             // -json
  bool restart_at_once = false;    // -y

  // The switches as typed: for a file format they do not apply to, and for
  // each station's run in a run of many.
  const char* offset_switch = nullptr;
  const char* address_switch = nullptr;
  const char* send_only_switch = nullptr;
  const char* format_switch = nullptr;
  const char* restart_switch = nullptr;
  const char* numbers_switch = nullptr;
  // The last file name, as typed: the input file.
  const char* input_name = nullptr;

  const char* numbers_path = nullptr;  // -n:FILE: each station its own number
  // -batch:N: this run is a station's of batch N of a run of many, which
  // gives it its keys and reads its record; 0: none.
  uint32_t batch = 0;

  // -ports:A,B,...: each port its own run of the same image, all at once.
  int port_count = 0;
  const char* ports[MAX_PORTS] = {};
  bool repeat = false;  // -repeat: batch after batch
  const char* repeat_switch = nullptr;
  // -auto: an unattended line, every port flashing station after station.
  bool auto_line = false;
  // -line: this process is one port's of an unattended line.
  bool line_port = false;
  // -job:FILE: the production job that fixes the run.
  const char* job_path = nullptr;
};

// The device the options name.
const char* port_name(const RunOptions& options);

// True when the options ask for the runs of many stations (or of batch after
// batch) rather than one run.
bool production_run(const RunOptions& options);

}  // namespace travek
