// POSIX serial port: an exclusive, non-blocking descriptor; reads wait with
// poll against a deadline on the monotonic clock; writes drain before they
// return, as a synchronous Windows write does. Rates go through termios2.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/port.h"
#include "link/termios2_linux.h"

namespace travek {
namespace {

struct PortState {
  int fd = -1;
  char name[256] = {};
  bool modem_lines = true;        // false on a pseudo-terminal or a bare bridge
  bool counters = false;          // TIOCGICOUNT available
  serial_icounter_struct seen{};  // counters at the previous error query
};

PortState port;

void report(int err) {
  if (err == EACCES || err == EPERM) {
    con_diagnostic(msg::kDiagNoPermission, port.name, std::strerror(err));
  } else if (err == EBUSY || err == EWOULDBLOCK) {
    con_diagnostic(msg::kDiagHeldByOther, port.name);
  } else {
    con_diagnostic(msg::kDiagReason, port.name, std::strerror(err));
  }
}

// A device without modem-control lines refuses their ioctls this way.
bool no_such_control(int err) { return err == ENOTTY || err == EINVAL; }

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

timespec duration(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Waits for the descriptor until the deadline; false once it has passed.
bool wait_until(short events, int64_t deadline_ns) {
  int64_t left = deadline_ns - monotonic_ns();
  if (left <= 0) return false;
  timespec timeout = duration(left);
  pollfd p{port.fd, events, 0};
  int r = ppoll(&p, 1, &timeout, nullptr);
  if (r > 0 && !(p.revents & events)) {
    // The device has gone (a USB adapter pulled out): the line is as good as
    // silent, so let the wait run out instead of spinning on the error.
    timespec rest = duration(std::max<int64_t>(0, deadline_ns - monotonic_ns()));
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
    return false;
  }
  return r > 0 || (r < 0 && errno == EINTR);
}

// Non-blocking read of what is there; 0 when nothing (or a failure).
uint32_t read_now(uint8_t* dest, uint32_t max) {
  for (;;) {
    ssize_t n = ::read(port.fd, dest, max);
    if (n > 0) return static_cast<uint32_t>(n);
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
}

bool set_modem_line(int line, bool on) {
  if (!port.modem_lines) return true;
  if (ioctl(port.fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  if (no_such_control(errno)) {
    port.modem_lines = false;
    return true;
  }
  report(errno);
  return false;
}

}  // namespace

const char* port_name_for_digit(char digit) {
  static char name[] = "/dev/ttyS0";
  name[sizeof(name) - 2] = static_cast<char>(digit - 1);
  return name;
}

bool port_open(const char* name) {
  port = PortState{};
  std::snprintf(port.name, sizeof(port.name), "%s", name);
  int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    report(errno);
    return false;
  }
  // Exclusive as on Windows: a port held by another program fails here.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    report(errno);
    ::close(fd);
    return false;
  }
  if (ioctl(fd, TIOCEXCL) != 0) {
    if (errno == ENOTTY) {
      con_diagnostic(msg::kDiagNotSerial, port.name);
    } else {
      report(errno);
    }
    ::close(fd);
    return false;
  }
  port.fd = fd;
  port.counters = ioctl(fd, TIOCGICOUNT, &port.seen) == 0;
  return true;
}

bool port_is_open() { return port.fd >= 0; }

void port_close() {
  if (port.fd < 0) return;
  // A pseudo-terminal outlives this descriptor and would stay exclusive,
  // shutting out the next program; a real port forgets it on close anyway.
  ioctl(port.fd, TIOCNXCL);
  ::close(port.fd);
  port.fd = -1;
}

bool port_configure(uint32_t rate, int data_bits, int stop_bits) {
  (void)data_bits;  // always 8: the raw line sets CS8
  if (!termios2::fetch(port.fd)) {
    report(errno);
    return false;
  }
  termios2::make_raw(rate, stop_bits);
  if (!termios2::apply(port.fd)) {
    report(errno);
    return false;
  }
  if (!set_modem_line(TIOCM_DTR, true) || !set_modem_line(TIOCM_RTS, false)) return false;
  // USB bridges hold received bytes back for up to 16 ms unless told not to,
  // which would stall every credit reply. Where the driver has no such
  // setting there is nothing to gain, so its refusal is not a failure.
  serial_struct serial{};
  if (ioctl(port.fd, TIOCGSERIAL, &serial) == 0) {
    serial.flags |= ASYNC_LOW_LATENCY;
    ioctl(port.fd, TIOCSSERIAL, &serial);
  }
  return true;
}

bool port_set_line(uint32_t rate, int stop_bits) {
  termios2::set_rate(rate, stop_bits);
  return termios2::apply(port.fd);
}

bool port_set_rts(bool on) { return set_modem_line(TIOCM_RTS, on); }

bool port_clear_errors(uint32_t* mask) {
  *mask = 0;
  if (!port.counters) return true;
  serial_icounter_struct now{};
  if (ioctl(port.fd, TIOCGICOUNT, &now) != 0) {
    if (no_such_control(errno)) {
      port.counters = false;
      return true;
    }
    report(errno);
    return false;
  }
  if (now.frame != port.seen.frame) *mask |= CE_FRAME;
  if (now.brk != port.seen.brk) *mask |= CE_BREAK;
  if (now.parity != port.seen.parity) *mask |= CE_RXPARITY;
  if (now.overrun != port.seen.overrun) *mask |= CE_OVERRUN;
  if (now.buf_overrun != port.seen.buf_overrun) *mask |= CE_RXOVER;
  port.seen = now;
  return true;
}

bool port_purge() {
  if (tcflush(port.fd, TCIOFLUSH) == 0) return true;
  report(errno);
  return false;
}

uint32_t port_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  int64_t deadline = monotonic_ns() + static_cast<int64_t>(total_ms) * 1000000;
  uint32_t got = 0;
  while (got < n) {
    uint32_t r = read_now(dest + got, n - got);
    got += r;
    if (r > 0) continue;
    // A final look after the deadline: a late wake-up must not lose a reply
    // that is already queued.
    if (!wait_until(POLLIN, deadline)) {
      got += read_now(dest + got, n - got);
      break;
    }
  }
  return got;
}

uint32_t port_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  uint32_t got = read_now(dest, max);
  if (got > 0) return got;
  int64_t deadline = monotonic_ns() + static_cast<int64_t>(first_ms) * 1000000;
  while (got == 0 && wait_until(POLLIN, deadline)) got = read_now(dest, max);
  if (got == 0) got = read_now(dest, max);
  return got;
}

uint32_t port_write(const uint8_t* data, uint32_t n) {
  uint32_t done = 0;
  while (done < n) {
    ssize_t w = ::write(port.fd, data + done, n - done);
    if (w > 0) {
      done += static_cast<uint32_t>(w);
    } else if (w < 0 && errno == EAGAIN) {
      pollfd p{port.fd, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (!(w < 0 && errno == EINTR)) {
      break;
    }
  }
  tcdrain(port.fd);
  return done;
}

void port_send_now(uint8_t byte) {
  while (::write(port.fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

uint32_t port_clock_ms() { return static_cast<uint32_t>(monotonic_ns() / 1000000); }

void port_clock_spin() {}

}  // namespace travek
