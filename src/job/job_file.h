// A production job: one file that fixes a line's whole run and pins its
// image by SHA-256, so that an operator starts the right job with one word
// and cannot flash the wrong firmware. Written as the numbers file is, and
// read by the same reader (formats/key_values.h):
//
//   name    = line3-ctrl-revB          the job's name, for the operator and the records
//   image   = firmware-2.4.1.bin       the image; relative to the job file's folder
//   sha256  = 3f5a...                  the image file's SHA-256: 64 hex digits, spaces
//                                      between them allowed, either case
//   format  = bin | hex | srec         optional, as -f:
//   offset  = 0x200                    optional, as -o: (binary images only)
//   address = 0xF0000                  optional, as -a: (binary images only)
//   ports   = /dev/ttyUSB0, COM5, ...  the ports, as -ports: (one for single)
//   numbers = line3.numbers            optional, as -n:
//   log     = line3.jsonl              optional, as -log:
//   mode    = single | batch | auto    a run alone, -repeat batches, -auto
//   restart = prompt | yes             optional, prompt by default; as -y
//
// name, image, sha256, ports and mode are required. Pure: bytes in, the job
// or the line at fault out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/image_format.h"

namespace travek {

enum class JobMode { kSingle, kBatch, kAuto };

struct JobFile {
  std::string name;
  std::string image;   // as written
  std::string sha256;  // 64 lower-case hex digits
  bool format_given = false;
  ImageFormat format = ImageFormat::kBinary;
  uint32_t offset = 0;   // 0: none
  uint32_t address = 0;  // 0: automatic
  std::vector<std::string> ports;
  std::string numbers;  // as written; empty: none
  std::string log;
  JobMode mode = JobMode::kSingle;
  bool restart_at_once = false;
};

// The numbers file's faults, told in the same words.
enum class JobFault { kNone, kUnknownKey, kKeyTwice, kBadValue, kMissingKey };

struct JobVerdict {
  JobFault fault;
  uint32_t line;    // 1-based; 0 with kNone and kMissingKey
  const char* key;  // with kMissingKey, the key's name
};

JobVerdict parse_job_file(const uint8_t* text, size_t size, JobFile* job);

// A SHA-256 as a job or a tool writes it (hex, spaces between digits
// allowed, either case) as 64 lower-case hex digits; false if it is none.
bool normal_sha256(std::string_view text, std::string* hex);

}  // namespace travek
