// POSIX serial port: an exclusive, non-blocking descriptor; reads and writes
// wait with poll against a deadline on the monotonic clock; writes drain
// before they return, as a synchronous Windows write does, but never past
// their deadline. A hang-up or a failing device marks the port lost at once,
// so no wait ever spins on it. Rates go through termios2.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/constants.h"
#include "common/messages.h"
#include "console/console.h"
#include "link/deadline_posix.h"
#include "link/port.h"
#include "link/port_interface.h"
#include "link/serial_ports.h"
#include "link/termios2_linux.h"

namespace travek {
namespace {

// The longest a read of a known length lets its reply gather between looks.
constexpr int64_t kGatherNs = 10000000;

struct PortState {
  int fd = -1;
  char name[256] = {};
  bool modem_lines = true;        // false on a pseudo-terminal or a bare bridge
  bool counters = false;          // TIOCGICOUNT available
  serial_icounter_struct seen{};  // counters at the previous error query
  int64_t frame_ns = 0;           // one byte on the line as it is set
  bool lost = false;              // hung up or failing: nothing more is tried
};

PortState port;

void report(int err) {
  if (err == EACCES || err == EPERM) {
    con_diagnostic(msg::kDiagNoPermission, port.name, std::strerror(err));
  } else if (err == EBUSY || err == EWOULDBLOCK) {
    con_diagnostic(msg::kDiagHeldByOther, port.name);
  } else if (err != ENOENT) {
    con_diagnostic(msg::kDiagReason, port.name, std::strerror(err));
  } else {
    // No such port: name the ones there are.
    char ports[512];
    list_serial_ports(ports, sizeof(ports));
    if (ports[0] != '\0') {
      con_diagnostic(msg::kDiagNoSuchPort, port.name, std::strerror(err), ports);
    } else {
      con_diagnostic(msg::kDiagNoPortsHere, port.name, std::strerror(err));
    }
  }
}

// An OS failure on the open port: a device that has gone is lost quietly
// (the link tells of it once); anything else is reported as it comes.
void fail(int err) {
  if (err == EIO || err == ENXIO || err == ENODEV) {
    port.lost = true;
  } else {
    report(err);
  }
}

// Waits for the descriptor until the deadline; false once it has passed or
// the port is lost. A hang-up without the wanted event loses the port.
bool wait_until(short events, int64_t deadline_ns) {
  if (port.lost) return false;
  const int64_t left = deadline_ns - monotonic_ns();
  if (left <= 0) return false;
  const int r = poll_fd(port.fd, events, left);
  if (r == kPollHungUp) port.lost = true;
  return r > 0;
}

// True while there may be something to read: the caller reads and, with
// nothing there, looks again. The look allows for a held-up machine
// (link/deadline_posix.h).
bool watch(Watch* w) {
  if (port.lost) return false;
  bool passed = false;
  const int r = watch_fd(port.fd, w, &passed);
  if (r == kPollHungUp) port.lost = true;
  return !passed && r >= 0;
}

// Non-blocking read of what is there; 0 when nothing (or a failure). A read
// of nothing without EAGAIN is a hang-up.
uint32_t read_now(uint8_t* dest, uint32_t max) {
  while (!port.lost) {
    const ssize_t n = ::read(port.fd, dest, max);
    if (n > 0) return static_cast<uint32_t>(n);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) port.lost = true;
    break;
  }
  return 0;
}

// Waits until the driver has sent what it holds, or the deadline passes.
bool drain_until(int64_t deadline_ns) {
  for (;;) {
    int queued = 0;
    if (ioctl(port.fd, TIOCOUTQ, &queued) != 0) {
      fail(errno);
      return false;
    }
    if (queued <= 0) break;
    const int64_t now = monotonic_ns();
    if (now >= deadline_ns) return false;
    // Sleep about as long as the queue takes to go out, and look again.
    sleep_until(std::min(deadline_ns, now + std::max<int64_t>(1000000, queued * port.frame_ns)));
  }
  // What is left sits in the transmitter itself: a few bytes at most.
  while (tcdrain(port.fd) != 0) {
    if (errno != EINTR) {
      fail(errno);
      return false;
    }
    con_honour_end_request();
  }
  return true;
}

bool write_until(const uint8_t* data, uint32_t n, int64_t deadline_ns, uint32_t* written) {
  *written = 0;
  while (*written < n && !port.lost) {
    const ssize_t w = ::write(port.fd, data + *written, n - *written);
    if (w > 0) {
      *written += static_cast<uint32_t>(w);
    } else if (w < 0 && errno == EAGAIN) {
      if (!wait_until(POLLOUT, deadline_ns)) return false;
    } else if (w < 0 && errno == EINTR) {
      con_honour_end_request();
    } else {
      fail(w < 0 ? errno : EIO);
      return false;
    }
  }
  return *written == n;
}

bool set_modem_line(int line, bool on) {
  if (!port.modem_lines) return true;
  if (port.lost) return false;
  if (ioctl(port.fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
  if (errno == ENOTTY) {  // this device has no modem-control lines
    port.modem_lines = false;
    return true;
  }
  fail(errno);
  return false;
}

void set_frame_time(uint32_t rate, int stop_bits) {
  port.frame_ns = static_cast<int64_t>(9 + stop_bits) * 1000000000 / std::max<uint32_t>(rate, 1);
}

bool device_open(const char* name) {
  port = PortState{};
  std::snprintf(port.name, sizeof(port.name), "%s", name);
  const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  // Exclusive as on Windows: a port held by another program fails here.
  if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
    if (errno == ENOTTY) {
      con_diagnostic(msg::kDiagNotSerial, port.name);
    } else {
      report(errno);
    }
    if (fd >= 0) ::close(fd);
    return false;
  }
  port.fd = fd;
  port.counters = ioctl(fd, TIOCGICOUNT, &port.seen) == 0;
  return true;
}

bool device_is_open() { return port.fd >= 0; }

void device_close() {
  if (port.fd < 0) return;
  // A pseudo-terminal outlives this descriptor and would stay exclusive,
  // shutting out the next program; a real port forgets it on close anyway.
  ioctl(port.fd, TIOCNXCL);
  ::close(port.fd);
  port.fd = -1;
}

bool device_configure(uint32_t rate, int data_bits, int stop_bits) {
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
  set_frame_time(rate, stop_bits);
  // The first modem-line call tells whether the port has such lines: some
  // drivers refuse them with EINVAL rather than ENOTTY. Later refusals are
  // faults of a port that had them.
  int dtr = TIOCM_DTR;
  if (ioctl(port.fd, TIOCMBIS, &dtr) != 0) {
    if (errno != ENOTTY && errno != EINVAL) {
      report(errno);
      return false;
    }
    port.modem_lines = false;
  }
  if (!set_modem_line(TIOCM_RTS, false)) return false;
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

bool device_set_line(uint32_t rate, int stop_bits) {
  set_frame_time(rate, stop_bits);
  termios2::set_rate(rate, stop_bits);
  return termios2::apply(port.fd);
}

bool device_set_rts(bool on) { return set_modem_line(TIOCM_RTS, on); }

bool device_clear_errors(uint32_t* mask) {
  *mask = 0;
  if (!port.counters || port.lost) return true;
  serial_icounter_struct now{};
  if (ioctl(port.fd, TIOCGICOUNT, &now) != 0) {
    fail(errno);
    return port.lost;
  }
  if (now.frame != port.seen.frame) *mask |= CE_FRAME;
  if (now.brk != port.seen.brk) *mask |= CE_BREAK;
  if (now.parity != port.seen.parity) *mask |= CE_RXPARITY;
  if (now.overrun != port.seen.overrun) *mask |= CE_OVERRUN;
  if (now.buf_overrun != port.seen.buf_overrun) *mask |= CE_RXOVER;
  port.seen = now;
  return true;
}

bool device_purge() {
  if (port.lost) return false;
  if (tcflush(port.fd, TCIOFLUSH) == 0) return true;
  fail(errno);
  return false;
}

uint32_t device_read_exact(uint8_t* dest, uint32_t n, uint32_t total_ms) {
  Watch watching{deadline_after(total_ms)};
  uint32_t got = 0;
  while (got < n) {
    const uint32_t r = read_now(dest + got, n - got);
    got += r;
    if (r > 0) {
      // The rest comes at the line's pace: let some of it gather rather than
      // wake for every byte (a long echo would cost a wake-up a byte).
      watching.quiet_until_ns =
          monotonic_ns() + std::min<int64_t>(kGatherNs, (n - got) * port.frame_ns);
      continue;
    }
    // A final look after the deadline: a late wake-up must not lose a reply
    // that is already queued.
    if (!watch(&watching)) {
      got += read_now(dest + got, n - got);
      break;
    }
  }
  return got;
}

uint32_t device_read_available(uint8_t* dest, uint32_t max, uint32_t first_ms) {
  uint32_t got = read_now(dest, max);
  if (got > 0) return got;
  Watch watching{deadline_after(first_ms)};
  while (got == 0 && watch(&watching)) got = read_now(dest, max);
  if (got == 0) got = read_now(dest, max);
  return got;
}

bool device_write(const uint8_t* data, uint32_t n, uint32_t limit_ms, uint32_t* written) {
  const int64_t deadline = deadline_after(limit_ms);
  return write_until(data, n, deadline, written) && drain_until(deadline);
}

bool device_send_now(uint8_t byte, uint32_t limit_ms) {
  uint32_t written = 0;
  return write_until(&byte, 1, deadline_after(limit_ms), &written);
}

bool device_lost() { return port.lost; }

// Every name not taken by another transport.
bool device_accepts(const char*) { return true; }

}  // namespace

const PortInterface kSerialDevice = {
    device_accepts,        device_open,    device_is_open,      device_close, device_configure,
    device_set_line,       device_set_rts, device_clear_errors, device_purge, device_read_exact,
    device_read_available, device_write,   device_send_now,     device_lost,
};

const char* port_name_for_digit(char digit) {
  static char name[] = "/dev/ttyS0";
  name[sizeof(name) - 2] = static_cast<char>(digit - 1);
  return name;
}

uint32_t port_clock_ms() { return static_cast<uint32_t>(monotonic_ns() / 1000000); }

void port_sleep_ms(uint32_t ms) {
  // To a whole millisecond of the clock, so that it reads exactly ms more.
  sleep_until((monotonic_ns() / 1000000 + ms) * 1000000);
}

}  // namespace travek
