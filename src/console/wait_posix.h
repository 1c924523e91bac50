// The one way the POSIX back ends wait for a descriptor or for time to pass:
// ppoll, in which a termination request that is being held for the run's own
// ending (console_defer_end_requests) is honoured, without a moment in which
// one could come and not be seen until the wait had run out.
#pragma once

#include <poll.h>
#include <time.h>

namespace travek {

// As ppoll(fds, count, timeout, mask) with the process's own mask; timeout
// null waits without a limit. Does not return when a held request ends the
// run.
int wait_for(pollfd* fds, nfds_t count, const timespec* timeout);

}  // namespace travek
