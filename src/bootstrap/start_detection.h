// Waiting for the station's start byte. The PC listens at 9600 bit/s
// whatever the station's crystal; the pattern of bits that arrives tells the
// clock class. A start byte is a byte that arrives alone: the only byte of a
// read that waited up to 100 ms, followed by at least 5 ms of silence, with
// no framing or break error seen after it.
#pragma once

#include "bootstrap/clock_class.h"
#include "link/serial_link.h"
#include "run/station_run.h"

namespace travek {

// Returns the class of a recognised start byte; Esc ends the run.
ClockClass wait_for_start(StationRun& run);

// One turn of the wait, showing ch as the spinner. False when a lone start
// byte lies at the start of the link buffer. A line error starts the wait
// afresh: with a reset pulse, or else by clearing the line alone.
bool spinner_step(SerialLink& link, char ch, bool pulse);

}  // namespace travek
