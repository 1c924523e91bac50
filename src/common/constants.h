// Sizes and limits shared by every subsystem of the flasher.
#pragma once

#include <cstdint>

namespace travek {

// Both driver queues, the largest read, echoed chunk and transmit batch.
inline constexpr uint32_t LINK_BLOCK = 1632;
// The resident returns transmit credit in units of half a link block.
inline constexpr uint32_t CREDIT_UNIT = LINK_BLOCK / 2;
// The data buffer holds the loaded part of the input file (and its padding).
inline constexpr uint32_t DATA_BUFFER_SIZE = 0x80000;

// Ports of one run of many at most.
inline constexpr int MAX_PORTS = 64;

// The station's physical address space ends here; the flash sits at its top.
inline constexpr uint32_t ADDRESS_SPACE_END = 0x100000;
inline constexpr uint32_t PAGE_SIZE = 64;

// Line error bits, as the Windows communications driver reports them.
inline constexpr uint32_t CE_RXOVER = 0x01;
inline constexpr uint32_t CE_OVERRUN = 0x02;
inline constexpr uint32_t CE_RXPARITY = 0x04;
inline constexpr uint32_t CE_FRAME = 0x08;
inline constexpr uint32_t CE_BREAK = 0x10;

// Console keys.
inline constexpr int KEY_ENTER = 13;
inline constexpr int KEY_ESC = 27;
// What a key read gives when standard input has ended (never a real key).
inline constexpr int KEY_END_OF_INPUT = -1;
// A key that sends more than one byte (an arrow, a function key, Alt with a
// key): never Esc or Enter, whatever its bytes.
inline constexpr int KEY_OTHER = 0x100;

inline uint16_t read_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

inline void write_le16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value & 0xFF);
  p[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace travek
