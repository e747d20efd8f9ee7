// Putting a file in place whole: its content is written under a temporary
// name in the target's own directory, synced to disk, and then renamed over
// the target.  A failed or interrupted write therefore never leaves a
// truncated file and never destroys the previous one; the rename is atomic
// because both names are on the same file system.  Whoever writes the content
// (numpy, for arrays and archives) writes it to the temporary name.
#pragma once

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace cellpath::whole_file {

namespace fs = std::filesystem;

// The temporary name beside `target`: hidden, and carrying the process and
// thread, since two threads of one process may write the same file at once
// (two handlers built on one cache).
inline fs::path temporary_beside(const fs::path& target, long process, unsigned long long thread) {
  return target.parent_path() / ("." + target.filename().string() + "." + std::to_string(process) +
                                 "." + std::to_string(thread) + ".tmp");
}

// fsync of an open descriptor: 0, or the errno of the failure.
inline int sync_descriptor(int fd) {
  while (::fsync(fd) != 0)
    if (errno != EINTR) return errno;
  return 0;
}

// rename(tmp, target), replacing the target: 0, or the errno of the failure.
inline int put_in_place(const fs::path& tmp, const fs::path& target) {
  return ::rename(tmp.c_str(), target.c_str()) == 0 ? 0 : errno;
}

// Remove a temporary left by a failed write; a failure to remove it changes
// nothing for the caller, whose own error is the one to report.
inline void discard(const fs::path& tmp) noexcept {
  std::error_code ignored;
  fs::remove(tmp, ignored);
}

}  // namespace cellpath::whole_file
