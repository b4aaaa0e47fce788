#include "SystemCalls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>

namespace tzrecon {

namespace {

// O_NOATIME is refused (EPERM) on files the process does not own unless it
// holds CAP_FOWNER. A library's files share one owner, so once refused it is
// not asked for again: every further open would fail the same way first.
std::atomic<bool> g_noAtimeRefused{false};

int OpenQuietly(int folderFd, const char* path) {
  constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  if (!g_noAtimeRefused.load(std::memory_order_relaxed)) {
    const int fd = openat(folderFd, path, kFlags | O_NOATIME);
    if (fd >= 0 || errno != EPERM) return fd;
    g_noAtimeRefused.store(true, std::memory_order_relaxed);
  }
  return openat(folderFd, path, kFlags);
}

}  // namespace

int OpenForReading(const char* path) { return OpenQuietly(AT_FDCWD, path); }

int OpenForReadingAt(int folderFd, const char* name) { return OpenQuietly(folderFd, name); }

namespace {

// ReadUpTo's loop; with `fromCache` the first read asks for cached data
// only.
long ReadLoop(int fd, void* buffer, size_t length, bool fromCache) {
  size_t done = 0;
  while (done < length) {
    char* at = static_cast<char*>(buffer) + done;
    const ssize_t n = RetryInterrupted([&] {
      iovec part = {at, length - done};
      return fromCache ? preadv2(fd, &part, 1, -1, RWF_NOWAIT) : read(fd, at, length - done);
    });
    if (n < 0) {
      if (fromCache && errno == EAGAIN) return kWouldWait;
      if (fromCache && errno == EOPNOTSUPP) return kCannotTell;
      return -1;  // a read that breaks off part-way is no short file
    }
    fromCache = false;
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

}  // namespace

long ReadUpTo(int fd, void* buffer, size_t length) { return ReadLoop(fd, buffer, length, false); }

long ReadUpToFromCache(int fd, void* buffer, size_t length) {
  return ReadLoop(fd, buffer, length, true);
}

}  // namespace tzrecon
