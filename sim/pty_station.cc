#include "pty_station.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "common/protocol.h"
#include "link/termios2_linux.h"
#include "station_series.h"

namespace sim {
namespace {

constexpr Micros kInfinity = std::numeric_limits<Micros>::infinity();
// Paced, the station wakes for time alone at most this often, on a grid all
// stations share: what has arrived meanwhile is taken at once, each byte at
// its own time, so a line at 115200 bit/s does not wake it for every byte
// and costs no line time, and many stations wake together.
constexpr Micros kPaceStepUs = 2000;
// Asleep at most this long, whatever is due.
constexpr Micros kLongestSleepUs = 100000;
// In a series, a station whose session is open looks at the tool's line at
// least this often, on a grid all stations share, to see the session end
// while the tool is quiet.
constexpr Micros kLineLookUs = 10000;

Micros monotonic_us() {
  timespec t{};
  if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Tells what the system refused, and whether it did.
bool refused(bool failed, const std::string& what) {
  if (failed) std::fprintf(stderr, "station-sim: %s: %s\n", what.c_str(), std::strerror(errno));
  return failed;
}

// The tool's reset pulse ends with a purge: a flush of either queue (Wine
// flushes them one at a time).
bool is_purge(uint8_t status) { return (status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0; }

// Answers in time even on a loaded machine when the system allows it; without
// the rights to either it runs as it is.
void raise_priority() {
  sched_param param{};
  param.sched_priority = 20;
  if (sched_setscheduler(0, SCHED_FIFO, &param) == 0) return;
  if (setpriority(PRIO_PROCESS, 0, -15) != 0) return;
}

class PtyStation {
 public:
  // Station number (from 1) of how many.
  PtyStation(const PtyOptions& options, int number);
  bool open_pty();
  bool make_link();
  void remove_link();
  int master() const { return master_; }
  const std::string& slave_path() const { return slave_path_; }
  // Does what is due by now, or was woken for: the tool wrote, purged or
  // closed the port.
  void step(Micros now);
  Micros next_wake() const;
  bool done() const { return done_; }
  bool all_good() const { return all_good_; }

 private:
  bool hold_slave();
  void begin_connection(Micros now);
  bool serve(Micros now);
  bool stalled() const;
  bool hung_up();
  void port_closed(Micros now);
  void report(const Verdict& v);
  void station_changed();
  LineSide tool_side();
  void pulse_seen(Micros now);
  void write_master(const std::vector<uint8_t>& bytes);
  void send_output(Micros now);

  // The tool's bytes seen waiting in the pseudo-terminal, up to a count of
  // all it has written, first seen at a time (they were written by then)
  // with the tool's line as it was set then.
  struct Written {
    uint64_t end;
    Micros seen;
    LineSide side;
  };
  struct Run {
    size_t count;
    Micros start;
    const Written* written;
  };
  void notice_written(Micros now);
  bool take_arrived(Micros now);
  std::vector<Run> arrived_runs(Micros now, size_t most) const;
  void hand_over(const uint8_t* bytes, size_t got, const std::vector<Run>& runs);
  void discard_waiting();

  const PtyOptions& options_;
  const int number_;
  std::string link_path_;
  std::string flash_out_;
  std::string verdict_out_;
  int master_ = -1;
  int held_slave_ = -1;
  std::string slave_path_;
  std::unique_ptr<StationSeries> series_;
  int session_ = 0;                    // the series' session the front last served
  std::vector<Transmission> pending_;  // made for a time still to come
  std::deque<Received> outgoing_;      // as the tool's receiver gets them, due at .ready
  Receiver tool_rx_;
  int sessions_done_ = 0;
  bool all_good_ = true;
  bool done_ = false;
  bool connected_ = false;
  bool under_way_ = false;  // a series whose first session has begun
  Micros stepped_ = 0;
  // A purge after the session's first may be the last thing done before the
  // port is let go: a device server flushes the device when its client has
  // left. Until the tool sends again, the session's verdict is the one from
  // before that purge.
  std::optional<Verdict> closing_verdict_;

  std::deque<Written> written_;
  uint64_t noticed_ = 0;  // the tool's bytes seen so far
  uint64_t taken_ = 0;    // of them, read from the master
  Micros line_free_ = 0;  // the last byte taken has arrived whole
  Receiver station_rx_;
};

PtyStation::PtyStation(const PtyOptions& options, int number)
    : options_(options),
      number_(number),
      link_path_(options.link_path),
      flash_out_(options.flash_out),
      verdict_out_(options.verdict_out) {
  if (options.stations == 1) return;
  const std::string suffix = std::to_string(number);
  if (!link_path_.empty()) link_path_ += suffix;
  if (!flash_out_.empty()) flash_out_ += "." + suffix;
  if (!verdict_out_.empty()) verdict_out_ += "." + suffix;
}

bool PtyStation::open_pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
  const char* name = ptsname(master_);
  if (name == nullptr) return false;
  slave_path_ = name;
  int packet_mode = 1;
  if (ioctl(master_, TIOCPKT, &packet_mode) != 0) return false;
  return hold_slave();
}

bool PtyStation::make_link() {
  const std::string& link = link_path_;
  if (link.empty()) return true;
  if (unlink(link.c_str()) != 0 && errno != ENOENT) return !refused(true, link);
  return !refused(symlink(slave_path_.c_str(), link.c_str()) != 0, link);
}

void PtyStation::remove_link() {
  const std::string& link = link_path_;
  if (!link.empty()) refused(unlink(link.c_str()) != 0, link);
}

// While no tool is connected the station keeps the slave open itself, so the
// master does not report a hang-up; it lets go once a tool has taken over.
// Nothing may echo back before the tool sets its own line, and a device
// server puts back the settings it found (a fresh terminal's canonical mode
// with echo), so the slave is made raw each time.
bool PtyStation::hold_slave() {
  held_slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Still exclusive to a program that ended without releasing it?
  if (refused(held_slave_ < 0, slave_path_)) return false;
  const auto& w = kWaitingLine;
  return !refused(
      !travek::termios2::set_raw(held_slave_, static_cast<uint32_t>(w.rate), w.stop_bits),
      slave_path_);
}

LineSide PtyStation::tool_side() {
  uint32_t rate = 0;
  int stop_bits = 0;
  if (!travek::termios2::query(master_, &rate, &stop_bits)) return kWaitingLine;
  return LineSide{static_cast<double>(rate), stop_bits};
}

void PtyStation::write_master(const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{master_, POLLOUT, 0};
      if (poll(&p, 1, 1000) <= 0) return;  // the tool is not reading: drop
    } else if (!(n < 0 && errno == EINTR)) {
      return;
    }
  }
}

void PtyStation::begin_connection(Micros now) {
  SeriesConfig series{options_.station, options_.arrive_ms, options_.fault_session, 0,
                      sessions_done_ + 1};
  if (options_.sessions > 0) series.sessions = options_.sessions - sessions_done_;
  StationConfig& config = series.station;
  // Paced, the times are a line's: a credit reaches the tool no earlier than
  // its stop bit, and the tool's bytes carry the time they were first seen
  // written, never before the tool decided on them. So the credit rule holds
  // as on a line, strictly. Unpaced, the bytes carry only the time they
  // were read.
  config.line_timing = options_.paced;
  series_ = std::make_unique<StationSeries>(series, now);
  session_ = series_->session();
  // Held in reset until the tool's pulse lets it go. A pseudo-terminal has no
  // RTS line: the station sees the pulse only by the purge that ends it, so a
  // start byte of its own from before could reach a tool that has purged
  // already and is waiting, and be taken for the answer to that pulse.
  series_->set_reset(true, now);
  connected_ = false;
  under_way_ = false;
  pending_.clear();
  outgoing_.clear();
  written_.clear();
  noticed_ = taken_ = 0;
  line_free_ = 0;
  station_rx_.reset();
  tool_rx_.reset();
}

// Another station of the series: what the tool wrote that is still waiting
// was not for it, and what the one before was still to send is gone with it.
void PtyStation::station_changed() {
  session_ = series_->session();
  pending_.clear();
  outgoing_.clear();
  discard_waiting();
  station_rx_.reset();
  tool_rx_.reset();
}

// The tool's reset pulse ends with a purge of both queues. Once a series is
// under way the tool sends no pulse: a purge there only empties its queues.
void PtyStation::pulse_seen(Micros now) {
  if (under_way_) return;
  if (connected_ && !closing_verdict_ && series_->station()) {
    closing_verdict_ = series_->station()->verdict();
  }
  series_->set_reset(true, now);
  series_->set_reset(false, now);
  if (!connected_) {
    connected_ = true;
    if (held_slave_ >= 0) refused(close(held_slave_) != 0, slave_path_);
    held_slave_ = -1;
  }
}

// Pulse-driven, a session is the tool's time with the port; in a series the
// station there when the port closes has a session only if the tool began one.
void PtyStation::port_closed(Micros now) {
  const bool series = options_.arrive_ms >= 0;
  if (!series && closing_verdict_) {
    report(*closing_verdict_);
  } else {
    series_->take_off(now, series);
    for (const Verdict& v : series_->take_verdicts()) report(v);
  }
  closing_verdict_.reset();
}

void PtyStation::report(const Verdict& v) {
  bool complete = v.handshake;
  if (options_.expect != Expect::kResident) complete = v.stream_complete();
  if (options_.expect == Expect::kRestart) complete = complete && v.restart;
  all_good_ = all_good_ && v.clean() && complete;
  std::string json = to_json(v);
  const std::string line = options_.stations == 1
                               ? json
                               : "{\"station\":" + std::to_string(number_) + "," + json.substr(1);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
  if (!verdict_out_.empty()) std::ofstream(verdict_out_, std::ios::app) << json << "\n";
  if (!flash_out_.empty()) {
    std::ofstream flash(flash_out_, std::ios::binary | std::ios::trunc);
    flash.write(reinterpret_cast<const char*>(v.flash.data()),
                static_cast<std::streamsize>(v.flash.size()));
  }
  ++sessions_done_;
  done_ = done_ || (options_.sessions > 0 && sessions_done_ >= options_.sessions);
}

void PtyStation::step(Micros now) {
  stepped_ = now;
  if (!series_) begin_connection(now);
  if (serve(now)) {
    const StationModel* station = series_->station();
    under_way_ = options_.arrive_ms >= 0 && (under_way_ || (station && station->began()));
    for (const Verdict& v : series_->take_verdicts()) report(v);
    if (series_->session() != session_) station_changed();
    return;
  }
  port_closed(now);
  if (done_) return;
  hold_slave();  // told on standard error when it cannot be: the next session is served anyway
  begin_connection(now);
}

// False once the tool has closed the port.
bool PtyStation::serve(Micros now) {
  if (stalled()) {
    if (hung_up()) return false;
  } else {
    notice_written(now);
    if (!take_arrived(now)) return false;
  }
  if (options_.arrive_ms >= 0) series_->pc_line(tool_side(), now);
  series_->run_until(now);
  send_output(now);
  return true;
}

bool PtyStation::stalled() const {
  const StationModel* station = series_->station();
  return station != nullptr && station->stalled();
}

// A resident whose receive path has hung reads nothing more, so the end of
// the tool's bytes does not tell that the tool has closed the port.
bool PtyStation::hung_up() {
  pollfd p{master_, 0, 0};  // a hang-up is reported whatever is asked
  return refused(poll(&p, 1, 0) < 0, slave_path_) || (p.revents & (POLLHUP | POLLERR));
}

Micros PtyStation::next_wake() const {
  if (done_) return kInfinity;
  if (!series_) return 0;
  Micros next = series_->next_event();
  const StationModel* station = series_->station();
  if (options_.arrive_ms >= 0 && station && station->began() && !station->session_end()) {
    next = std::min(next, (std::floor(stepped_ / kLineLookUs) + 1) * kLineLookUs);
  }
  if (!pending_.empty()) next = std::min(next, pending_.front().start);
  if (!options_.paced) return next;
  if (!outgoing_.empty()) next = std::min(next, outgoing_.front().ready);
  if (!written_.empty() && !stalled()) {
    const Written& w = written_.front();
    next = std::min(next, std::max(line_free_, w.seen) + frame_time(w.side));
  }
  return std::ceil(std::max(next, stepped_ + kPaceStepUs) / kPaceStepUs) * kPaceStepUs;
}

// What the station sends by now, as the tool's receiver at its current rate
// gets it. Paced, each byte is written to the master when the tool's receiver
// would have it: its last bit has left at the tool's rate. Unpaced, each
// transmission is written once it has begun: nothing paces them.
void PtyStation::send_output(Micros now) {
  for (Transmission& tx : series_->take_output()) pending_.push_back(std::move(tx));
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Transmission& a, const Transmission& b) { return a.start < b.start; });
  size_t begun = 0;
  while (begun < pending_.size() && pending_[begun].start <= now) ++begun;
  if (begun > 0) {
    std::vector<Received> got;
    tool_rx_.set_side(tool_side());
    for (size_t i = 0; i < begun; ++i) {
      if (!options_.paced) tool_rx_.reset();
      tool_rx_.receive(pending_[i], &got);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(begun));
    outgoing_.insert(outgoing_.end(), got.begin(), got.end());
  }
  std::vector<uint8_t> bytes;
  for (; !outgoing_.empty() && (!options_.paced || outgoing_.front().ready <= now);
       outgoing_.pop_front()) {
    bytes.push_back(outgoing_.front().value);
  }
  if (!bytes.empty()) write_master(bytes);
}

