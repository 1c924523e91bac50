// File paths as the platform takes them. One back end per platform
// (file_paths_posix.cc, file_paths_win32.cc).
#pragma once

#include <string>

namespace travek {

// A path written in the file at `beside` (a job, a numbers file): as it is
// when absolute, else from the folder that file is in.
std::string path_beside(const char* beside, const std::string& path);

}  // namespace travek
