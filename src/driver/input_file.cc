#include "driver/input_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "common/messages.h"
#include "console/console.h"

namespace travek {
namespace {

struct InputFile {
  std::ifstream stream;
  std::filesystem::path path;
};

InputFile input;

}  // namespace

bool input_open(const char* name) {
  input_close();
  std::filesystem::path path(name);
  std::error_code error;
  if (std::filesystem::is_directory(path, error)) {
    con_diagnostic(msg::kDiagReason, name, std::strerror(EISDIR));
    return false;
  }
  errno = 0;
  input.stream.open(path, std::ios::in | std::ios::binary);
  if (!input.stream.is_open()) {
    con_diagnostic(msg::kDiagReason, name, std::strerror(errno != 0 ? errno : ENOENT));
    return false;
  }
  input.path = path;
  return true;
}

bool input_is_open() { return input.stream.is_open(); }

void input_close() {
  if (input.stream.is_open()) input.stream.close();
  input.stream.clear();
}

uint64_t input_size() {
  std::error_code error;
  uintmax_t size = std::filesystem::file_size(input.path, error);
  return error ? 0 : static_cast<uint64_t>(size);
}

bool input_read(uint64_t offset, uint8_t* dest, uint32_t request, uint32_t* count) {
  *count = 0;
  input.stream.clear();
  if (!input.stream.seekg(static_cast<std::streamoff>(offset), std::ios::beg)) return false;
  input.stream.read(reinterpret_cast<char*>(dest), request);
  *count = static_cast<uint32_t>(input.stream.gcount());
  // Reaching the end early is the normal case: the request is the buffer size.
  return !input.stream.bad();
}

}  // namespace travek
