// The page stream: the padded image cut into 64-byte pages, each sent as a
// record with its page number and a CRC; a page that repeats one 16-bit word
// goes as that word alone (the fill flag, bit 15 of the page word). Records
// are packed into batches of at most min(credit, 1632) bytes, each paid for
// with credit the resident returns 816 bytes at a time.
//
// Start record: start page (address / 64, little-endian) and its CRC.
// Record: page word, 64 data bytes or 2 with the fill flag, CRC of both.
#pragma once

#include <cstdint>

#include "loading/load_state.h"
#include "loading/station_info.h"
#include "run/station_run.h"

namespace travek {

// Sends the start record and every page, then waits until every sector is
// reported. Returns the milliseconds from the first page to the last report.
uint32_t stream_image(StationRun& run, LoadState& load, const FlashGeometry& geometry);

}  // namespace travek
