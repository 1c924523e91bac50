// The virtual-time line: the tool's own code talks to a StationModel inside
// one process, under a clock that moves only when the tool waits. A write
// takes its transmission time at the current rate and stop bits; station
// bytes arrive when their last stop bit has been sampled; reads wait in
// virtual time; keys arrive at scripted times; console output is captured
// with the time it was written (and, on a line that plays a terminal, each
// draw of a run of many's view); and the end of the process is caught, so a
// test can check the status and the last message. Everything is
// deterministic.
//
// The adapter between the PC and the line can be modelled: a transmit FIFO
// (a write returns once the bytes still to go fit in it) and a receive
// latency (received bytes are handed up only at the adapter's ticks, or as
// soon as a USB packet's worth has gathered). Faults of the port itself: a
// reader that stalls (the line takes no more bytes) and a port that is lost.
//
// One VirtualLine at a time: while it exists, the link and console back ends
// of this build (port_virtual.cc, console_virtual.cc) act on it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <queue>
#include <string>
#include <utility>
#include <vector>

#include "children_virtual.h"
#include "line_model.h"
#include "station.h"
#include "station_model.h"

namespace sim {

// What sits between the PC and the line.
struct Adapter {
  const char* name;
  size_t tx_fifo;     // bytes the adapter holds while they go out
  double latency_ms;  // received bytes are handed up at these ticks (0: at once)
};

// A port whose write returns only when the bytes are out, and that hands
// every byte up as it arrives.
inline constexpr Adapter kIdealPort{"ideal", 0, 0};
inline constexpr Adapter kNativeUart{"native UART", 16, 0};
inline constexpr Adapter kFtdi16ms{"FTDI, 16 ms", 256, 16};
inline constexpr Adapter kFtdi1ms{"FTDI, 1 ms", 256, 1};
inline constexpr Adapter kCp210x{"CP210x", 640, 1};
inline constexpr Adapter kCh340{"CH340", 32, 2};
inline constexpr Adapter kAdapters[] = {kNativeUart, kFtdi16ms, kFtdi1ms, kCp210x, kCh340};

// A USB adapter hands received bytes up at once when a packet fills.
inline constexpr size_t kAdapterPacket = 62;

struct VirtualOptions {
  Adapter adapter = kIdealPort;
  bool port_missing = false;
  bool port_refuses_settings = false;
  long stall_after_bytes = -1;    // the line takes no more once the PC wrote so many
  double lose_port_at_ms = -1;    // the device goes away at this time
  double port_back_at_ms = -1;    // and can be opened again from this time (< 0: never)
  double input_ends_at_ms = -1;   // standard input is closed then (a line's parent gone)
  size_t input_queue = 1632;      // the driver's receive queue
  bool keyboard = false;          // keys typed on a keyboard, not a script
  bool terminal = false;          // standard output is a terminal: a run of many draws its view
  double time_limit_ms = 3600e3;  // a run that waits longer has gone astray
};

struct ConsoleWrite {
  double at_ms;
  std::string text;
};

// One draw of the view of a run of many: its lines as drawn, uncut, each
// red part between the markers {red} and {normal}.
struct ViewDraw {
  double at_ms;
  std::vector<std::string> lines;
};

struct PcWrite {
  double at_ms;    // when the write began
  double done_ms;  // when it returned
  std::vector<uint8_t> bytes;
  LineSide side;
  bool priority;  // sent ahead of the queue (TransmitCommChar)
};

// Thrown where a process ended from outside at once (a termination request
// not held) would end.
struct ProcessEnded {
  int status;
};

class VirtualLine {
 public:
  explicit VirtualLine(StationConfig station = {}, VirtualOptions options = {});
  // Any other far end: the station model's own accessors are then not there.
  VirtualLine(std::unique_ptr<Station> station, VirtualOptions options);
  ~VirtualLine();
  VirtualLine(const VirtualLine&) = delete;
  VirtualLine& operator=(const VirtualLine&) = delete;

  static VirtualLine& current();

  // Runs the tool's entry with these arguments; returns the exit status.
  int run_tool(const std::vector<std::string>& args);
  // Runs any part of the tool; the status if it ended the process or its
  // station's run.
  std::optional<int> run(const std::function<void()>& body);

