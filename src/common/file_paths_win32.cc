// Paths on Windows.
#include "common/file_paths.h"

namespace travek {

// Either slash separates; a path from a root, or with a drive, is absolute.
std::string path_beside(const char* beside, const std::string& path) {
  const bool drive = path.size() >= 2 && path[1] == ':';
  if (drive || (!path.empty() && (path[0] == '\\' || path[0] == '/'))) return path;
  const std::string file = beside;
  const size_t slash = file.find_last_of("\\/");
  return slash == std::string::npos ? path : file.substr(0, slash + 1) + path;
}

}  // namespace travek
