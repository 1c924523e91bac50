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

#include "link/termios2_linux.h"
#include "station_model.h"

namespace sim {
namespace {

Micros monotonic_us() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// Paced, the station wakes for time alone at most this often: what has
// arrived meanwhile is taken at once, each byte at its own time, so a line
// at 115200 bit/s does not wake it for every byte and costs no line time.
constexpr Micros kPaceStepUs = 2000;

// The tool's reset pulse ends with a purge: a flush of either queue (Wine
// flushes them one at a time).
bool is_purge(uint8_t status) { return (status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0; }

// Answers in time even on a loaded machine when the system allows it.
void raise_priority() {
  sched_param param{};
  param.sched_priority = 20;
  if (sched_setscheduler(0, SCHED_FIFO, &param) != 0) setpriority(PRIO_PROCESS, 0, -15);
}

class PtyStation {
 public:
  explicit PtyStation(const PtyOptions& options) : options_(options) {}
  int run();

 private:
  bool open_pty();
  void hold_slave();
  void serve_session();
  void deliver(const uint8_t* bytes, size_t n, Micros now);
  void flush_output(Micros now);
  Micros next_output() const;
  void serve_stalled();
  void write_master(const std::vector<uint8_t>& bytes);
  LineSide tool_side();
  void pulse_seen(Micros now);
  bool finish_session();

  // Paced: the tool's bytes seen waiting in the pseudo-terminal, up to a
  // count of all it has written, first seen at a time (they were written by
  // then) with the tool's line as it was set then.
  struct Written {
    uint64_t end;
    Micros seen;
    LineSide side;
  };
  bool watch_master();
  void serve_paced();
  void notice_written();
  bool take_arrived(Micros now);
  void discard_waiting();
  void send_paced(Micros now);
  Micros next_paced() const;

  const PtyOptions& options_;
  int master_ = -1;
  int held_slave_ = -1;
  std::string slave_path_;
  Micros epoch_ = 0;
  std::unique_ptr<StationModel> model_;
  std::vector<Transmission> pending_;  // made for a time still to come
  int sessions_done_ = 0;
  bool all_good_ = true;
  bool connected_ = false;
  // A purge after the session's first may be the last thing done before the
  // port is let go: a device server flushes the device when its client has
  // left. Until the tool sends again, the session's verdict is the one from
  // before that purge.
  std::optional<Verdict> closing_verdict_;

  int epoll_ = -1;  // the master, edge-triggered: one event per write of the tool
  std::deque<Written> written_;
  uint64_t noticed_ = 0;  // the tool's bytes seen so far
  uint64_t taken_ = 0;    // of them, read from the master
  Micros line_free_ = 0;  // the last byte taken has arrived whole
  Receiver station_rx_;
  Receiver tool_rx_;
  std::deque<Received> outgoing_;  // as the tool's receiver gets them, due at .ready
};

bool PtyStation::open_pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return false;
  const char* name = ptsname(master_);
  if (name == nullptr) return false;
  slave_path_ = name;
  int packet_mode = 1;
  if (ioctl(master_, TIOCPKT, &packet_mode) != 0) return false;
  hold_slave();
  // Nothing may echo back before the tool sets its own line.
  return held_slave_ >= 0 && travek::termios2::set_raw(held_slave_, 9600, 1);
}

// While no tool is connected the station keeps the slave open itself, so the
// master does not report a hang-up; it lets go once a tool has taken over.
void PtyStation::hold_slave() {
  held_slave_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (held_slave_ < 0) {
    // Still exclusive to a program that ended without releasing it.
    std::fprintf(stderr, "station-sim: %s: %s\n", slave_path_.c_str(), std::strerror(errno));
  }
}

LineSide PtyStation::tool_side() {
  uint32_t rate = 9600;
  int stop_bits = 1;
  travek::termios2::query(master_, &rate, &stop_bits);
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

// What the station sends by now, as the tool's receiver at its current rate
// gets it. Each transmission is a write of its own here: nothing paces them.
void PtyStation::flush_output(Micros now) {
  for (Transmission& tx : model_->take_output()) pending_.push_back(std::move(tx));
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Transmission& a, const Transmission& b) { return a.start < b.start; });
  Receiver receiver(tool_side());
  std::vector<Received> got;
  size_t due = 0;
  for (; due < pending_.size() && pending_[due].start <= now; ++due) {
    receiver.reset();
    receiver.receive(pending_[due], &got);
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(due));
  std::vector<uint8_t> bytes;
  for (const Received& r : got) bytes.push_back(r.value);
  if (!bytes.empty()) write_master(bytes);
}

Micros PtyStation::next_output() const {
  return pending_.empty() ? std::numeric_limits<Micros>::infinity() : pending_.front().start;
}

// A resident whose receive path has hung: it reads nothing more, but grants
// credit every 20 ms, until the tool closes the port.
void PtyStation::serve_stalled() {
  const std::vector<uint8_t> credit = {0x55};
  for (;;) {
    pollfd p{master_, 0, 0};  // a hang-up is reported whatever is asked
    if (poll(&p, 1, 20) < 0 && errno != EINTR) return;
    if (p.revents & (POLLHUP | POLLERR)) return;
    write_master(credit);
  }
}

void PtyStation::deliver(const uint8_t* bytes, size_t n, Micros now) {
  closing_verdict_.reset();
  std::vector<Received> got =
      pass_burst(std::vector<uint8_t>(bytes, bytes + n), tool_side(), model_->rx_side());
  for (Received& r : got) {
    r.ready = r.sent = now;  // no line timing through a pseudo-terminal
    model_->receive(r);
    model_->run_until(now);
  }
}

// The tool's reset pulse ends with a purge of both queues.
void PtyStation::pulse_seen(Micros now) {
  if (connected_ && !closing_verdict_) closing_verdict_ = model_->verdict();
  model_->set_reset(true, now);
  model_->set_reset(false, now);
  if (!connected_) {
    connected_ = true;
    close(held_slave_);
    held_slave_ = -1;
  }
}

bool PtyStation::finish_session() {
  Verdict v = closing_verdict_ ? *closing_verdict_ : model_->verdict();
  closing_verdict_.reset();
  bool complete = false;
  switch (options_.expect) {
    case Expect::kResident:
      complete = v.handshake;
      break;
    case Expect::kLoad:
      complete = v.stream_complete();
      break;
    case Expect::kRestart:
      complete = v.stream_complete() && v.restart;
      break;
  }
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

void PtyStation::serve_session() {
  StationConfig config = options_.station;
  // Paced, the times are a line's: a credit reaches the tool no earlier than
  // its stop bit, and the tool's bytes carry the time they were first seen
  // written, never before the tool decided on them. So the credit rule holds
  // as on a line, strictly. Unpaced, the bytes carry only the time they
  // were read.
  config.line_timing = options_.paced;
  model_ = std::make_unique<StationModel>(config, monotonic_us() - epoch_);
  // Held in reset until the tool's pulse lets it go. A pseudo-terminal has no
  // RTS line: the station sees the pulse only by the purge that ends it, so a
  // start byte of its own from before could reach a tool that has purged
  // already and is waiting, and be taken for the answer to that pulse.
  model_->set_reset(true, monotonic_us() - epoch_);
  connected_ = false;
  pending_.clear();
  if (options_.paced) {
    serve_paced();
    return;
  }
  uint8_t buffer[4097];
  for (;;) {
    Micros now = monotonic_us() - epoch_;
    model_->run_until(now);
    flush_output(now);
    if (options_.stall_after >= 0 && model_->stream_bytes() >= options_.stall_after) {
      serve_stalled();
      return;
    }
    Micros next = std::min(model_->next_event(), next_output());
    Micros wait = std::clamp(next - now, 0.0, 100000.0);
    timespec timeout{0, static_cast<long>(wait * 1000)};
    pollfd p{master_, POLLIN, 0};
    if (ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR) return;
    now = monotonic_us() - epoch_;
    if ((p.revents & (POLLIN | POLLHUP)) == 0) continue;
    ssize_t n = read(master_, buffer, sizeof(buffer));
    if (n > 1 && buffer[0] == TIOCPKT_DATA) {
      deliver(buffer + 1, static_cast<size_t>(n - 1), now);
    } else if (n == 1 && is_purge(buffer[0])) {
      pulse_seen(now);
    } else if (n < 0 && errno == EIO) {
      if (connected_) return;  // the tool closed the port
      usleep(1000);
    }
    flush_output(now);
  }
}

// Paced: an edge-triggered watch tells of each write of the tool, so the
// station learns when bytes were written while earlier ones still wait to be
// taken at the line's pace.
bool PtyStation::watch_master() {
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) return false;
  epoll_event event{};
  event.events = EPOLLIN | EPOLLPRI | EPOLLET;
  event.data.fd = master_;
  return epoll_ctl(epoll_, EPOLL_CTL_ADD, master_, &event) == 0;
}

// Bytes the tool wrote since the last look: they were there by the time read
// after the count, at the line settings of then.
void PtyStation::notice_written() {
  int queued = 0;
  if (ioctl(master_, TIOCINQ, &queued) != 0 || queued <= 0) return;
  const uint64_t total = taken_ + static_cast<uint64_t>(queued);
  if (total <= noticed_) return;
  written_.push_back({total, monotonic_us() - epoch_, tool_side()});
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

// Reads the tool's bytes whose last bit has arrived by now, each written run
// back to back on the line from when it was seen or the line was free, and
// hands them to the station as its receiver gets them. A packet-mode status
// (the purge that ends a reset pulse) is read first, alone. False once the
// tool has closed the port and everything it wrote has been taken.
bool PtyStation::take_arrived(Micros now) {
  struct Run {
    size_t count;
    Micros start;
    const Written* written;
  };
  uint8_t buffer[4097];
  for (;;) {
    std::vector<Run> runs;
    size_t due = 0;
    Micros free = line_free_;
    uint64_t at = taken_;
    for (const Written& w : written_) {
      const Micros start = std::max(free, w.seen);
      const Micros frame = frame_time(w.side);
      const uint64_t left = w.end - at;
      uint64_t count = now > start ? static_cast<uint64_t>((now - start) / frame) : 0;
      count = std::min<uint64_t>({count, left, sizeof(buffer) - 1 - due});
      if (count == 0) break;
      runs.push_back({static_cast<size_t>(count), start, &w});
      due += count;
      at += count;
      free = start + static_cast<double>(count) * frame;
      if (count < left) break;
    }
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
    size_t offset = 0;
    const size_t got = static_cast<size_t>(n - 1);
    std::vector<Received> received;
    for (const Run& run : runs) {
      const size_t count = std::min(run.count, got - offset);
      if (count == 0) break;
      const std::vector<uint8_t> bytes(buffer + 1 + offset, buffer + 1 + offset + count);
      received.clear();
      station_rx_.set_side(model_->rx_side());
      station_rx_.receive(burst(bytes, run.start, run.written->side), &received);
      for (Received& r : received) {
        r.sent = run.written->seen;  // when the tool had decided on it, at the latest
        model_->run_until(r.ready);
        model_->receive(r);
      }
      offset += count;
      line_free_ = run.start + static_cast<double>(count) * frame_time(run.written->side);
    }
    taken_ += got;
    if (got > 0) closing_verdict_.reset();
    while (!written_.empty() && written_.front().end <= taken_) written_.pop_front();
    if (got < due) {  // fewer than were there: count afresh
      written_.clear();
      noticed_ = taken_;
    }
    return true;
  }
}

// What the station sends, each byte written to the master when the tool's
// receiver would have it: its last bit has left at the tool's current rate.
void PtyStation::send_paced(Micros now) {
  for (Transmission& tx : model_->take_output()) pending_.push_back(std::move(tx));
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const Transmission& a, const Transmission& b) { return a.start < b.start; });
  size_t begun = 0;
  while (begun < pending_.size() && pending_[begun].start <= now) ++begun;
  if (begun > 0) {
    std::vector<Received> got;
    tool_rx_.set_side(tool_side());
    for (size_t i = 0; i < begun; ++i) tool_rx_.receive(pending_[i], &got);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(begun));
    outgoing_.insert(outgoing_.end(), got.begin(), got.end());
  }
  std::vector<uint8_t> bytes;
  for (; !outgoing_.empty() && outgoing_.front().ready <= now; outgoing_.pop_front()) {
    bytes.push_back(outgoing_.front().value);
  }
  if (!bytes.empty()) write_master(bytes);
}

