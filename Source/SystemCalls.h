// Every system call the library makes of its own (the host's services and
// the window's io_uring requests aside): the disk walk's reads of media
// labels and trailers (opens that leave access times and FIFOs alone, reads
// that go on to the length asked for), the folders it holds open and lists,
// and the dump file's creation and publication. Not installed and not
// exported.
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

// Opens a folder: with `pathOnly` for use as the base of later opens
// (O_PATH), else for listing. Relative to `folderFd` (AT_FDCWD: the working
// folder). Returns -1 with errno set.
int OpenFolder(int folderFd, const char* path, bool pathOnly);
// Reads entries of the folder open at `fd` into `buffer` as getdents64
// does: the byte count, 0 at the end, -1 with errno set.
long ReadFolderEntries(int fd, void* buffer, size_t length);
// Closes a descriptor; the result says nothing the caller can act on.
void CloseFile(int fd);
// Whether the descriptor names a regular file; false when it cannot tell.
bool IsRegularFile(int fd);
// Whether anything, a dangling symbolic link included, is at `path`.
bool SomethingAt(const char* path);

// The dump file: an unnamed file in `folder` for writing (O_TMPFILE), and
// the named one that stands in for it where the file system takes none (a
// new file only). -1 with errno set.
int CreateUnnamedFile(const char* folder);
int CreateNewFile(const char* path);
// Links the unnamed file open at `fd` at `path`, which must not exist.
// 0, or -1 with errno set.
int LinkUnnamedFile(int fd, const char* path);
// Links the file at `from` at `to` as well, which must not exist; and
// removes a name. 0, or -1 with errno set.
int LinkFile(const char* from, const char* to);
int RemoveFile(const char* path);
// Writes the file open at `fd`, or a folder, through to the disk. 0, or -1
// with errno set.
int SyncFile(int fd);
int SyncFolder(const char* path);

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
