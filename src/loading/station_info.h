// The resident's first message and what follows from it: the station class,
// the flash chips, the flash size and sector size, the start address, the
// checks that the image fits, and its padding to whole sectors.
//
// Station packet: a code byte, a payload of a length the receiver knows, and
// the CRC of both, low byte first. The only one is the station information
// (code 0xEE, 9 bytes): flags (bits 2-3 class code; bit 2 alone a second
// chip; bits 0-1 both set: no jumper prompt), then for each chip its
// manufacturer id, device id, sector size / 64 and size code (minus its size
// in 64 KB units, as a byte).
#pragma once

#include <cstdint>

#include "link/serial_link.h"
#include "run/station_run.h"

namespace travek {

struct ChipDescriptor {
  uint8_t manufacturer;
  uint8_t device;
  uint8_t sector_units;
  uint8_t size_code;
};

struct StationInfo {
  uint8_t flags;
  ChipDescriptor chips[2];
};

struct FlashGeometry {
  uint32_t total;          // flash bytes, at the top of the 1 MB space
  uint16_t sector;         // bytes
  uint32_t start_address;  // where the data goes
  uint32_t data_length;    // after padding
  uint16_t sector_count;
};

StationInfo decode_station_info(const uint8_t* payload);

// Reads one packet of n payload bytes into dest, or ends the run.
void receive_packet(SerialLink& link, uint8_t code, uint8_t* dest, uint32_t n);

// Prints the station and its flash, checks the run's data against it and
// pads the data to whole sectors (0xFF); ends the run on any fault. The
// data goes to the start address the options give, or else ends at the top
// of the space; data from a file that places its own (data_placed, its
// lowest address data_low_address) goes from the start of that address's
// sector, with 0xFF before it.
FlashGeometry station_geometry(StationRun& run, const StationInfo& info);

}  // namespace travek
