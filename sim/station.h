// The far end of the virtual line, as the line sees it: it is reset and
// released through RTS, hears the PC's bytes as its receiver decodes them,
// has events of its own in time, and puts transmissions on the line.
#pragma once

#include <vector>

#include "line_model.h"

namespace sim {

class Station {
 public:
  virtual ~Station() = default;

  // RTS: held in reset while high.
  virtual void set_reset(bool held, Micros t) = 0;
  // One byte as the station's receiver got it, at r.ready.
  virtual void receive(const Received& r) = 0;
  // The next internal event, or +infinity.
  virtual Micros next_event() const = 0;
  virtual void run_until(Micros t) = 0;
  // How the station's receiver is set.
  virtual LineSide rx_side() const = 0;
  // What the station has put on the line since the last call.
  virtual std::vector<Transmission> take_output() = 0;
  // The PC's line settings changed at t (a real station cannot know them);
  // t < 0: at a time the caller does not know, taken as the station's latest.
  virtual void pc_line(const LineSide&, Micros /*t*/ = -1) {}
};

}  // namespace sim
