// Deadlines on the monotonic clock and the waits of the POSIX transports
// (the serial device and the network port's socket), all through wait_for()
// (console/wait_posix.h), so a termination request held for the run's own
// ending is honoured in every one of them.
//
// Principles of operation:
//  - A wait for the station's answer counts only the time the program was
//    there to watch: a look that comes back far later than it was due means
//    the machine held the program up (stopped, or a stalled virtual machine,
//    which stalls a simulated station with it), and the hold-up is added
//    back to that wait, up to a second. On real hardware the answer is
//    queued meanwhile and the next look finds it at once; a silent station
//    is still found silent.
//  - Looks last at most 20 ms, so the hold-up is noticed where it happened.
#pragma once

#include <poll.h>

#include <cstdint>

namespace travek {

int64_t monotonic_ns();
int64_t deadline_after(uint32_t ms);
void sleep_until(int64_t deadline_ns);

// What one poll of a descriptor found.
inline constexpr int kPollReady = 1;    // the event (or a signal: look again)
inline constexpr int kPollNothing = 0;  // the time ran out
inline constexpr int kPollFailed = -1;  // the poll itself failed
inline constexpr int kPollHungUp = -2;  // a hang-up or error without the event

// One poll of fd for events, at most ns long. With a hang-up, what is there
// is reported ready first.
int poll_fd(int fd, short events, int64_t ns);

// A wait for input with the hold-up allowance. Until quiet_until_ns the
// looks only let time pass: a reply that is still on the line is not looked
// for byte by byte.
struct Watch {
  int64_t deadline_ns;
  int64_t held_up_ns = 0;
  int64_t quiet_until_ns = 0;
};

// One look at fd for input, until the watch's deadline at the latest: a
// poll_fd result, or kPollNothing once the deadline has passed (with
// *passed set).
int watch_fd(int fd, Watch* watch, bool* passed);

}  // namespace travek
