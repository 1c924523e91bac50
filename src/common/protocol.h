// The bytes the PC and the station exchange, named once: the tool sends and
// expects them, and the station model in sim/ plays the station's side with
// the same names.
#pragma once

#include <cstdint>

namespace travek {

// The boot loader announces itself with this byte, sent at its own rate.
inline constexpr uint8_t BOOT_START_BYTE = 0x55;
// 'U': the PC's greeting at the operating rate, and the resident's answer.
inline constexpr uint8_t HANDSHAKE_BYTE = 0x55;

// The station packet: its code, then a payload of a known length, then the
// CRC of both, low byte first. The station information is the only one.
inline constexpr uint8_t STATION_INFO_CODE = 0xEE;
inline constexpr uint32_t STATION_INFO_LENGTH = 9;
// Station information flags: bit 2 alone a second chip; bits 0-1 both set,
// no jumper prompt.
inline constexpr uint8_t FLAG_SECOND_CHIP = 0x04;
inline constexpr uint8_t FLAGS_NO_JUMPER_PROMPT = 0x03;

// Page records: the page word's bit 15 marks a fill record, whose data is
// one 16-bit word repeated through the page. Page word and CRC make 4 bytes.
inline constexpr uint16_t FILL_FLAG = 0x8000;
inline constexpr uint32_t RECORD_OVERHEAD = 4;

// The resident's report bytes.
inline constexpr uint8_t REPORT_SECTOR_DONE = 0x0F;
inline constexpr uint8_t REPORT_CREDIT = 0x55;
inline constexpr uint8_t REPORT_SECTOR_WARNING = 0xF0;
inline constexpr uint8_t REPORT_SECTOR_FAILED = 0xFF;

// The restart command, "SR"; any byte back is its answer.
inline constexpr uint8_t RESTART_COMMAND[2] = {'S', 'R'};

}  // namespace travek
