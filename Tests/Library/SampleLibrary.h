// Builds small storage libraries in a temporary folder for the lister tests.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "StorageLayout.h"
#include "TestSupport.h"

namespace tztest {

namespace layout = tzrecon::layout;

class SampleLibrary {
 public:
  SampleLibrary() : root(dir / "mp") { MakeDirs(root); }

  // A volume folder with a media label carrying `copyIdText` at byte 1007.
  std::string Volume(const std::string& name, const std::string& copyIdText = "7",
                     bool singleInstanced = false) {
    const std::string path = root + "/" + name;
    MakeDirs(path);
    WriteFile(path + "/" + layout::kMediaLabel, MediaLabel(copyIdText));
    if (singleInstanced) WriteFile(path + "/" + layout::kSIMarker, "");
    return path;
  }

  // A chunk file of `size` bytes (sparse) and its trailer.
  void Chunk(const std::string& volume, int volumeId, int chunkId, uint64_t size,
             const std::string& name = "") {
    const std::string path = root + "/" + volume;
    const std::string file =
        path + "/" + (name.empty() ? layout::kChunkPrefix + std::to_string(chunkId) : name);
    Sparse(file, size);
    WriteFile(path + "/" + layout::kTrailerPrefix + std::to_string(chunkId),
              Trailer(volumeId, chunkId));
  }

  // A single-instanced chunk folder holding the metadata file
  // CHUNK_META_DATA_<metaId>, its ".idx" companion, and the trailer.
  void SIChunk(const std::string& volume, int volumeId, int folderId, int metaId, uint64_t size) {
    const std::string path = root + "/" + volume + "/" + layout::kChunkPrefix + std::to_string(folderId);
    const std::string metadata = path + "/" + layout::kMetadataPrefix + std::to_string(metaId);
    MakeDirs(path);
    Sparse(metadata, size);
    WriteFile(metadata + layout::kIndexSuffix, "index");
    WriteFile(root + "/" + volume + "/" + layout::kTrailerPrefix + std::to_string(metaId),
              Trailer(volumeId, metaId));
  }

  static void Sparse(const std::string& file, uint64_t size) {
    WriteFile(file, "");
    if (truncate(file.c_str(), static_cast<off_t>(size)) != 0) throw std::runtime_error("truncate");
  }

  // Takes every permission on `path` away. A walk of the library must then
  // run unprivileged (see RunUnprivileged) to be denied it.
  void Deny(const std::string& path) {
    if (chmod(path.c_str(), 0) != 0) throw std::runtime_error("cannot chmod " + path);
    denies = true;
  }

  // A registry file naming this library's root (or `path`) under `id`.
  std::string Config(int id, int type = 4, const std::string& path = "") {
    const std::string file = dir / ("registry-" + std::to_string(id) + ".json");
    std::ostringstream json;
    json << "{\"mountPaths\": [{\"id\": " << id << ", \"path\": \"" << (path.empty() ? root : path)
         << "\", \"type\": " << type << "}]}";
    WriteFile(file, json.str());
    return file;
  }

  TempDir dir;
  std::string root;
  bool denies = false;  // some permission was taken away
};

// The rows of a dump (header excluded), and the header.
inline std::vector<std::string> DumpRows(const std::string& dump) {
  std::vector<std::string> rows;
  size_t pos = dump.find("\r\n");
  if (pos == std::string::npos) return rows;
  pos += 2;
  while (pos < dump.size()) {
    size_t end = dump.find("\r\n", pos);
    if (end == std::string::npos) {
      rows.push_back(dump.substr(pos) + "<unterminated>");
      break;
    }
    rows.push_back(dump.substr(pos, end - pos));
    pos = end + 2;
  }
  return rows;
}

inline std::multiset<std::string> RowSet(const std::string& dump) {
  auto rows = DumpRows(dump);
  return std::multiset<std::string>(rows.begin(), rows.end());
}

constexpr char kHeader[] = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";

}  // namespace tztest
