#include "SystemCalls.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

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

int OpenFolder(int folderFd, const char* path, bool pathOnly) {
  const int flags = O_DIRECTORY | O_CLOEXEC | (pathOnly ? O_PATH : O_RDONLY | O_NONBLOCK);
  return RetryInterrupted([&] { return openat(folderFd, path, flags); });
}

long ReadFolderEntries(int fd, void* buffer, size_t length) {
  return RetryInterrupted([&] { return syscall(SYS_getdents64, fd, buffer, length); });
}

void CloseFile(int fd) { close(fd); }

bool IsRegularFile(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
}

bool SomethingAt(const char* path) {
  struct stat status;
  return lstat(path, &status) == 0;
}

int CreateUnnamedFile(const char* folder) {
  return RetryInterrupted([&] { return open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); });
}

int CreateNewFile(const char* path) {
  return RetryInterrupted(
      [&] { return open(path, O_WRONLY | O_CLOEXEC | O_CREAT | O_EXCL | O_NOFOLLOW, 0666); });
}

// Without CAP_DAC_READ_SEARCH an empty path is refused, and the file is
// linked through /proc instead.
int LinkUnnamedFile(int fd, const char* path) {
  if (linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0) return 0;
  if (errno != ENOENT && errno != EPERM) return -1;
  char self[64];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
}

int LinkFile(const char* from, const char* to) { return link(from, to); }

int RemoveFile(const char* path) { return unlink(path); }

int SyncFile(int fd) { return RetryInterrupted([&] { return fsync(fd); }); }

int SyncFolder(const char* path) {
  const int fd = RetryInterrupted([&] { return open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return -1;
  const int synced = SyncFile(fd);
  const int error = errno;
  close(fd);
  errno = error;
  return synced;
}

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
