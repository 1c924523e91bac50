// Everything that makes one simulated station: its clock class, boot loader
// timing, the resident it expects, what it reports of itself, its flash
// timing, and the faults it is told to commit.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "common/protocol.h"
#include "line_model.h"

namespace sim {

// The PC's line while it waits for a start byte: 9600 bit/s, one stop bit.
inline constexpr LineSide kWaitingLine{9600, 1};

struct ClockSpec {
  const char* name;
  uint32_t boot_rate;    // the boot loader's line rate
  uint32_t clock_div32;  // crystal frequency / 32
};

inline constexpr ClockSpec kClock10MHz{"10MHz", 9600, 312500};
inline constexpr ClockSpec kClock12MHz{"12MHz", 11520, 375000};
inline constexpr ClockSpec kClock11MHz{"11MHz", 10472, 345600};

struct Chip {
  uint8_t manufacturer = 0;
  uint8_t device = 0;
  uint8_t sector_units = 0;  // sector size / 64
  uint8_t size_code = 0;     // minus the size in 64 KB units, as a byte
};

inline constexpr Chip kAT29C010{0x1F, 0xD5, 0x02, 0xFE};  // 128 KB, 128-byte sectors
inline constexpr Chip kAT29C020{0x1F, 0xDA, 0x04, 0xFC};  // 256 KB, 256-byte sectors
inline constexpr Chip kAT29C040{0x1F, 0xA4, 0x04, 0xF8};  // 512 KB, 256-byte sectors

enum class PacketFault { kNone, kWrongCode, kBadCrc, kShort };
// kByteAndFraming: a lone byte, and 2 ms later a byte with a framing error.
enum class LineFault { kNone, kFraming, kBreak, kByteAndFraming };

struct StationFaults {
  int echo_wrong_at = -1;    // this body byte is echoed changed
  int echo_missing_at = -1;  // this body byte is not echoed
  bool no_handshake_answer = false;
  int handshake_answer = travek::HANDSHAKE_BYTE;  // what the resident answers to 'U'
  PacketFault packet = PacketFault::kNone;
  std::set<long> warn_sectors;          // sector ordinals reported with a warning
  long fail_sector = -1;                // reported as failed; the station stops
  long broken_report_sector = -1;       // reported with a meaningless byte
  long duplicate_report_sector = -1;    // reported twice
  long silent_after_stream_bytes = -1;  // the resident hangs after so many
  long stall_after_stream_bytes = -1;   // it stops reading the line, but grants credit
  bool no_restart_answer = false;       // "SR" is lost: no answer, no restart
  int stray_byte = -1;                  // a lone byte at 9600 before the first start byte
  double second_start_after_ms = -1;    // another start byte this long after a boot's first
  LineFault start_line_fault = LineFault::kNone;  // before the first start byte
};

struct StationConfig {
  ClockSpec clock = kClock10MHz;
  double boot_delay_ms = 20;      // from reset release to the start byte
  double start_repeat_ms = 0;     // resend the start byte until the PC talks; 0: once
  std::vector<uint8_t> resident;  // the image the PC must send (empty: built-in)
  uint8_t flags = 0;
  Chip chips[2] = {kAT29C040, {}};
  double handshake_delay_ms = 0;  // the resident's time to answer 'U'
  double sector_write_ms = 0;     // flash programming time per sector
  int write_buffers = 2;          // sectors the resident can hold while writing
  // A credit byte pays only for stream bytes the PC decided to send after it
  // had arrived there: bytes of one write were decided when the write began.
  // With line timing a credit arrives when its stop bit has gone out; without
  // (a pseudo-terminal, where times are not those of a line) just after it is
  // sent, so bytes read in one piece never use credit they earned themselves.
  bool line_timing = true;
  // The programming jumper is still set: on the restart command the station
  // answers and goes back into its boot loader. Without it, it runs its
  // program and no longer listens to the line.
  bool jumper_set = false;
  StationFaults faults;
};

}  // namespace sim
