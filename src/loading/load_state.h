// The counters of one load, shared by the page stream, the report handling
// and the load procedure.
#pragma once

#include <cstdint>

namespace travek {

struct LoadState {
  uint32_t credit;       // bytes the PC may still send
  uint32_t outstanding;  // image bytes queued whose sectors are not reported yet
  uint32_t progress;     // 100 per reported sector
  uint16_t last_percent;
  uint16_t sector_bytes;
  uint16_t sector_count;
  bool light_red;       // the '%' was last drawn in red
  bool warning;         // some sector was reported with a warning
  uint32_t warnings;    // sectors reported with a warning
  uint32_t light_time;  // now_ms() of the last redraw of the '%'

  // The page stream.
  uint32_t batched;    // bytes of records in the batch not yet written
  uint16_t page_word;  // page number, bit 15 the fill flag
  const uint8_t* source;
  uint32_t remaining;
};

extern LoadState load_state;

}  // namespace travek
