// The resident's report bytes while the image streams, the percentage and
// the status light. Report bytes: 0x0F a sector is done, 0x55 816 more bytes
// of credit, 0xF0 a sector is done with a warning, 0xFF writing a sector
// failed; anything else is a broken report.
#pragma once

#include "loading/load_state.h"
#include "run/station_run.h"

namespace travek {

// Waits up to 100 ms for report bytes and acts on each, in order.
void handle_reports(StationRun& run, LoadState& load);

// Redraws the status character, flipping the light, at most every 90 ms.
void blink_light(LoadState& load, char ch, bool backspace);

}  // namespace travek
