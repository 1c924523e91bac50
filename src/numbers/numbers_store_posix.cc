// The numbers file on POSIX: flock on the open file, then a check that the
// path still names that file (a taker before may have renamed a new one
// over it while this one waited); the new text goes to PATH.tmp, is
// fsynced, renamed over the file, and the folder is fsynced.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"
#include "numbers/numbers_store.h"

namespace travek {
namespace {

void set_reason(NumbersResult* r, NumbersTaking taking, const char* reason) {
  r->taking = taking;
  std::snprintf(r->reason, sizeof(r->reason), "%s", reason);
}

// For descriptors only read from: a failed close loses nothing.
void close_fd(int fd) {
  if (fd >= 0) ::close(fd);
}

// Opened without blocking (a FIFO would wait for a writer) and taken only
// if it is a regular file.
int open_regular(const char* path, NumbersResult* r) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    set_reason(r, NumbersTaking::kUnreadable, std::strerror(errno));
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    set_reason(r, NumbersTaking::kUnreadable, std::strerror(errno));
  } else if (!S_ISREG(st.st_mode)) {
    set_reason(r, NumbersTaking::kUnreadable, "not a regular file");
  } else {
    return fd;
  }
  close_fd(fd);
  return -1;
}

bool read_text(int fd, std::string* text, NumbersResult* r) {
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      text->append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      set_reason(r, NumbersTaking::kUnreadable, std::strerror(errno));
      return false;
    }
  }
}

bool parse(const std::string& text, NumbersResult* r) {
  r->verdict =
      parse_numbers_file(reinterpret_cast<const uint8_t*>(text.data()), text.size(), &r->file);
  if (r->verdict.fault == NumbersFault::kNone) return true;
  r->taking = NumbersTaking::kInvalid;
  return false;
}

// Waits for the lock; a termination request held meanwhile ends the run.
bool lock(int fd, NumbersResult* r) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      set_reason(r, NumbersTaking::kUnreadable, std::strerror(errno));
      return false;
    }
    con_honour_end_request();
  }
  return true;
}

// Whether the path still names the file open as fd (*same), or another was
// renamed over it since it was opened.
bool still_named(int fd, const char* path, bool* same, NumbersResult* r) {
  struct stat open_file {
  }, named{};
  if (fstat(fd, &open_file) != 0) {
    set_reason(r, NumbersTaking::kUnreadable, std::strerror(errno));
    return false;
  }
  if (stat(path, &named) != 0) {
    set_reason(r, NumbersTaking::kUnreadable, std::strerror(errno));
    return false;
  }
  *same = open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
  return true;
}

bool write_all(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// The new text in a file of its own beside the old one, on the disk, then
// in the old one's place, and the folder's entry on the disk too. errno
// holds the reason when it fails.
bool replace_file(const std::string& path, const std::string& text, mode_t mode) {
  const std::string temporary = path + ".tmp";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return false;
  int err = 0;
  // The engineer's permissions, not the umask's.
  if (fchmod(fd, mode & 07777) != 0 || !write_all(fd, text) || fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temporary.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temporary.c_str());
    errno = err;
    return false;
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  if (fsync(dir) != 0) err = errno;
  ::close(dir);
  errno = err;
  return err == 0;
}

}  // namespace

NumbersResult numbers_check(const char* path) {
  NumbersResult r;
  const int fd = open_regular(path, &r);
  if (fd < 0) return r;
  std::string text;
  if (read_text(fd, &text, &r) && parse(text, &r)) r.taking = NumbersTaking::kOk;
  close_fd(fd);
  return r;
}

NumbersResult numbers_take(const char* path) {
  NumbersResult r;
  // The file itself, not a link to it: the rename must replace the file.
  char real[PATH_MAX];
  if (realpath(path, real) == nullptr) {
    set_reason(&r, NumbersTaking::kUnreadable, std::strerror(errno));
    return r;
  }
  int fd = -1;
  for (;;) {
    fd = open_regular(real, &r);
    if (fd < 0) return r;
    bool same = false;
    if (!lock(fd, &r) || !still_named(fd, real, &same, &r)) {
      close_fd(fd);
      return r;
    }
    if (same) break;
    close_fd(fd);  // replaced while this one waited: the new file is the one
  }
  std::string text, edited;
  struct stat st {};
  uint64_t after = 0;
  if (read_text(fd, &text, &r) && parse(text, &r)) {
    if (r.file.from_command) {
      r.taking = NumbersTaking::kNoCounter;
    } else if (!counter_advance(r.file, &after)) {
      r.taking = NumbersTaking::kExhausted;
    } else if (fstat(fd, &st) != 0) {
      set_reason(&r, NumbersTaking::kWriteError, std::strerror(errno));
    } else {
      edit_numbers_next(reinterpret_cast<const uint8_t*>(text.data()), text.size(), after, &edited);
      if (replace_file(real, edited, st.st_mode)) {
        r.taking = NumbersTaking::kOk;
        r.number = r.file.next;
      } else {
        set_reason(&r, NumbersTaking::kWriteError, std::strerror(errno));
      }
    }
  }
  close_fd(fd);  // releases the lock
  return r;
}

}  // namespace travek
