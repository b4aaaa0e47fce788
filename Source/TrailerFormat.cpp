#include "TrailerFormat.h"

#include <algorithm>
#include <cstring>

#include "EvDebug.h"
#include "LibraryLayout.h"
#include "Messages.h"

namespace tzrecon {

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
  const char* const kTag = messages::kTrailerTag;
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
        debug.DebugLvl(kTag, -1, messages::kTrailerVolumeIdDiffers, id, volumeId);
        return false;
      }
    } else if (std::strcmp(name, "ChunkId") == 0) {
      found = true;
      if (ReadDecimal(value, nullptr, id) == Decimal::kOutOfRange || id != chunkId) {
        debug.DebugLvl(kTag, -1, messages::kTrailerChunkIdDiffers, id, chunkId);
        return false;
      }
    }
  }
  if (!found) {
    debug.DebugLvl(kTag, -1, messages::kTrailerIdsMissing, trailerPath.c_str());
    return false;
  }
  return true;
}

}  // namespace tzrecon
