// How the storage library names and marks what it holds, as both listers
// read it: decimal ids, volume and chunk names and paths, the media label's
// copy id; and the guard that keeps exceptions inside the library's entry
// points. The trailer format is in TrailerFormat.h, the disk walk's system
// calls in SystemCalls.h, the dump format in DumpFile.h. Not installed and
// not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

class EvDebug;

namespace tzrecon {

// The media label holds the copy id as decimal text at byte 1007; the first
// 1551 bytes are read.
constexpr size_t kLabelCopyIdOffset = 1007;
constexpr size_t kLabelReadSize = 1551;
enum class Decimal { kOk, kNoDigits, kOutOfRange };

// Reads a decimal id the way atoi does: leading white space, an optional
// sign, then digits up to the first other byte; no digits gives 0. Unlike
// atoi it never overflows: a number beyond the signed 32-bit range is
// reported as kOutOfRange and `value` is clamped to INT32_MIN or INT32_MAX.
// Reading stops at `end` (or at a zero byte when `end` is null).
Decimal ReadDecimal(const char* text, const char* end, int32_t& value);

// Appends "/" when `path` does not end in one.
void EnsureTrailingSlash(std::string& path);

// True when `name` starts with `prefix` and holds no line feed or carriage
// return: exactly the names that the ECMAScript expression "(prefix)(.*)"
// matches as a whole.
bool MatchesPrefixPattern(const std::string& name, const char* prefix);

// What a chunk path "<mount path>/V_<volume id>/<...>_<chunk id>" yields.
enum class ChunkPath {
  kOk,             // ids read; the chunk gets a row if it passes its checks
  kForeignVolume,  // volume id text is not the plain decimal form of an id
  kMalformed,      // no volume folder, chunk name or "_": the walk fails
};

struct ChunkPathParts {
  int32_t volumeId = 0;
  int32_t chunkId = 0;
  bool chunkIdOutOfRange = false;
  size_t volumeFolderLength = 0;  // the volume folder path is chunkPath[0, this)
};

// `mountPathLength` is the length of the mount path with its trailing "/".
// The two bytes after it (the "V_" of the volume folder) are skipped by
// position, not compared.
ChunkPath ReadChunkPath(size_t mountPathLength, const std::string& chunkPath,
                        ChunkPathParts& parts);

// Whether the copy id at byte 1007 of a label's first 1551 bytes is `copyId`
// (compared as 32-bit integers; a number out of the 32-bit range never is).
bool LabelCarriesCopyId(const char* label, uint32_t copyId);

// Logs the exception being handled as a level -1 failure of `what` under
// `tag`, naming what ran out when it is memory. Never throws: a log line that
// cannot be written for want of memory is dropped.
void ReportException(EvDebug& debug, const char* tag, const char* what) noexcept;

// Runs `operation` and returns its result; an exception that leaves it is
// reported and gives false. The host calls the library's entry points as
// functions that do not throw: no exception may pass them.
template <typename Operation>
bool Guarded(EvDebug& debug, const char* tag, const char* what, Operation&& operation) noexcept {
  try {
    return std::forward<Operation>(operation)();
  } catch (...) {
    ReportException(debug, tag, what);
    return false;
  }
}

}  // namespace tzrecon
