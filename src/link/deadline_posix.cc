#include "link/deadline_posix.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

#include "console/wait_posix.h"

namespace travek {
namespace {

constexpr int64_t kLookNs = 20000000;         // the longest single look
constexpr int64_t kHeldUpNs = 10000000;       // a look back this late was held up
constexpr int64_t kMaxHeldUpNs = 1000000000;  // added back per wait at most

timespec duration(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

}  // namespace

int64_t monotonic_ns() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t deadline_after(uint32_t ms) { return monotonic_ns() + static_cast<int64_t>(ms) * 1000000; }

void sleep_until(int64_t deadline_ns) {
  for (int64_t left; (left = deadline_ns - monotonic_ns()) > 0;) {
    const timespec timeout = duration(left);
    wait_for(nullptr, 0, &timeout);
  }
}

int poll_fd(int fd, short events, int64_t ns) {
  const timespec timeout = duration(ns);
  pollfd p{fd, events, 0};
  const int r = wait_for(&p, 1, &timeout);
  if (r < 0) return errno == EINTR ? kPollReady : kPollFailed;
  if (r == 0) return kPollNothing;
  if (p.revents & events) return kPollReady;  // with a hang-up: what is there is read first
  return kPollHungUp;
}

int watch_fd(int fd, Watch* watch, bool* passed) {
  const int64_t start = monotonic_ns();
  const int64_t left = watch->deadline_ns - start;
  *passed = left <= 0;
  if (*passed) return kPollNothing;
  const int64_t quiet = watch->quiet_until_ns - start;
  const int64_t look = std::min({left, kLookNs, quiet > 0 ? quiet : kLookNs});
  const int r = poll_fd(quiet > 0 ? -1 : fd, POLLIN, look);
  const int64_t late = monotonic_ns() - (start + look);
  if (r >= 0 && late > kHeldUpNs && watch->held_up_ns < kMaxHeldUpNs) {
    watch->deadline_ns += late;
    watch->held_up_ns += late;
  }
  return r;
}

}  // namespace travek
