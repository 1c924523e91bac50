// Reading a pipe of another process on POSIX, without blocking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace travek {

// Reads what the non-blocking pipe fd holds into `into`, keeping no more
// than keep bytes there; closes it (fd becomes -1) at its end or on a
// failure. True when anything was read.
bool drain_pipe(intptr_t* fd, std::string* into, size_t keep);

}  // namespace travek
