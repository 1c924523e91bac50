#include "pty_station.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
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
  bool finish_session();

  const PtyOptions& options_;
  int master_ = -1;
  int held_slave_ = -1;
  std::string slave_path_;
  Micros epoch_ = 0;
  std::unique_ptr<StationModel> model_;
  std::vector<Transmission> pending_;  // made for a time still to come
  int sessions_done_ = 0;
  bool all_good_ = true;
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
  std::vector<Received> got =
      pass_burst(std::vector<uint8_t>(bytes, bytes + n), tool_side(), model_->rx_side());
  for (Received& r : got) {
    r.ready = r.sent = now;  // no line timing through a pseudo-terminal
    model_->receive(r);
    model_->run_until(now);
  }
}

bool PtyStation::finish_session() {
  Verdict v = model_->verdict();
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
  config.line_timing = false;
  model_ = std::make_unique<StationModel>(config, monotonic_us() - epoch_);
  // Held in reset until the tool's pulse lets it go. A pseudo-terminal has no
  // RTS line: the station sees the pulse only by the purge that ends it, so a
  // start byte of its own from before could reach a tool that has purged
  // already and is waiting, and be taken for the answer to that pulse.
  model_->set_reset(true, monotonic_us() - epoch_);
  bool connected = false;
  uint8_t buffer[4097];
  pending_.clear();
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
    } else if (n == 1 && (buffer[0] & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE))) {
      // The tool's reset pulse ends with a purge of both queues.
      model_->set_reset(true, now);
      model_->set_reset(false, now);
      if (!connected) {
        connected = true;
        close(held_slave_);
        held_slave_ = -1;
      }
    } else if (n < 0 && errno == EIO) {
      if (connected) return;  // the tool closed the port
      usleep(1000);
    }
    flush_output(now);
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
  raise_priority();
  epoch_ = monotonic_us();
  std::printf("%s\n", slave_path_.c_str());
  std::fflush(stdout);
  for (;;) {
    serve_session();
    if (finish_session()) break;
    hold_slave();
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
