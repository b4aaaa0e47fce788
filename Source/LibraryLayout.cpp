#include "LibraryLayout.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <exception>
#include <new>

#include "EvDebug.h"

namespace tzrecon {

void EnsureTrailingSlash(std::string& path) {
  if (path.empty() || path.back() != '/') path.push_back('/');
}

bool MatchesPrefixPattern(std::string_view name, const char* prefix) {
  const size_t n = std::strlen(prefix);
  if (name.size() < n || name.compare(0, n, prefix) != 0) return false;
  return name.find_first_of("\n\r", n) == std::string_view::npos;
}

ChunkPath ReadChunkPath(size_t mountPathLength, const std::string& chunkPath,
                        ChunkPathParts& parts) {
  const size_t end = chunkPath.size();
  const size_t start = mountPathLength + sizeof layout::kVolumePrefix - 1;  // past "<mount path>V_"
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
  return layout::ReadLabelCopyId(label, id) && static_cast<uint32_t>(id) == copyId;
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