// The watch tells of each write of the tool, so the station learns when
// bytes were written while earlier ones still wait to be taken at the line's
// pace. Bytes the tool wrote since the last look were there by now, at the
// line settings of now.
void PtyStation::notice_written(Micros now) {
  int queued = 0;
  if (ioctl(master_, TIOCINQ, &queued) != 0 || queued <= 0) return;
  const uint64_t total = taken_ + static_cast<uint64_t>(queued);
  if (total <= noticed_) return;
  written_.push_back({total, now, tool_side()});
  noticed_ = total;
}

// A real port's purge drops what its driver has not sent yet; here the tool's
// bytes still waiting in the pseudo-terminal.
void PtyStation::discard_waiting() {
  uint8_t buffer[4097];
  int queued = 0;
  while (ioctl(master_, TIOCINQ, &queued) == 0 && queued > 0) {
    const size_t ask = std::min(sizeof(buffer), static_cast<size_t>(queued) + 1);
    const ssize_t n = read(master_, buffer, ask);
    if (n <= 1 || buffer[0] != TIOCPKT_DATA) break;
    taken_ += static_cast<uint64_t>(n - 1);
  }
  written_.clear();
  noticed_ = taken_;
}

// The tool's bytes whose last bit has arrived by now, at most so many: each
// write's run back to back on the line from when it was seen or the line was
// free. Unpaced, every byte seen has arrived.
std::vector<PtyStation::Run> PtyStation::arrived_runs(Micros now, size_t most) const {
  std::vector<Run> runs;
  Micros free = line_free_;
  uint64_t at = taken_;
  for (const Written& w : written_) {
    const Micros start = std::max(free, w.seen);
    const Micros frame = frame_time(w.side);
    const uint64_t left = w.end - at;
    uint64_t count = now > start ? static_cast<uint64_t>((now - start) / frame) : 0;
    if (!options_.paced) count = left;
    count = std::min<uint64_t>({count, left, most});
    if (count == 0) break;
    runs.push_back({static_cast<size_t>(count), start, &w});
    most -= count;
    at += count;
    free = start + static_cast<double>(count) * frame;
    if (count < left) break;
  }
  return runs;
}

