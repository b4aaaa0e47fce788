// Chunk path reading (ReadChunkPath), shared by the disk and the cloud
// listers, and the cloud lister's name filter (MatchesPrefixPattern).
//
// Input: a shape byte, then:
//  - shape 0 (any text): the mount path length (2 bytes), then the path;
//  - otherwise (a path as a lister composes it): the mount path, a volume
//    folder name, a chunk name and, for a single-instanced walk, a metadata
//    file name, each length-prefixed. Names lose their "/" and zero bytes,
//    as names from a listing have none, and get their prefixes ("V_",
//    "CHUNK_", "CHUNK_META_DATA_").
// Checked against an independent reading of the documented form
// "<mount path>/V_<volume id>/<...>_<chunk id>":
//  - the outcome: malformed when there is no volume folder, no chunk name or
//    no "_" with something after it; a foreign volume when the folder's text
//    is not exactly the decimal form of a 32-bit id; otherwise the ids, with
//    the chunk id read as strtol does, out of range beyond 32 bits;
//  - the volume folder length lies inside the path and ends at its "/";
//  - a lister-composed path of one of our volumes is malformed exactly when
//    its last name ends in "_", and its volume folder is the mount path and
//    the folder name;
//  - the name filter accepts exactly what the ECMAScript expression
//    "(V_)(.*)" matches as a whole.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <regex>
#include <string>

#include "FuzzSupport.h"
#include "LibraryLayout.h"

using tzrecon::ChunkPath;
using tzrecon::ChunkPathParts;

namespace {

// "0", or an optional "-" and digits without a leading zero, in range.
bool IsOwnDecimalForm(const std::string& text, int32_t& value) {
  if (text.empty() || text.size() > 11) return false;
  const size_t digits = text[0] == '-' ? 1 : 0;
  if (digits == text.size()) return false;
  for (size_t i = digits; i < text.size(); ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  if (text[digits] == '0' && (text.size() - digits > 1 || digits == 1)) return false;
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

struct Reading {
  ChunkPath outcome = ChunkPath::kMalformed;
  int32_t volumeId = 0, chunkId = 0;
  bool outOfRange = false;
  size_t folderEnd = 0;
};

Reading Expected(size_t mountPathLength, const std::string& path) {
  Reading r;
  const size_t start = mountPathLength + 2;
  if (start >= path.size()) return r;
  const size_t slash = path.find('/', start);
  if (slash == std::string::npos) return r;
  r.folderEnd = slash;
  if (!IsOwnDecimalForm(path.substr(start, slash - start), r.volumeId)) {
    r.outcome = ChunkPath::kForeignVolume;
    return r;
  }
  const size_t underscore = path.rfind('_');
  if (slash + 1 >= path.size() || underscore == std::string::npos || underscore <= slash ||
      underscore + 1 >= path.size())
    return r;
  const std::string tail = path.substr(underscore + 1);  // strtol stops at a zero byte
  errno = 0;
  const long long v = std::strtoll(tail.c_str(), nullptr, 10);
  r.outOfRange = errno == ERANGE || v < INT32_MIN || v > INT32_MAX;
  r.chunkId = r.outOfRange ? 0 : static_cast<int32_t>(v);
  r.outcome = ChunkPath::kOk;
  return r;
}

Reading Check(size_t mountPathLength, const std::string& path) {
  ChunkPathParts parts;
  const ChunkPath outcome = tzrecon::ReadChunkPath(mountPathLength, path, parts);
  const Reading expected = Expected(mountPathLength, path);
  FUZZ_CHECK(outcome == expected.outcome);
  if (outcome != ChunkPath::kMalformed) {
    FUZZ_CHECK(parts.volumeFolderLength == expected.folderEnd);
    FUZZ_CHECK(parts.volumeFolderLength < path.size() && path[parts.volumeFolderLength] == '/');
  }
  if (outcome == ChunkPath::kOk) {
    FUZZ_CHECK(parts.volumeId == expected.volumeId);
    FUZZ_CHECK(parts.chunkIdOutOfRange == expected.outOfRange);
    if (!expected.outOfRange) FUZZ_CHECK(parts.chunkId == expected.chunkId);
  }
  return expected;
}

// A name as a listing delivers it: no "/" and no zero byte.
std::string Name(const char* prefix, std::string text) {
  for (char& c : text)
    if (c == '/' || c == '\0') c = '.';
  return prefix + text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  tzfuzz::Input input(data, size);
  const uint8_t shape = input.Byte();
  if (shape == 0) {
    const size_t mountPathLength = (input.Byte() | static_cast<size_t>(input.Byte()) << 8) % 4200;
    Check(mountPathLength, input.Rest());
    return 0;
  }
  std::string mountPath = input.Text();
  for (char& c : mountPath)
    if (c == '\0') c = '.';
  const std::string volume = Name("V_", input.Text());
  const std::string chunk = Name("CHUNK_", input.Text());
  const bool singleInstanced = (shape & 1) != 0;
  const std::string meta = singleInstanced ? Name("CHUNK_META_DATA_", input.Text()) : "";

  // As both listers compose it: the mount path with one trailing "/".
  std::string folder = mountPath;
  tzrecon::EnsureTrailingSlash(folder);
  const std::string path = folder + volume + "/" + chunk + (singleInstanced ? "/" + meta : "");
  const Reading r = Check(folder.size(), path);
  const std::string& last = singleInstanced ? meta : chunk;
  if (r.outcome != ChunkPath::kForeignVolume)
    FUZZ_CHECK((r.outcome == ChunkPath::kMalformed) == (last.back() == '_'));
  if (r.outcome != ChunkPath::kMalformed)
    FUZZ_CHECK(path.compare(0, r.folderEnd, folder + volume) == 0);

  // The cloud lister's filter of volume folder and chunk names.
  static const std::regex kVolume("(V_)(.*)");
  static const std::regex kChunk("(CHUNK_)(.*)");
  const std::string raw = input.Rest().substr(0, 255);
  for (const std::string& name : {volume, chunk, raw, "V_" + raw, "CHUNK_" + raw}) {
    FUZZ_CHECK(tzrecon::MatchesPrefixPattern(name, "V_") == std::regex_match(name, kVolume));
    FUZZ_CHECK(tzrecon::MatchesPrefixPattern(name, "CHUNK_") == std::regex_match(name, kChunk));
  }
  return 0;
}
