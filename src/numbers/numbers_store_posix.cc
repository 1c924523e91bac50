// The numbers file on POSIX: flock on the open file, then a check that the
// path still names that file (a holder before may have renamed a new one
// over it while this one waited); the new text goes to PATH.tmp, is
// fsynced, renamed over the file, and the folder is fsynced.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"
#include "numbers/locked_file.h"

namespace travek {
namespace {

bool say(std::string* reason, const char* text) {
  *reason = text;
  return false;
}

// For descriptors only read from: a failed close loses nothing.
void close_fd(intptr_t* fd) {
  if (*fd >= 0) ::close(static_cast<int>(*fd));
  *fd = -1;
}

// Opened without blocking (a FIFO would wait for a writer) and taken only
// if it is a regular file; -1 otherwise.
int open_regular(const char* path, std::string* reason) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  struct stat st = {};
  if (fd < 0 || fstat(fd, &st) != 0) {
    say(reason, std::strerror(errno));
  } else if (S_ISREG(st.st_mode)) {
    return fd;
  } else {
    say(reason, "not a regular file");
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

bool read_text(int fd, std::string* text, std::string* reason) {
  text->clear();
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n > 0) {
      text->append(buffer, static_cast<size_t>(n));
    } else if (n == 0) {
      return true;
    } else if (errno != EINTR) {
      return say(reason, std::strerror(errno));
    }
  }
}

// Waits for the lock; a termination request held meanwhile ends the run.
bool lock(int fd, std::string* reason) {
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) return say(reason, std::strerror(errno));
    con_honour_end_request();
  }
  return true;
}

// Whether the path still names the file open as fd (*same), or another was
// renamed over it since it was opened.
bool still_named(int fd, const char* path, bool* same, std::string* reason) {
  struct stat open_file = {}, named = {};
  if (fstat(fd, &open_file) != 0 || stat(path, &named) != 0) {
    return say(reason, std::strerror(errno));
  }
  *same = open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
  return true;
}

// errno holds the reason when it fails.
bool write_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
  }
  return true;
}

// The folder's entry of a renamed file, on the disk. errno holds the
// reason when it fails.
bool flush_folder(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  const int err = fsync(dir) != 0 ? errno : 0;
  ::close(dir);
  errno = err;
  return err == 0;
}

}  // namespace

LockedFile::~LockedFile() { close_fd(&file); }  // releases the lock

bool read_regular_file(const char* path, std::string* text, std::string* reason) {
  intptr_t fd = open_regular(path, reason);
  if (fd < 0) return false;
  const bool read = read_text(static_cast<int>(fd), text, reason);
  close_fd(&fd);
  return read;
}

bool lock_and_read(const char* path, LockedFile* held, std::string* text, std::string* reason) {
  // The file itself, not a link to it: the rename must replace the file.
  char real[PATH_MAX];
  if (realpath(path, real) == nullptr) return say(reason, std::strerror(errno));
  held->path = real;
  for (;;) {
    held->file = open_regular(real, reason);
    if (held->file < 0) return false;
    bool same = false;
    if (!lock(static_cast<int>(held->file), reason) ||
        !still_named(static_cast<int>(held->file), real, &same, reason)) {
      return false;
    }
    if (same) return read_text(static_cast<int>(held->file), text, reason);
    close_fd(&held->file);  // replaced while this one waited: the new file is the one
  }
}

bool replace_locked(LockedFile& held, const std::string& text, std::string* reason) {
  struct stat st = {};
  if (fstat(static_cast<int>(held.file), &st) != 0) return say(reason, std::strerror(errno));
  const std::string temporary = held.path + ".tmp";
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return say(reason, std::strerror(errno));
  int err = 0;
  // The engineer's permissions, not the umask's.
  if (fchmod(fd, st.st_mode & 07777) != 0 || !write_all(fd, text) || fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temporary.c_str(), held.path.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temporary.c_str());
    return say(reason, std::strerror(err));
  }
  return flush_folder(held.path) || say(reason, std::strerror(errno));
}

}  // namespace travek
