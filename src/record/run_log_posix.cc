// The run log on POSIX: O_APPEND, flock around the write, fsync after it,
// and ftruncate back to where the file ended when the write fell short.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/messages.h"
#include "console/console.h"
#include "record/run_log.h"

namespace travek {
namespace {

bool fail(int err, char* reason, size_t reason_size) {
  std::snprintf(reason, reason_size, "%s", std::strerror(err));
  return false;
}

bool lock(int fd, int operation) {
  while (flock(fd, operation) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

bool run_log_open(RunLog& log, const char* path) {
  run_log_close(log);
  log.path = path;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    con_diagnostic(msg::kDiagReason, path, std::strerror(errno));
    return false;
  }
  log.handle = fd;
  return true;
}

bool run_log_is_open(const RunLog& log) { return log.handle >= 0; }

bool run_log_append(RunLog& log, const char* line, size_t length, char* reason,
                    size_t reason_size) {
  const int log_fd = static_cast<int>(log.handle);
  std::string record(line, length);
  record += '\n';
  if (!lock(log_fd, LOCK_EX)) return fail(errno, reason, reason_size);
  // Where the file ends now, under the lock: no other writer moves it.
  const off_t end = lseek(log_fd, 0, SEEK_END);
  ssize_t n;
  do {
    n = ::write(log_fd, record.data(), record.size());
  } while (n < 0 && errno == EINTR);
  int err = n < 0 ? errno : n != static_cast<ssize_t>(record.size()) ? ENOSPC : 0;
  // A pipe or a terminal as the log has nothing to flush (EINVAL).
  if (err == 0 && fsync(log_fd) != 0 && errno != EINVAL) err = errno;
  if (err != 0 && n > 0 && end >= 0 && ftruncate(log_fd, end) == 0) fsync(log_fd);
  lock(log_fd, LOCK_UN);
  return err == 0 || fail(err, reason, reason_size);
}

void run_log_close(RunLog& log) {
  if (log.handle >= 0) ::close(static_cast<int>(log.handle));
  log.handle = -1;
}

}  // namespace travek