// Hands the bytes read to the station as its receiver gets them on the line;
// unpaced, all at once: nothing paces them through a pseudo-terminal.
void PtyStation::hand_over(const uint8_t* bytes, size_t got, const std::vector<Run>& runs) {
  size_t offset = 0;
  std::vector<Received> received;
  for (const Run& run : runs) {
    const size_t count = std::min(run.count, got - offset);
    if (count == 0) break;
    received.clear();
    if (!options_.paced) station_rx_.reset();
    station_rx_.set_side(series_->rx_side());
    station_rx_.receive(
        burst({bytes + offset, bytes + offset + count}, run.start, run.written->side), &received);
    for (Received& r : received) {
      r.sent = run.written->seen;  // when the tool had decided on it, at the latest
      if (!options_.paced) r.ready = r.sent;
      series_->run_until(r.ready);
      series_->receive(r);
    }
    offset += count;
    line_free_ = run.start + static_cast<double>(count) * frame_time(run.written->side);
  }
}

// Reads the tool's bytes that have arrived by now and hands them to the
// station; unpaced, everything seen, or up to the stall. A packet-mode status
// (the purge that ends a reset pulse) is read first, alone. False once the
// tool has closed the port and everything it wrote has been taken.
bool PtyStation::take_arrived(Micros now) {
  uint8_t buffer[4097];
  for (;;) {
    const std::vector<Run> runs = arrived_runs(now, sizeof(buffer) - 1);
    size_t due = 0;
    for (const Run& run : runs) due += run.count;
    // One more for the packet header; with nothing due, that reads a status
    // if there is one and leaves the data alone.
    const ssize_t n = read(master_, buffer, due + 1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return !(errno == EIO && connected_);
    if (n == 0) return true;
    if (buffer[0] != TIOCPKT_DATA) {
      if (is_purge(buffer[0])) {
        discard_waiting();
        pulse_seen(now);
      }
      continue;
    }
    const size_t got = static_cast<size_t>(n - 1);
    hand_over(buffer + 1, got, runs);
    taken_ += got;
    if (got > 0) closing_verdict_.reset();
    while (!written_.empty() && written_.front().end <= taken_) written_.pop_front();
    if (got < due) {  // fewer than were there: count afresh
      written_.clear();
      noticed_ = taken_;
    }
    if (options_.paced || written_.empty() || stalled()) return true;
  }
}

// Opens every station's pseudo-terminal and link, and puts its master under
// the one watch: edge-triggered, one event per write, purge or hang-up of the
// tool, so a paced station learns when bytes were written while earlier
// ones still wait to be taken.
int open_stations(const PtyOptions& options, int watch,
                  std::vector<std::unique_ptr<PtyStation>>* stations) {
  if (refused(watch < 0, "cannot watch the pseudo-terminal")) return 2;
  for (int k = 1; k <= options.stations; ++k) {
    auto station = std::make_unique<PtyStation>(options, k);
    if (refused(!station->open_pty(), "cannot create a pseudo-terminal")) return 2;
    if (!station->make_link()) return 2;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLPRI | EPOLLET;
    event.data.u32 = static_cast<uint32_t>(k - 1);
    if (refused(epoll_ctl(watch, EPOLL_CTL_ADD, station->master(), &event) != 0,
                "cannot watch the pseudo-terminal")) {
      return 2;
    }
    stations->push_back(std::move(station));
  }
  return 0;
}

}  // namespace

