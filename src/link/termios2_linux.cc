#include "link/termios2_linux.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace travek::termios2 {
namespace {

struct termios2 kept {};

// Rates with a code of their own. Others go as BOTHER with the rate in
// c_ospeed; programs that read the line through the old interface (Wine's
// serial layer among them) cannot make sense of that, so it is kept for the
// rates that need it.
struct StandardRate {
  uint32_t rate;
  tcflag_t code;
};
constexpr StandardRate kStandardRates[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

void rate_fields(struct termios2* t, uint32_t rate, int stop_bits) {
  t->c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT) | CSTOPB);
  tcflag_t code = BOTHER;
  for (const StandardRate& standard : kStandardRates) {
    if (standard.rate == rate) code = standard.code;
  }
  t->c_cflag |= code;  // the input rate follows the output rate (CIBAUD zero)
  if (stop_bits == 2) t->c_cflag |= CSTOPB;
  t->c_ispeed = rate;
  t->c_ospeed = rate;
}

void raw_line(struct termios2* t, uint32_t rate, int stop_bits) {
  // No input processing at all: a byte received with a framing error is
  // delivered as received (INPCK off), a break as a zero byte.
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                       IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
  t->c_cflag |= CS8 | CLOCAL | CREAD;
  t->c_cc[VMIN] = 1;
  t->c_cc[VTIME] = 0;
  rate_fields(t, rate, stop_bits);
}

}  // namespace

bool fetch(int fd) { return ioctl(fd, TCGETS2, &kept) == 0; }

void make_raw(uint32_t rate, int stop_bits) { raw_line(&kept, rate, stop_bits); }

void set_rate(uint32_t rate, int stop_bits) { rate_fields(&kept, rate, stop_bits); }

bool apply(int fd) { return ioctl(fd, TCSETS2, &kept) == 0; }

bool query(int fd, uint32_t* rate, int* stop_bits) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  *rate = t.c_ospeed;
  *stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
  return true;
}

bool set_raw(int fd, uint32_t rate, int stop_bits) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  raw_line(&t, rate, stop_bits);
  return ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace travek::termios2