Micros PtyStation::next_paced() const {
  Micros next = std::min(model_->next_event(), next_output());
  if (!outgoing_.empty()) next = std::min(next, outgoing_.front().ready);
  if (!written_.empty()) {
    const Written& w = written_.front();
    next = std::min(next, std::max(line_free_, w.seen) + frame_time(w.side));
  }
  return next;
}

void PtyStation::serve_paced() {
  written_.clear();
  outgoing_.clear();
  noticed_ = taken_ = 0;
  line_free_ = 0;
  station_rx_.reset();
  tool_rx_.reset();
  for (;;) {
    const Micros now = monotonic_us() - epoch_;
    notice_written();
    if (!take_arrived(now)) return;  // the tool closed the port
    model_->run_until(now);
    send_paced(now);
    if (options_.stall_after >= 0 && model_->stream_bytes() >= options_.stall_after) {
      serve_stalled();
      return;
    }
    // Asleep until the next thing due, or until the tool writes or purges.
    const Micros wake = std::max(next_paced(), now + kPaceStepUs);
    const Micros wait = std::clamp(wake - (monotonic_us() - epoch_), 0.0, 100000.0);
    const timespec timeout{0, static_cast<long>(wait * 1000)};
    pollfd p{epoll_, POLLIN, 0};
    if (ppoll(&p, 1, &timeout, nullptr) < 0 && errno != EINTR) return;
    if (p.revents & POLLIN) {
      epoll_event events[4];
      epoll_wait(epoll_, events, 4, 0);  // the events only woke it
    }
  }
}