// One loop serves every station: each is stepped when the tool did something
// on its line or when something of its own is due, and the loop sleeps until
// the earliest of those.
int run_pty_station(const PtyOptions& options) {
  std::vector<std::unique_ptr<PtyStation>> stations;
  const int watch = epoll_create1(EPOLL_CLOEXEC);
  if (const int failed = open_stations(options, watch, &stations)) return failed;
  raise_priority();
  const Micros epoch = monotonic_us();
  for (const auto& station : stations) std::printf("%s\n", station->slave_path().c_str());
  std::fflush(stdout);
  std::vector<epoll_event> events(stations.size());
  std::vector<bool> woken(stations.size(), true);
  for (;;) {
    const Micros now = monotonic_us() - epoch;
    Micros wake = kInfinity;
    bool all_done = true;
    for (size_t k = 0; k < stations.size(); ++k) {
      PtyStation& station = *stations[k];
      if (!station.done() && (woken[k] || now >= station.next_wake())) station.step(now);
      wake = std::min(wake, station.next_wake());
      all_done = all_done && station.done();
      woken[k] = false;
    }
    if (all_done) break;
    const Micros wait = std::clamp(wake - (monotonic_us() - epoch), 0.0, kLongestSleepUs);
    const timespec timeout{0, static_cast<long>(wait * 1000)};
    pollfd p{watch, POLLIN, 0};
    if (refused(ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR, "poll")) return 2;
    const int n = (p.revents & POLLIN)
                      ? epoll_wait(watch, events.data(), static_cast<int>(events.size()), 0)
                      : 0;
    for (int i = 0; i < n; ++i) woken[events[static_cast<size_t>(i)].data.u32] = true;
  }
  bool all_good = true;
  for (const auto& station : stations) {
    station->remove_link();
    all_good = all_good && station->all_good();
  }
  return all_good ? 0 : 1;
}

}  // namespace sim
