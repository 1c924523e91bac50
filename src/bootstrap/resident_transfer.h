// The bootstrap: validate the image, wait for the start byte, fill in the
// divisor, send the body at the boot rate with every byte echoed, move to
// the operating rate and confirm with the 'U' handshake that the resident
// runs. Only the body is sent; header and CRC never leave the PC.
#pragma once

#include <cstdint>

#include "link/serial_link.h"
#include "run/station_run.h"

namespace travek {

// Returns once the resident has answered; every failure ends the run.
void send_resident(StationRun& run, uint8_t* image);

// Sends count bytes in chunks of at most LINK_BLOCK and requires each chunk
// back unchanged within 120 ms.
void send_echoed(SerialLink& link, const uint8_t* data, uint32_t count);

}  // namespace travek
