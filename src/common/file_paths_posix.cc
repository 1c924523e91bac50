// Paths on POSIX: only '/' separates.
#include "common/file_paths.h"

namespace travek {

std::string path_beside(const char* beside, const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  const std::string file = beside;
  const size_t slash = file.rfind('/');
  return slash == std::string::npos ? path : file.substr(0, slash + 1) + path;
}

}  // namespace travek
