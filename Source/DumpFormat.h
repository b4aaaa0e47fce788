// The chunk-lister dump's text: a header line, then one row a chunk, each
// line ended by CR LF as the library writes it.
//
//   MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n
//   <mount path id>, <volume id>, <chunk id>, <size>, <0|1>\r\n   (one a chunk)
//
// The library writes dumps with it, tzrecon writes (sample --dump-only) and
// reads them (diff). Header only, not installed and not exported.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tzrecon {

// The header line, CR LF included, and the same without its line end.
constexpr char kDumpHeader[] = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
constexpr size_t kDumpHeaderSize = 61;
static_assert(sizeof kDumpHeader - 1 == kDumpHeaderSize, "the dump header is 61 bytes");
constexpr std::string_view kDumpHeaderText(kDumpHeader, kDumpHeaderSize - 2);

// The fields of a row, in order, as the header names them, and what stands
// between two of them.
constexpr size_t kDumpFields = 5;
constexpr const char* kDumpFieldNames[kDumpFields] = {"MountPath-ID", "Volume-ID", "Chunk-ID",
                                                      "Chunk-Size", "SIVolume"};
constexpr char kDumpFieldSeparator[] = ", ";

// Formats "%d, %d, %d, %llu, %d\r\n" into `out` (at least kMaxRowSize bytes)
// and returns its length.
constexpr size_t kMaxRowSize = 96;
inline size_t FormatRow(char* out, int32_t mountPathId, int32_t volumeId, int32_t chunkId,
                        uint64_t size, bool singleInstanced) {
  // Each number gets the room of the longest one (20 digits), so the row
  // stays inside kMaxRowSize whatever the values.
  constexpr size_t kNumber = 20;
  static_assert(4 * (kNumber + 2) + 3 <= kMaxRowSize, "a row fits kMaxRowSize");
  char* p = out;
  p = std::to_chars(p, p + kNumber, mountPathId).ptr;
  *p++ = ',';
  *p++ = ' ';
  p = std::to_chars(p, p + kNumber, volumeId).ptr;
  *p++ = ',';
  *p++ = ' ';
  p = std::to_chars(p, p + kNumber, chunkId).ptr;
  *p++ = ',';
  *p++ = ' ';
  p = std::to_chars(p, p + kNumber, size).ptr;
  *p++ = ',';
  *p++ = ' ';
  *p++ = singleInstanced ? '1' : '0';
  *p++ = '\r';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

}  // namespace tzrecon
