// The input file on POSIX: opened without blocking (a FIFO would wait for a
// writer), then taken only if the descriptor is a regular file; its size is
// the descriptor's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/messages.h"
#include "console/console.h"
#include "driver/input_file.h"

namespace travek {

bool input_open(InputFile& input, const char* name) {
  input_close(input);
  const int fd = ::open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    con_diagnostic(msg::kDiagReason, name, std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    con_diagnostic(msg::kDiagNotRegular, name);
    ::close(fd);
    return false;
  }
  input.handle = fd;
  input.size = static_cast<uint64_t>(st.st_size);
  return true;
}

bool input_is_open(const InputFile& input) { return input.handle >= 0; }

void input_close(InputFile& input) {
  if (input.handle >= 0) ::close(static_cast<int>(input.handle));
  input = InputFile{};
}

bool input_read(const InputFile& input, uint64_t offset, uint8_t* dest, uint32_t request,
                uint32_t* count) {
  *count = 0;
  // Reaching the end early is the normal case: the request is the buffer size.
  while (*count < request) {
    const ssize_t n = pread(static_cast<int>(input.handle), dest + *count, request - *count,
                            static_cast<off_t>(offset + *count));
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    *count += static_cast<uint32_t>(n);
  }
  return true;
}

}  // namespace travek
