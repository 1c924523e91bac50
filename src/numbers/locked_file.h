// A file on disk as the numbers file needs it: read alone, or read and then
// replaced under an exclusive lock, crash-safely. One back end per platform
// (numbers_store_posix.cc, numbers_store_win32.cc); the policy of what is
// read and written is the store's (numbers_store.cc), once for both.
//
// Principles of operation:
//  - The lock is an exclusive one (flock on POSIX; LockFileEx on PATH.lock
//    beside the file on Windows, which cannot replace a file others hold
//    open), so tool instances on one machine sharing the file take turns.
//  - A holder never reads a text another has replaced: on POSIX the file
//    opened is checked, once locked, to be the one the path still names.
//  - A replacement goes to a temporary file in the same folder, is flushed
//    to the disk, and takes the file's name by a rename, after which the
//    folder's entry is flushed too (MoveFileEx with write-through on
//    Windows). A crash at any moment leaves the old file or the new one,
//    whole, with the engineer's permissions.
//  - A wait for the lock honours a held termination request (POSIX); the
//    lock goes with the LockedFile.
#pragma once

#include <cstdint>
#include <string>

namespace travek {

struct LockedFile {
  LockedFile() = default;
  ~LockedFile();  // lets the lock go
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;

  std::string path;    // the file itself, as it is replaced
  intptr_t file = -1;  // the platform's handles
  intptr_t lock = -1;
};

// A regular file read whole, without a lock; false with the operating
// system's reason.
bool read_regular_file(const char* path, std::string* text, std::string* reason);
// Takes the file's lock, waiting for it, and reads the file whole.
bool lock_and_read(const char* path, LockedFile* held, std::string* text, std::string* reason);
// Puts the text in the locked file's place; false with the reason.
bool replace_locked(LockedFile& held, const std::string& text, std::string* reason);

}  // namespace travek
