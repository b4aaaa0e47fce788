// The storage library's layout as every reader of it sees it: the names of
// volume folders, chunks, trailers, labels and markers, where a media label
// keeps its copy id, and how a decimal id is read. Nothing here but the
// layout: the library's walk, tzrecon, the benchmarks and the tests all
// include it, and it pulls nothing else in. Header only, not installed and
// not exported.
//
//   <mount path>/V_<volume id>/MEDIA_LABEL               copy id at byte 1007
//   <mount path>/V_<volume id>/.tzsivolume               single-instanced
//   <mount path>/V_<volume id>/CHUNK_<chunk id>          a chunk, or a folder
//   <mount path>/V_<volume id>/CHUNKMAP_TRAILER_<id>     its trailer
//   .../CHUNK_<chunk id>/CHUNK_META_DATA_<id>[.idx]      in a chunk folder
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>

namespace tzrecon::layout {

constexpr char kVolumePrefix[] = "V_";
constexpr char kChunkPrefix[] = "CHUNK_";
constexpr char kTrailerPrefix[] = "CHUNKMAP_TRAILER_";
constexpr char kMetadataPrefix[] = "CHUNK_META_DATA_";
constexpr char kIndexSuffix[] = ".idx";  // a metadata file's index: no chunk
constexpr char kMediaLabel[] = "MEDIA_LABEL";
constexpr char kSIMarker[] = ".tzsivolume";

// The media label holds the copy id as decimal text at byte 1007; the first
// 1551 bytes are read.
constexpr size_t kLabelCopyIdOffset = 1007;
constexpr size_t kLabelReadSize = 1551;

enum class Decimal { kOk, kNoDigits, kOutOfRange };

namespace detail {

inline bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool AtEnd(const char* p, const char* end) { return end ? p >= end : *p == '\0'; }

}  // namespace detail

// Reads a decimal id the way atoi does: leading white space, an optional
// sign, then digits up to the first other byte; no digits gives 0. Unlike
// atoi it never overflows: a number beyond the signed 32-bit range is
// reported as kOutOfRange and `value` is clamped to INT32_MIN or INT32_MAX.
// Reading stops at `end` (or at a zero byte when `end` is null).
inline Decimal ReadDecimal(const char* text, const char* end, int32_t& value) {
  const char* p = text;
  while (!detail::AtEnd(p, end) && detail::IsAsciiSpace(*p)) ++p;
  bool negative = false;
  if (!detail::AtEnd(p, end) && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  // Accumulate the magnitude in 64 bits and stop growing it once it has left
  // the 32-bit range, so no digit count can overflow.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t magnitude = 0;
  bool digits = false, outOfRange = false;
  while (!detail::AtEnd(p, end) && *p >= '0' && *p <= '9') {
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

// The copy id of a media label's first kLabelReadSize bytes, read as the
// walk reads it; false when the number is beyond the 32-bit range.
inline bool ReadLabelCopyId(const char* label, int32_t& copyId) {
  return ReadDecimal(label + kLabelCopyIdOffset, label + kLabelReadSize, copyId) !=
         Decimal::kOutOfRange;
}

}  // namespace tzrecon::layout
