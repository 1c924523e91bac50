// The counters of one load, shared by the page stream, the report handling
// and the load procedure: the load procedure makes them, for one station.
#pragma once

#include <cstdint>

namespace travek {

struct LoadState {
  uint32_t credit = 0;       // bytes the PC may still send
  uint32_t outstanding = 0;  // image bytes queued whose sectors are not reported yet
  uint32_t progress = 0;     // 100 per reported sector
  uint16_t last_percent = 0;
  uint16_t sector_bytes = 0;
  uint16_t sector_count = 0;
  bool light_red = false;   // the '%' was last drawn in red
  bool warning = false;     // some sector was reported with a warning
  uint32_t warnings = 0;    // sectors reported with a warning
  uint32_t light_time = 0;  // now_ms() of the last redraw of the '%'

  // The page stream.
  uint32_t batched = 0;    // bytes of records in the batch not yet written
  uint16_t page_word = 0;  // page number, bit 15 the fill flag
  const uint8_t* source = nullptr;
  uint32_t remaining = 0;
};

}  // namespace travek
