#include "ReconDetail.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <cstring>
#include <exception>
#include <new>

#include "EvDebug.h"

namespace tzrecon {

namespace {

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool AtEnd(const char* p, const char* end) { return end ? p >= end : *p == '\0'; }

}  // namespace

Decimal ReadDecimal(const char* text, const char* end, int32_t& value) {
  const char* p = text;
  while (!AtEnd(p, end) && IsAsciiSpace(*p)) ++p;
  bool negative = false;
  if (!AtEnd(p, end) && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  // Accumulate the magnitude in 64 bits and stop growing it once it has left
  // the 32-bit range, so no digit count can overflow.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  bool digits = false, outOfRange = false;
  while (!AtEnd(p, end) && *p >= '0' && *p <= '9') {
    digits = true;
    if (!outOfRange) {
      magnitude = magnitude * 10 + (*p - '0');
      if (magnitude > limit) outOfRange = true;
    }
    ++p;
  }
  if (!digits) {
    value = 0;
    return Decimal::kNoDigits;
  }
  if (outOfRange) {
    value = negative ? INT32_MIN : INT32_MAX;
    return Decimal::kOutOfRange;
  }
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return Decimal::kOk;
}

void EnsureTrailingSlash(std::string& path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
}

bool MatchesPrefixPattern(const std::string& name, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (name.size() < n || name.compare(0, n, prefix) != 0) return false;
  return name.find_first_of("\n\r", n) == std::string::npos;
}

ChunkPath ReadChunkPath(size_t mountPathLength, const std::string& chunkPath,
                        ChunkPathParts& parts) {
  const size_t end = chunkPath.size();
  const size_t start = mountPathLength + 2;  // past "<mount path>V_"
  if (start >= end) return ChunkPath::kMalformed;
  const size_t slash = chunkPath.find('/', start);
  if (slash == std::string::npos) return ChunkPath::kMalformed;

  const char* text = chunkPath.data() + start;
  const char* textEnd = chunkPath.data() + slash;
  ReadDecimal(text, textEnd, parts.volumeId);
  parts.volumeFolderLength = slash;

  // The volume folder must be named by the id's own decimal form: V_012,
  // V_12a, V_+12 and a bare V_ are not volumes of this library.
  char rendered[16];
  auto result = std::to_chars(rendered, rendered + sizeof rendered, parts.volumeId);
  if (static_cast<size_t>(result.ptr - rendered) != static_cast<size_t>(textEnd - text) ||
      std::memcmp(rendered, text, static_cast<size_t>(textEnd - text)) != 0)
    return ChunkPath::kForeignVolume;

  if (slash + 1 >= end) return ChunkPath::kMalformed;
  const size_t underscore = chunkPath.rfind('_');
  if (underscore == std::string::npos || underscore <= slash || underscore + 1 >= end)
    return ChunkPath::kMalformed;
  parts.chunkIdOutOfRange = ReadDecimal(chunkPath.data() + underscore + 1,
                                        chunkPath.data() + end,
                                        parts.chunkId) == Decimal::kOutOfRange;
  return ChunkPath::kOk;
}

bool LabelCarriesCopyId(const char* label, uint32_t copyId) {
  int32_t id = 0;
  if (ReadDecimal(label + kLabelCopyIdOffset, label + kLabelReadSize, id) == Decimal::kOutOfRange)
    return false;
  return static_cast<uint32_t>(id) == copyId;
}

int SplitTrailerRecord(char*& cursor, char*& name, char*& value, const char* end) {
  // A name is at most 63 bytes and ends at the first space within 64 bytes;
  // a value is at most 4095 bytes and ends at the first newline. Neither
  // scan passes `end`.
  if (cursor >= end) return -1;
  name = cursor;
  size_t window = std::min<size_t>(64, static_cast<size_t>(end - cursor));
  char* space = static_cast<char*>(std::memchr(cursor, ' ', window));
  if (space == nullptr) {
    cursor += window;
    return -1;
  }
  *space = '\0';
  cursor = space + 1;
  value = cursor;
  window = std::min<size_t>(4096, static_cast<size_t>(end - cursor));
  char* newline = static_cast<char*>(std::memchr(cursor, '\n', window));
  if (newline == nullptr) {
    cursor += window;
    return -1;
  }
  *newline = '\0';
  cursor = newline + 1;
  return 0;
}

bool VerifyTrailerRecords(char* data, size_t size, int32_t volumeId, int32_t chunkId,
                          EvDebug& debug, const std::string& trailerPath) {
  static const char kTag[] = "ChunkListHelper::GetVolumeAndChunkIdFromCMT";
  bool found = false;
  char* cursor = data;
  char* name = nullptr;
  char* value = nullptr;
  while (SplitTrailerRecord(cursor, name, value, data + size) == 0) {
    // Names and values are zero-terminated text from here on: a zero byte
    // inside either ends it.
    int32_t id = 0;
    if (std::strcmp(name, "VolumeId") == 0) {
      found = true;
      // A value beyond the 32-bit range never matches an id.
      if (ReadDecimal(value, nullptr, id) == Decimal::kOutOfRange || id != volumeId) {
        debug.DebugLvl(kTag, -1, "Volume Id in Chunk [%d] and in volume folder [%d] do not match.",
                       id, volumeId);
        return false;
      }
    } else if (std::strcmp(name, "ChunkId") == 0) {
      found = true;
      if (ReadDecimal(value, nullptr, id) == Decimal::kOutOfRange || id != chunkId) {
        debug.DebugLvl(kTag, -1,
                       "Chunk Id in chunk map trailer [%d] and in chunk file name [%d] do not match",
                       id, chunkId);
        return false;
      }
    }
  }
  if (!found) {
    debug.DebugLvl(kTag, -1, "Either chunk id or volume id not found on chunk map trailer (%s)",
                   trailerPath.c_str());
    return false;
  }
  return true;
}

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
    ssize_t n;
    if (fromCache) {
      iovec part = {at, length - done};
      n = preadv2(fd, &part, 1, -1, RWF_NOWAIT);
    } else {
      n = read(fd, at, length - done);
    }
    if (n < 0) {
      if (errno == EINTR) continue;
      if (fromCache && errno == EAGAIN) return kWouldWait;
      if (fromCache && errno == EOPNOTSUPP) return kCannotTell;
      return done ? static_cast<long>(done) : -1;
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

void ReportException(EvDebug& debug, const char* tag, const char* what) noexcept {
  try {
    try {
      throw;
    } catch (const std::bad_alloc& e) {
      debug.DebugLvl(tag, -1, "Error :: Ran out of memory while %s (%s)", what, e.what());
    } catch (const std::exception& e) {
      debug.DebugLvl(tag, -1, "Error :: Unexpected failure while %s (%s)", what, e.what());
    } catch (...) {
      debug.DebugLvl(tag, -1, "Error :: Unexpected failure while %s (unknown exception)", what);
    }
  } catch (...) {
  }
}

}  // namespace tzrecon
