// The system calls of the disk walk's own reads (media labels, trailers):
// opens that leave access times and FIFOs alone, and reads that go on to
// the length asked for. Not installed and not exported.
#pragma once

#include <cerrno>
#include <cstddef>

namespace tzrecon {

// Opens a file for reading without updating its access time where the
// kernel permits, and without blocking on a FIFO. Returns -1 with errno set.
int OpenForReading(const char* path);
// The same for `name` inside the folder open at `folderFd`.
int OpenForReadingAt(int folderFd, const char* name);
// Makes `call` (a system call returning -1 with errno on failure) until it
// does not fail with EINTR, and returns what it returned last.
template <typename Call>
auto RetryInterrupted(Call&& call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

// Reads until `length` bytes arrived, the end of the file, or an error.
// Returns the byte count, or -1 with errno set on an error (also after
// some bytes arrived).
long ReadUpTo(int fd, void* buffer, size_t length);
// The same, but the first read takes only what the page cache holds
// (preadv2 with RWF_NOWAIT, from the file position as read does). Returns,
// having read nothing, kWouldWait when that read would have waited for the
// device, and kCannotTell when the file does not take such a read (a file
// of a FUSE file system, a FIFO, a folder).
constexpr long kWouldWait = -2;
constexpr long kCannotTell = -3;
long ReadUpToFromCache(int fd, void* buffer, size_t length);

}  // namespace tzrecon
