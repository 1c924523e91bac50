// The virtual-time line: the tool's own code talks to a StationModel inside
// one process, under a clock that moves only when the tool waits. A write
// takes its transmission time at the current rate and stop bits; station
// bytes arrive when their last stop bit has been sampled (later, with an
// adapter latency); reads wait in virtual time; keys arrive at scripted
// times; console output is captured with the time it was written; and the
// end of the process is caught, so a test can check the status and the
// last message. Everything is deterministic.
//
// One VirtualLine at a time: while it exists, the link and console back ends
// of this build (port_virtual.cc, console_virtual.cc) act on it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <queue>
#include <string>
#include <vector>

#include "line_model.h"
#include "station_model.h"

namespace sim {

struct VirtualOptions {
  double adapter_latency_ms = 0;  // station bytes held back up to this long
  // A latency of several ms misses the 5 ms handshake (why the tool asks the
  // driver for low latency); this keeps it off everything before the page
  // stream, to see what it does to the stream alone.
  bool latency_spares_bootstrap = false;
  bool port_missing = false;
  bool port_refuses_settings = false;
  size_t input_queue = 1632;      // the driver's receive queue
  double time_limit_ms = 3600e3;  // a run that waits longer has gone astray
};

struct ConsoleWrite {
  double at_ms;
  std::string text;
};

struct PcWrite {
  double at_ms;    // when the write began
  double done_ms;  // when it returned
  std::vector<uint8_t> bytes;
  LineSide side;
  bool priority;  // sent ahead of the queue (TransmitCommChar)
};

// Thrown where the process would end.
struct ProcessEnded {
  int status;
};

class VirtualLine {
 public:
  explicit VirtualLine(StationConfig station = {}, VirtualOptions options = {});
  ~VirtualLine();
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  static VirtualLine& current();

  // Runs the tool's entry with these arguments; returns the exit status.
  int run_tool(const std::vector<std::string>& args);
  // Runs any part of the tool; the status if it ended the process.
  std::optional<int> run(const std::function<void()>& body);

  void press(double at_ms, int key);
  StationModel& station() { return station_; }
  Verdict verdict() const { return station_.verdict(); }

  double now_ms() const { return now_ / 1000.0; }
  const std::string& output() const { return output_; }
  const std::vector<ConsoleWrite>& console_log() const { return console_log_; }
  const std::string& diagnostics() const { return diagnostics_; }
  const std::vector<PcWrite>& writes() const { return writes_; }
  LineSide pc_side() const { return pc_side_; }
  bool port_open() const { return port_open_; }
  bool interrupts_ignored() const { return interrupts_ignored_; }
  int rts_pulses() const { return rts_pulses_; }

  // Back-end entry points.
  bool open(const char* name);
  void close() { port_open_ = false; }
  bool configure(uint32_t rate, int stop_bits);
  void set_line(uint32_t rate, int stop_bits);
  void set_rts(bool on);
  uint32_t take_errors();
  void purge();
  uint32_t read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms);
  uint32_t read_available(uint8_t* dest, uint32_t max, uint32_t first_ms);
  uint32_t write(const uint8_t* data, uint32_t n, bool priority);
  uint32_t clock_ms() const;
  void spin();
  void console_write(const std::string& text);
  void diagnostic(const std::string& text) { diagnostics_ += text; }
  void ignore_interrupts() { interrupts_ignored_ = true; }
  bool key_waiting() const;
  int read_key();

 private:
  enum class Kind { kToStation, kStationGets, kToPc, kPcGets };
  struct Event {
    Micros at;
    uint64_t seq;
    Kind kind;
    Transmission tx;
    Received rx;
  };
  struct Later {
    bool operator()(const Event& a, const Event& b) const {
      return a.at > b.at || (a.at == b.at && a.seq > b.seq);
    }
  };

  void post(Micros at, Kind kind, Transmission tx = {}, Received rx = {});
  Micros next_event_time() const;
  void advance_to(Micros t);
  void collect_station_output();
  uint32_t take(uint8_t* dest, uint32_t max);

  StationModel station_;
  VirtualOptions options_;
  Micros now_ = 0;
  std::priority_queue<Event, std::vector<Event>, Later> events_;
  uint64_t seq_ = 0;

  bool port_open_ = false;
  LineSide pc_side_{9600, 1};
  Receiver pc_receiver_;
  Receiver station_receiver_;
  Micros pc_tx_free_ = 0;
  std::deque<uint8_t> input_;
  uint32_t errors_ = 0;
  int rts_pulses_ = 0;

  std::vector<PcWrite> writes_;
  std::string output_;
  std::vector<ConsoleWrite> console_log_;
  std::string diagnostics_;
  std::deque<std::pair<double, int>> keys_;
  bool interrupts_ignored_ = false;
};

}  // namespace sim
