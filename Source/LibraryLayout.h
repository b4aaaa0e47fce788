// How both listers read the storage library's names and paths: chunk paths,
// name patterns, the media label's copy id; and the guard that keeps
// exceptions inside the library's entry points. The names, the label's
// layout and decimal reading themselves are in StorageLayout.h, the trailer
// format in TrailerFormat.h, the disk walk's system calls in SystemCalls.h,
// the dump format in DumpFormat.h. Not installed and not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "StorageLayout.h"

class EvDebug;

namespace tzrecon {

// The library's own code reads these without the namespace.
using layout::Decimal;
using layout::kLabelCopyIdOffset;
using layout::kLabelReadSize;
using layout::ReadDecimal;

// Appends "/" when `path` does not end in one.
void EnsureTrailingSlash(std::string& path);

// True when `name` starts with `prefix` and holds no line feed or carriage
// return: exactly the names that the ECMAScript expression "(prefix)(.*)"
// matches as a whole.
bool MatchesPrefixPattern(std::string_view name, const char* prefix);

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
