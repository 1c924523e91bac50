// The serial line as a UART receiver sees it. A transmitter puts levels on
// the line for whole bit times (start bit low, 8 data bits least significant
// first, stop bits high; the line idles high). A receiver at its own rate
// oversamples 16 times a bit: it sees a start edge 1/16 bit late, checks the
// start bit in its middle, samples each data bit mid-bit and checks its stop
// bits. So a byte sent at one rate and received at another comes out
// garbled exactly as on a real line, and a low stop bit is a framing error.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// Simulated time in microseconds.
using Micros = double;

struct LineSide {
  double rate = 9600;  // bit/s
  int stop_bits = 1;
  bool operator==(const LineSide&) const = default;
};

// Levels a transmitter puts on the line, one per bit time from start.
struct Transmission {
  Micros start = 0;
  double bit_us = 0;
  std::vector<uint8_t> levels;  // 0 low, 1 high; the line is high outside
};

struct Received {
  uint8_t value = 0;
  bool framing_error = false;
  bool brk = false;  // every sample of the frame low
  Micros ready = 0;  // the receiver's last stop-bit sample: the byte is there
  Micros sent = 0;   // when the transmission that carried it began
};

Micros frame_time(const LineSide& side);
Transmission frame(uint8_t byte, Micros start, const LineSide& tx);
// A frame whose stop bit is low (a framing error at any matching receiver).
Transmission frame_without_stop(uint8_t byte, Micros start, const LineSide& tx);
// Bytes back to back, as one transmitter sends a buffer.
Transmission burst(const std::vector<uint8_t>& bytes, Micros start, const LineSide& tx);
// The line held low for a number of bit times.
Transmission line_break(Micros start, const LineSide& tx, int bits);

class Receiver {
 public:
  explicit Receiver(LineSide side = {}) : side_(side) {}
  void set_side(const LineSide& side) { side_ = side; }
  const LineSide& side() const { return side_; }
  // Forgets a frame in progress (the line was idle long enough).
  void reset() { busy_until_ = -1e300; }
  // Decodes what this receiver makes of one transmission.
  void receive(const Transmission& tx, std::vector<Received>* out);

 private:
  LineSide side_;
  Micros busy_until_ = -1e300;
};

// Bytes sent back to back at tx, as a receiver at rx gets them (times from 0).
std::vector<Received> pass_burst(const std::vector<uint8_t>& bytes, const LineSide& tx,
                                 const LineSide& rx);

}  // namespace sim
