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
#include "station_model.h"

namespace sim {
namespace {

constexpr Micros kInfinity = std::numeric_limits<Micros>::infinity();
// Paced, the station wakes for time alone at most this often: what has
// arrived meanwhile is taken at once, each byte at its own time, so a line
// at 115200 bit/s does not wake it for every byte and costs no line time.
constexpr Micros kPaceStepUs = 2000;
// Asleep at most this long, whatever is due.
constexpr Micros kLongestSleepUs = 100000;
// A resident whose receive path has hung grants credit this often.
constexpr Micros kStalledCreditUs = 20000;

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
  explicit PtyStation(const PtyOptions& options) : options_(options) {}
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
  void begin_session(Micros now);
  bool serve(Micros now);
  bool stall_due() const;
  bool finish_session();
  LineSide tool_side();
  void pulse_seen(Micros now);
  void write_master(const std::vector<uint8_t>& bytes);
  void send_output(Micros now);
  bool serve_stalled(Micros now);

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
  int master_ = -1;
  int held_slave_ = -1;
  std::string slave_path_;
  std::unique_ptr<StationModel> model_;
  std::vector<Transmission> pending_;  // made for a time still to come
  std::deque<Received> outgoing_;      // as the tool's receiver gets them, due at .ready
  Receiver tool_rx_;
  int sessions_done_ = 0;
  bool all_good_ = true;
  bool done_ = false;
  bool connected_ = false;
  Micros stepped_ = 0;
  Micros stalled_credit_ = -1;  // when a hung receive path grants credit next
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
  const std::string& link = options_.link_path;
  if (link.empty()) return true;
  if (unlink(link.c_str()) != 0 && errno != ENOENT) return !refused(true, link);
  return !refused(symlink(slave_path_.c_str(), link.c_str()) != 0, link);
}

void PtyStation::remove_link() {
  const std::string& link = options_.link_path;
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

void PtyStation::begin_session(Micros now) {
  StationConfig config = options_.station;
  // Paced, the times are a line's: a credit reaches the tool no earlier than
  // its stop bit, and the tool's bytes carry the time they were first seen
  // written, never before the tool decided on them. So the credit rule holds
  // as on a line, strictly. Unpaced, the bytes carry only the time they
  // were read.
  config.line_timing = options_.paced;
  model_ = std::make_unique<StationModel>(config, now);
  // Held in reset until the tool's pulse lets it go. A pseudo-terminal has no
  // RTS line: the station sees the pulse only by the purge that ends it, so a
  // start byte of its own from before could reach a tool that has purged
  // already and is waiting, and be taken for the answer to that pulse.
  model_->set_reset(true, now);
  connected_ = false;
  stalled_credit_ = -1;
  pending_.clear();
  outgoing_.clear();
  written_.clear();
  noticed_ = taken_ = 0;
  line_free_ = 0;
  station_rx_.reset();
  tool_rx_.reset();
}

// The tool's reset pulse ends with a purge of both queues.
void PtyStation::pulse_seen(Micros now) {
  if (connected_ && !closing_verdict_) closing_verdict_ = model_->verdict();
  model_->set_reset(true, now);
  model_->set_reset(false, now);
  if (!connected_) {
    connected_ = true;
    refused(close(held_slave_) != 0, slave_path_);
    held_slave_ = -1;
  }
}

bool PtyStation::finish_session() {
  Verdict v = closing_verdict_ ? *closing_verdict_ : model_->verdict();
  closing_verdict_.reset();
  bool complete = v.handshake;
  if (options_.expect != Expect::kResident) complete = v.stream_complete();
  if (options_.expect == Expect::kRestart) complete = complete && v.restart;
  all_good_ = all_good_ && v.clean() && complete;
  std::string json = to_json(v);
  std::printf("%s\n", json.c_str());
  std::fflush(stdout);
  if (!options_.verdict_out.empty()) {
    std::ofstream(options_.verdict_out, std::ios::app) << json << "\n";
  }
  if (!options_.flash_out.empty()) {
    std::ofstream flash(options_.flash_out, std::ios::binary | std::ios::trunc);
    flash.write(reinterpret_cast<const char*>(v.flash.data()),
                static_cast<std::streamsize>(v.flash.size()));
  }
  ++sessions_done_;
  return options_.sessions > 0 && sessions_done_ >= options_.sessions;
}

void PtyStation::step(Micros now) {
  stepped_ = now;
  if (!model_) begin_session(now);
  if (serve(now)) return;
  // The tool closed the port.
  if (finish_session()) {
    done_ = true;
  } else {
    hold_slave();  // told on standard error when it cannot be: the next session is served anyway
    begin_session(now);
  }
}

// False once the tool has closed the port.
bool PtyStation::serve(Micros now) {
  if (stalled_credit_ >= 0) return serve_stalled(now);
  notice_written(now);
  if (!take_arrived(now)) return false;
  model_->run_until(now);
  send_output(now);
  if (stall_due()) stalled_credit_ = now + kStalledCreditUs;
  return true;
}

bool PtyStation::stall_due() const {
  return options_.stall_after >= 0 && model_->stream_bytes() >= options_.stall_after;
}

// A resident whose receive path has hung: it reads nothing more, but grants
// credit until the tool closes the port.
bool PtyStation::serve_stalled(Micros now) {
  pollfd p{master_, 0, 0};  // a hang-up is reported whatever is asked
  if (refused(poll(&p, 1, 0) < 0, slave_path_) || (p.revents & (POLLHUP | POLLERR))) return false;
  if (now < stalled_credit_) return true;
  write_master({travek::REPORT_CREDIT});
  stalled_credit_ = now + kStalledCreditUs;
  return true;
}

Micros PtyStation::next_wake() const {
  if (done_) return kInfinity;
  if (!model_) return 0;
  if (stalled_credit_ >= 0) return stalled_credit_;
  Micros next = model_->next_event();
  if (!pending_.empty()) next = std::min(next, pending_.front().start);
  if (!options_.paced) return next;
  if (!outgoing_.empty()) next = std::min(next, outgoing_.front().ready);
  if (!written_.empty()) {
    const Written& w = written_.front();
    next = std::min(next, std::max(line_free_, w.seen) + frame_time(w.side));
  }
  return std::max(next, stepped_ + kPaceStepUs);
}

// What the station sends by now, as the tool's receiver at its current rate
// gets it. Paced, each byte is written to the master when the tool's receiver
// would have it: its last bit has left at the tool's rate. Unpaced, each
// transmission is written once it has begun: nothing paces them.
void PtyStation::send_output(Micros now) {
  for (Transmission& tx : model_->take_output()) pending_.push_back(std::move(tx));
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
    station_rx_.set_side(model_->rx_side());
    station_rx_.receive(
        burst({bytes + offset, bytes + offset + count}, run.start, run.written->side), &received);
    for (Received& r : received) {
      r.sent = run.written->seen;  // when the tool had decided on it, at the latest
      if (!options_.paced) r.ready = r.sent;
      model_->run_until(r.ready);
      model_->receive(r);
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
    if (options_.paced || written_.empty() || stall_due()) return true;
  }
}

}  // namespace

int run_pty_station(const PtyOptions& options) {
  PtyStation station(options);
  if (!station.open_pty()) {
    std::fprintf(stderr, "station-sim: cannot create a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 2;
  }
  if (!station.make_link()) return 2;
  // One watch over the master, edge-triggered: one event per write, purge or
  // hang-up of the tool, so a paced station learns when bytes were written
  // while earlier ones still wait to be taken.
  const int watch = epoll_create1(EPOLL_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN | EPOLLPRI | EPOLLET;
  if (watch < 0 || epoll_ctl(watch, EPOLL_CTL_ADD, station.master(), &event) != 0) {
    std::fprintf(stderr, "station-sim: cannot watch the pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 2;
  }
  raise_priority();
  const Micros epoch = monotonic_us();
  std::printf("%s\n", station.slave_path().c_str());
  std::fflush(stdout);
  bool woken = true;
  while (!station.done()) {
    const Micros now = monotonic_us() - epoch;
    if (woken || now >= station.next_wake()) station.step(now);
    const Micros wait =
        std::clamp(station.next_wake() - (monotonic_us() - epoch), 0.0, kLongestSleepUs);
    const timespec timeout{0, static_cast<long>(wait * 1000)};
    pollfd p{watch, POLLIN, 0};
    if (refused(ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR, "poll")) return 2;
    epoll_event events[4];
    woken = (p.revents & POLLIN) && epoll_wait(watch, events, 4, 0) > 0;
  }
  station.remove_link();
  return station.all_good() ? 0 : 1;
}

}  // namespace sim
