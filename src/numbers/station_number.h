// A station's serial number (-n:FILE): the numbers file checked before
// anything is sent, and the number taken and written into the image just
// before the start record, so that the page records' CRCs cover it.
//
// Principles of operation:
//  - The file is checked after the command line and the log, before the
//    port is opened (by a run of many once, before its stations start).
//  - Once the data is padded, every byte of the field must lie inside it;
//    otherwise no number is taken.
//  - A number once taken is the run's for good: the record carries it from
//    that moment, whatever happens next. Numbers may be skipped; none is
//    given twice.
//  - Every fault writes its message and ends the run where it is found;
//    the operating system's reason, or what a command did, goes to
//    standard error.
#pragma once

#include <cstdint>

#include "run/station_run.h"

namespace travek {

// Ends the run unless the numbers file can be read and is sound.
void check_numbers_file(const char* path);

// Takes the station's number and writes it into the run's padded data
// (start_address the station address of its first byte); ends the run on
// any fault. Shows and records the number.
void take_station_number(StationRun& run, uint32_t start_address);

}  // namespace travek
