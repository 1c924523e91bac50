// Reading another process's pipe without blocking: what it wrote is kept
// (up to the limit), its end closes the pipe, and a pipe with nothing yet
// stays open. The end must be seen as the end even when errno still holds
// EINTR from a wait that a signal interrupted before the read: a reader
// that took that for an interrupted read would read the ended pipe for
// ever.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>
#include <thread>

#include "process/pipe_posix.h"

namespace travek {
namespace {

struct Drained {
  bool any;
  std::string kept;
  bool closed;
};

// The drain on a thread of its own, errno set to EINTR first: a drain that
// spins never answers, and the test fails instead of hanging.
Drained drain_after_interrupt(intptr_t fd, size_t keep) {
  auto promise = std::make_shared<std::promise<Drained>>();
  std::future<Drained> result = promise->get_future();
  std::thread([promise, fd, keep]() mutable {
    Drained d{};
    errno = EINTR;
    d.any = drain_pipe(&fd, &d.kept, keep);
    d.closed = fd < 0;
    if (fd >= 0) ::close(static_cast<int>(fd));
    promise->set_value(d);
  }).detach();
  if (result.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the drain did not return";
    return {};
  }
  return result.get();
}

TEST(PipeDrain, KeepsWhatCameClosesAtTheEndAndWaitsOtherwise) {
  const struct Case {
    const char* name;
    const char* written;
    bool writer_closed;
    size_t keep;
    Drained expected;
  } cases[] = {
      {"a line, then the end", "line\n", true, SIZE_MAX, {true, "line\n", true}},
      {"the end alone", "", true, SIZE_MAX, {false, "", true}},
      {"nothing yet", "", false, SIZE_MAX, {false, "", false}},
      {"more than is kept", "0123456789", false, 4, {true, "0123", false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    const size_t length = std::char_traits<char>::length(c.written);
    ASSERT_EQ(::write(fds[1], c.written, length), static_cast<ssize_t>(length));
    if (c.writer_closed) ::close(fds[1]);
    const Drained d = drain_after_interrupt(fds[0], c.keep);
    if (!c.writer_closed) ::close(fds[1]);
    EXPECT_EQ(d.any, c.expected.any);
    EXPECT_EQ(d.kept, c.expected.kept);
    EXPECT_EQ(d.closed, c.expected.closed);
  }
}

}  // namespace
}  // namespace travek
