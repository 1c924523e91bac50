// The port's process of an unattended line (-auto, as each port's child is
// given it, -line): its port open from the first station to the last,
// station after station as boards are placed on the fixture, nobody at the
// keyboard.
//
// Principles of operation:
//  - The port is opened, configured and pulsed once; the input file is read
//    once. The first station is whatever answers.
//  - Each station is a run of its own (run/station_run.h): it waits for its
//    lone start byte without a time limit, is bootstrapped, loaded, given
//    its number and restarted at once, and writes its record, with its
//    ordinal on the port (cycle) and how long the port waited for it.
//  - Between stations, the line goes back to 9600 bit/s, 8N1, its queues
//    emptied up to the restart's end and never after: a new station's start
//    byte is never lost. No pulse and no reopening: a pulse would reset the
//    board still on the fixture, and flash it twice.
//  - A failure ends its station alone. A port that goes away ends its
//    station with the step's own message, and is opened again every second
//    (without a pulse) until it is back.
//  - A start byte within 3 s after a restart was answered is that station
//    back, its jumper still set: told (jumper-set), not flashed, no record.
//  - Esc stops the port while it waits for a station; a station under way
//    finishes first. A termination request ends the station under way
//    (recorded as terminated) and the port.
#pragma once

#include "driver/program.h"

namespace travek {

// Runs the port's stations; the process's own run (the first, opened with
// the command line) records the opening's failure, if there is one.
// Returns the exit code: 0 when every station ended well.
int run_line(Program& p, StationRun& opening);

}  // namespace travek
