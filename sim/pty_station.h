// The station on a pseudo-terminal: the tool opens the slave side as its
// port (-port:PATH). The station learns the tool's rate and stop bits from
// the slave's settings, read through the master, and sees the reset pulse as
// the queue flush that ends it (packet mode), since a pseudo-terminal has no
// RTS line. A device server (ser2net) may stand between: it opens the slave
// when its client connects, and when the client leaves, flushes it and puts
// back the settings it found; that last flush, with nothing from the tool
// after it, is no pulse of the session's. By default it answers in real
// time, as fast as it can: the tool's writes return at once here, so nothing
// is paced at line speed; only what the station is told to do late (an
// answer delay) waits for its time. Paced, it takes the tool's bytes and
// sends its own no faster than a line at the tool's rate and framing would
// carry them, so a run takes a line's time.
//
// A series of stations (arrive_ms) is served on one open port: each session
// ends when the tool sets its line back to the waiting line (see
// station_series.h), which the station sees by looking at the slave's
// settings at each step and every 10 ms while a session is open; the next
// station arrives without a pulse. Once the first session has begun, a purge
// of the tool's queues is no pulse: the tool sends none in a series. Several stations (stations)
// are served by one loop, each on its own pseudo-terminal.
#pragma once

#include <string>

#include "station_config.h"

namespace sim {

enum class Expect { kResident, kLoad, kRestart };

struct PtyOptions {
  StationConfig station;
  std::string link_path;    // a symlink to the slave, if wanted
  std::string flash_out;    // the flash contents after each session
  std::string verdict_out;  // the JSON verdicts, one line a session
  int sessions = 1;         // of each station
  Expect expect = Expect::kLoad;
  bool paced = false;     // read and write at the line's pace
  double arrive_ms = -1;  // a series: the next station's start byte this long after a session
  int fault_session = 0;  // the faults only in this session of each station (1-based)
  // Each on its own pseudo-terminal; with several, station K's link is
  // link_path + K, its flash and verdict files flash_out.K and verdict_out.K.
  int stations = 1;
};

// Serves the sessions of every station; 0 when every one was clean and
// complete.
int run_pty_station(const PtyOptions& options);

}  // namespace sim