  void press(double at_ms, int key);
  // Run when the tool opens the port, before the open succeeds or fails.
  void on_port_open(std::function<void()> hook) { open_hook_ = std::move(hook); }
  // A termination request (SIGTERM, SIGHUP) that comes at this time.
  void request_end(double at_ms, const char* signal_name = "SIGTERM");
  VirtualChildren& children() { return children_; }
  const VirtualChildren& children() const { return children_; }
  StationModel& station() { return *model_; }
  // The far end, whatever it is.
  Station& far_end() { return *station_; }
  Verdict verdict() const { return model_->verdict(); }

  double now_ms() const { return now_ / 1000.0; }
  const std::string& output() const { return output_; }
  const std::vector<ConsoleWrite>& console_log() const { return console_log_; }
  const std::string& diagnostics() const { return diagnostics_; }
  const std::vector<ViewDraw>& view_draws() const { return view_draws_; }
  // Event lines, each with its line feed.
  const std::string& events() const { return event_lines_; }
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
  bool purge();
  uint32_t read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms);
  uint32_t read_available(uint8_t* dest, uint32_t max, uint32_t first_ms);
  bool write(const uint8_t* data, uint32_t n, bool priority, uint32_t limit_ms, uint32_t* written);
  bool lost() const;
  uint32_t clock_ms() const;
  void sleep_ms(uint32_t ms);
  void console_write(const std::string& text);
  void diagnostic(const std::string& text) { diagnostics_ += text; }
  void event_line(const std::string& text) { event_lines_ += text + "\n"; }
  void ignore_interrupts() { interrupts_ignored_ = true; }
  bool key_waiting() const;
  int read_key();
  bool input_ended() const;
  void discard_typed_keys();
  void console_setup(void (*release)(), bool text_output);
  bool view_possible() const { return options_.terminal && text_output_; }
  void view_draw(std::vector<std::string> lines) {
    view_draws_.push_back({now_ms(), std::move(lines)});
  }
  void defer_end_requests() { request_.deferred = true; }
  void honour_end_request();
  void end_requests_at_once();
  // Waits up to wait_ms for a child to write or end.
  void wait_for_children(int wait_ms);

 private:
  enum class Kind { kToStation, kStationGets, kToPc, kAdapterGets, kAdapterFlush, kPcGets };
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
  void handle(const Event& e);
  void collect_station_output();
  void hand_up(const Received& r);
  // Waits in virtual time until the input holds n bytes, the deadline
  // passes or the port is lost.
  void wait_for_input(size_t n, Micros deadline);
  uint32_t take(uint8_t* dest, uint32_t max);
  // Waits until t, or until a termination request comes, which is then
  // honoured.
  void wait_until(Micros t);
  bool end_request_due() const;
  [[noreturn]] void end_at_once();

  std::unique_ptr<Station> station_;
  StationModel* model_ = nullptr;  // the same station, when it is the model
  VirtualOptions options_;
  Micros now_ = 0;
  long idle_calls_ = 0;
  std::priority_queue<Event, std::vector<Event>, Later> events_;
  uint64_t seq_ = 0;

  bool port_open_ = false;
  LineSide pc_side_{9600, 1};
  Receiver pc_receiver_;
  Receiver station_receiver_;
  Micros pc_tx_free_ = 0;
  std::deque<uint8_t> input_;
  std::vector<Received> held_;  // in the adapter, not yet handed up
  bool flush_posted_ = false;
  long bytes_written_ = 0;
  uint32_t errors_ = 0;
  int rts_pulses_ = 0;

  std::vector<PcWrite> writes_;
  std::string output_;
  std::vector<ConsoleWrite> console_log_;
  std::string diagnostics_;
  std::string event_lines_;
  std::deque<std::pair<double, int>> keys_;
  bool text_output_ = true;
  std::vector<ViewDraw> view_draws_;
  bool interrupts_ignored_ = false;

  std::function<void()> open_hook_;
  struct EndRequest {
    Micros at = -1;  // < 0: none comes
    const char* signal_name = "SIGTERM";
    bool deferred = false;        // held for the run's own ending
    void (*release)() = nullptr;  // what goes before an end at once
    bool ending = false;
  };
  EndRequest request_;
  VirtualChildren children_;
};

}  // namespace sim
