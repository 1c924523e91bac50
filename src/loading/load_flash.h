// The default mode: bootstrap the built-in resident, learn the station and
// its flash, stream the image, show the outcome, remind the operator of the
// programming jumper and ask the station to restart.
#pragma once

#include "run/station_run.h"

namespace travek {

// Returns when the load is complete, with or without the restart.
void load_flash(StationRun& run);

}  // namespace travek