int PtyStation::run() {
  if (!open_pty()) {
    std::fprintf(stderr, "station-sim: cannot create a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 2;
  }
  if (!options_.link_path.empty()) {
    unlink(options_.link_path.c_str());
    if (symlink(slave_path_.c_str(), options_.link_path.c_str()) != 0) {
      std::fprintf(stderr, "station-sim: %s: %s\n", options_.link_path.c_str(),
                   std::strerror(errno));
      return 2;
    }
  }
  if (options_.paced && !watch_master()) {
    std::fprintf(stderr, "station-sim: cannot watch the pseudo-terminal: %s\n",
                 std::strerror(errno));
    return 2;
  }
  raise_priority();
  epoch_ = monotonic_us();
  std::printf("%s\n", slave_path_.c_str());
  std::fflush(stdout);
  for (;;) {
    serve_session();
    if (finish_session()) break;
    hold_slave();
    // A device server puts back the settings it found (a fresh terminal's
    // canonical mode with echo): nothing may echo before the next tool sets
    // its own line.
    if (held_slave_ >= 0) travek::termios2::set_raw(held_slave_, 9600, 1);
  }
  if (!options_.link_path.empty()) unlink(options_.link_path.c_str());
  return all_good_ ? 0 : 1;
}

}  // namespace

int run_pty_station(const PtyOptions& options) {
  PtyStation station(options);
  return station.run();
}

}  // namespace sim
