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
  int sessions = 1;
  Expect expect = Expect::kLoad;
  // Once the stream has brought so many bytes, the station stops reading the
  // line but goes on granting credit (a receive path that has hung).
  long stall_after = -1;
  bool paced = false;  // read and write at the line's pace
};

// Serves the sessions; 0 when every one was clean and complete.
int run_pty_station(const PtyOptions& options);

}  // namespace sim
