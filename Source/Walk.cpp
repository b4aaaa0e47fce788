#include "Walk.h"

#include <cstdio>
#include <cstring>

#include "DumpFile.h"
#include "EvDebug.h"
#include "LibraryLayout.h"
#include "Messages.h"
#include "TrailerFormat.h"

namespace tzrecon {

const WalkRules kDiskRules = {
    /*volumesAreFoldersOnly=*/false,
    /*notAVolume=*/nullptr,  // the host lists only "V_" names, and every one is walked
    /*readFailed=*/"Error :: Failed to read [%s], error=%s",
    /*chunkListingFailed=*/" Failed to open volume [%s], error=%s",
    /*chunksAreFilesOnly=*/false,
    /*notAChunk=*/nullptr,  // a name the chunk path cannot be read from fails the walk
    /*walksChunkFolders=*/true,
    /*checksTrailers=*/true,
    /*chunksTag=*/"ChunkListHelper::EnumerateChunkFolders",
    /*chunkTag=*/"ChunkListHelper::OnChunk",
};

const WalkRules kCloudRules = {
    /*volumesAreFoldersOnly=*/true,
    /*notAVolume=*/messages::kNotAVolume,
    /*readFailed=*/"Error :: Cloud store failed on [%s], error=%s",
    /*chunkListingFailed=*/"Failed to open volume [%s], error=%s",
    /*chunksAreFilesOnly=*/true,
    /*notAChunk=*/messages::kNotAChunk,
    /*walksChunkFolders=*/false,
    /*checksTrailers=*/false,
    /*chunksTag=*/"CloudChunkListHelper::EnumerateChunkFolders",
    /*chunkTag=*/"CloudChunkListHelper::OnChunk",
};

namespace {

const char kVolumesTag[] = "ChunkListHelper::EnumerateVolumes";
using messages::kTrailerTag;
using messages::kVerifyVolumeTag;
const char kSIChunkTag[] = "ChunkListHelper::EnumSIChunkFiles";

// The chunk's trailer beside it, composed into `path` (a buffer the walk
// keeps, so that no chunk costs an allocation for it).
const std::string& TrailerPath(const std::string& chunkPath, const ChunkPathParts& parts,
                               std::string& path) {
  char id[16];
  const int idLength = std::snprintf(id, sizeof id, "%d", parts.chunkId);
  path.assign(chunkPath, 0, parts.volumeFolderLength);
  path += '/';
  path += layout::kTrailerPrefix;
  path.append(id, static_cast<size_t>(idLength));
  return path;
}

std::string InFolder(std::string folder, const char* name) {
  EnsureTrailingSlash(folder);
  return folder + name;
}

// A chunk entry whose name is checked: "CHUNK_" and a decimal id after the
// name's last "_" (as the chunk path is read). Text there without digits
// would read as chunk 0 and give a row for a chunk that does not exist. A
// name that ends in "_" stays a chunk entry whose path cannot be read, and
// fails the walk.
bool IsChunkName(std::string_view name) {
  if (!MatchesPrefixPattern(name, layout::kChunkPrefix)) return false;
  const size_t id = name.rfind('_') + 1;
  if (id == name.size()) return true;
  int32_t value = 0;
  return ReadDecimal(name.data() + id, name.data() + name.size(), value) != Decimal::kNoDigits;
}

// The length of the mount path with its trailing "/".
size_t MountPathLength(const std::string& mountPath) {
  return mountPath.size() + (mountPath.empty() || mountPath.back() != '/' ? 1 : 0);
}

// Tells the store when the walk leaves a chunk folder, however it leaves.
class ChunkFolderScope {
 public:
  ChunkFolderScope(WalkStore& store, const std::string& volumePath, bool singleInstanced)
      : m_store(store) {
    m_store.EnterChunkFolder(volumePath, singleInstanced);
  }
  ~ChunkFolderScope() { m_store.LeaveChunkFolder(); }
  ChunkFolderScope(const ChunkFolderScope&) = delete;
  ChunkFolderScope& operator=(const ChunkFolderScope&) = delete;

 private:
  WalkStore& m_store;
};

}  // namespace

bool Walk::Volumes(std::string mountPath, unsigned int copyId) {
  EvDebug& debug = m_state.debug;
  m_state.isSIVolume = false;
  if (mountPath.empty() || copyId == 0xFFFFFFFFu) {
    debug.DebugLvl(kVolumesTag, -1, "Error :: Either mount path [%s] or copy id is not set",
                   m_state.mountPath.c_str());
    return false;
  }
  if (!m_store.Ready(debug, kVolumesTag)) return false;
  const std::string asReceived = mountPath;
  EnsureTrailingSlash(mountPath);
  std::string volumePath, error;
  const auto visit = [&](const char* name, EntryKind kind) {
    if (m_rules.volumesAreFoldersOnly && kind != EntryKind::kFolder) return true;
    if (m_rules.notAVolume != nullptr && !MatchesPrefixPattern(name, layout::kVolumePrefix)) {
      debug.DebugLvl(kVolumesTag, -1, m_rules.notAVolume, name);
      return true;
    }
    volumePath.assign(mountPath).append(name);
    return Volume(volumePath, copyId);
  };
  const WalkStore::Listed listed = m_store.List(asReceived, layout::kVolumePrefix, visit, error);
  if (listed == WalkStore::Listed::kOpenFailed) {
    debug.DebugLvl(kVolumesTag, -1, "Failed to open directory [%s], error=%s", mountPath.c_str(),
                   error.c_str());
    return false;
  }
  if (listed == WalkStore::Listed::kBrokeOff) {
    // A listing that breaks off is not a complete one: the volumes after
    // this point would be missing from the dump.
    debug.DebugLvl(kVolumesTag, -1, "Failed to get directory entry");
    return false;
  }
  return listed == WalkStore::Listed::kEnded;
}

// Whether a listing that opened ran to its end. One that breaks off is
// logged: whether at its first entry or a later one, the folder's listing is
// incomplete and so would the dump be.
bool Walk::ListingEnded(WalkStore::Listed listed, const char* tag, const std::string& folder,
                        const std::string& error) {
  if (listed == WalkStore::Listed::kBrokeOff)
    m_state.debug.DebugLvl(tag, -1, "Failed to get entries from [%s], error=%s", folder.c_str(),
                           error.c_str());
  return listed == WalkStore::Listed::kEnded;
}

bool Walk::Volume(const std::string& volumePath, unsigned int copyId) {
  const Marker marker = CheckMarker(volumePath);
  if (marker == Marker::kFailed) return false;
  const bool si = marker == Marker::kPresent;
  m_state.isSIVolume = si;
  const bool modeMatches = si ? m_state.traverseMode == MOUNT_PATH_TRAVERSE_SI
                              : m_state.traverseMode == MOUNT_PATH_TRAVERSE_NON_SI;
  if (!modeMatches) return true;
  switch (Label(volumePath, copyId)) {
    case Check::kFailing:
      return false;
    case Check::kLeftOut:
      return true;
    case Check::kPass:
      break;
  }
  return ChunkFolders(volumePath);
}

bool Walk::HasMarker(std::string volumePath) {
  const std::string markerPath = InFolder(std::move(volumePath), layout::kSIMarker);
  return m_store.Exists(markerPath).outcome == StoreAnswer::kOk;
}

// A marker that cannot be examined for another reason than its absence
// fails the walk: guessing either way would drop the volume or walk it
// wrongly.
Walk::Marker Walk::CheckMarker(const std::string& volumePath) {
  const std::string markerPath = InFolder(volumePath, layout::kSIMarker);
  const StoreAnswer answer = m_store.Exists(markerPath);
  switch (answer.outcome) {
    case StoreAnswer::kOk:
      return Marker::kPresent;
    case StoreAnswer::kAbsent:
      return Marker::kAbsent;
    case StoreAnswer::kFailed:
      break;
  }
  m_state.debug.DebugLvl(kVolumesTag, -1,
                         "Error :: Failed to check the single-instance marker [%s], error=%s",
                         markerPath.c_str(), answer.error.c_str());
  return Marker::kFailed;
}

Walk::Check Walk::Unreadable(const char* tag, const std::string& path, const StoreAnswer& answer) {
  if (answer.outcome != StoreAnswer::kFailed) return Check::kLeftOut;
  m_state.debug.DebugLvl(tag, -1, m_rules.readFailed, path.c_str(), answer.error.c_str());
  return Check::kFailing;
}

Walk::Check Walk::Label(const std::string& volumePath, unsigned int copyId) {
  EvDebug& debug = m_state.debug;
  const std::string labelPath = InFolder(volumePath, layout::kMediaLabel);
  char label[kLabelReadSize];
  size_t got = 0;
  const StoreAnswer answer = m_store.Read(labelPath, label, sizeof label, got);
  if (!answer.opened) {
    debug.DebugLvl(kVerifyVolumeTag, -1, messages::kCannotOpenLabel, labelPath.c_str());
    return Unreadable(kVerifyVolumeTag, labelPath, answer);
  }
  if (answer.outcome != StoreAnswer::kOk || got != sizeof label) {
    debug.DebugLvl(kVerifyVolumeTag, -1, messages::kCannotReadLabel, labelPath.c_str());
    return Unreadable(kVerifyVolumeTag, labelPath, answer);
  }
  return LabelCarriesCopyId(label, copyId) ? Check::kPass : Check::kLeftOut;
}

bool Walk::ChunkFolders(std::string volumePath) {
  EvDebug& debug = m_state.debug;
  if (!m_store.Ready(debug, m_rules.chunksTag)) return false;
  const std::string asReceived = volumePath;
  EnsureTrailingSlash(volumePath);
  std::string error;
  WalkStore::Listed listed;
  {
    ChunkFolderScope scope(m_store, volumePath, m_state.traverseMode == MOUNT_PATH_TRAVERSE_SI);
    listed = m_store.List(
        asReceived, layout::kChunkPrefix,
        [&](const char* name, EntryKind kind) { return ChunkEntry(volumePath, name, kind); },
        error);
  }
  if (listed == WalkStore::Listed::kOpenFailed) {
    debug.DebugLvl(m_rules.chunksTag, -1, m_rules.chunkListingFailed, volumePath.c_str(),
                   error.c_str());
    return false;
  }
  return ListingEnded(listed, m_rules.chunksTag, volumePath, error);
}

bool Walk::ChunkEntry(const std::string& volumePath, const char* name, EntryKind kind) {
  EvDebug& debug = m_state.debug;
  const bool singleInstanced = m_state.traverseMode == MOUNT_PATH_TRAVERSE_SI;
  if (m_rules.chunksAreFilesOnly && kind != EntryKind::kFile) {
    // A folder: where only files are chunks, a chunk folder is a
    // single-instanced volume's, which the walk cannot list.
    if (!singleInstanced || !IsChunkName(name)) return true;
    debug.DebugLvl(m_rules.chunksTag, -1, "Dedupe Not Supported");
    return false;
  }
  if (m_rules.notAChunk != nullptr && !IsChunkName(name)) {
    debug.DebugLvl(m_rules.chunksTag, -1, m_rules.notAChunk, name);
    return true;
  }
  // One buffer for every entry's path: the walk makes no allocation a chunk
  // for it.
  std::string& chunkPath = m_entryPath;
  chunkPath.assign(volumePath).append(name);
  if (singleInstanced) {
    if (m_rules.walksChunkFolders) return ChunkFolderFiles(chunkPath);
    // The copy would otherwise pass for one that holds nothing.
    debug.DebugLvl(m_rules.chunksTag, -1, "Dedupe Not Supported");
    return false;
  }
  if (m_state.traverseMode == MOUNT_PATH_TRAVERSE_NON_SI) return Chunk(chunkPath);
  return true;
}

bool Walk::ChunkFolderFiles(std::string chunkFolderPath) {
  EvDebug& debug = m_state.debug;
  EnsureTrailingSlash(chunkFolderPath);
  std::string path, error;
  const auto visit = [&](const char* name, EntryKind) {
    if (std::strstr(name, layout::kIndexSuffix) != nullptr) return true;
    path.assign(chunkFolderPath).append(name);
    // A metadata file whose path cannot be read is passed over; a row that
    // could not be written, or a system that failed, fails the walk.
    return Chunk(path) || !m_stop;
  };
  const WalkStore::Listed listed = m_store.List(chunkFolderPath, layout::kMetadataPrefix, visit, error);
  if (listed == WalkStore::Listed::kOpenFailed) {
    debug.DebugLvl(kSIChunkTag, -1, "Failed to open SI chunk [%s]", chunkFolderPath.c_str());
    return false;
  }
  return ListingEnded(listed, kSIChunkTag, chunkFolderPath, error);
}

bool Walk::Chunk(const std::string& chunkPath) {
  EvDebug& debug = m_state.debug;
  const char* tag = m_rules.chunkTag;
  m_stop = false;
  if (m_state.dump == nullptr) {
    debug.DebugLvl(tag, -1, "Error :: Dump file handle is stale.");
    return false;
  }
  debug.DebugLvl(tag, 2, messages::kDumpingChunk, chunkPath.c_str());
  ChunkPathParts parts;
  switch (ReadChunkPath(MountPathLength(m_state.mountPath), chunkPath, parts)) {
    case ChunkPath::kMalformed:
      return false;
    case ChunkPath::kForeignVolume:
      return true;  // not a chunk of this dump: no row, the walk goes on
    case ChunkPath::kOk:
      break;
  }
  if (parts.chunkIdOutOfRange) {
    debug.DebugLvl(tag, -1, messages::kChunkIdOutOfRange, chunkPath.c_str());
    return true;
  }
  const uint64_t size = Size(chunkPath);
  if (m_rules.checksTrailers) {
    switch (Trailer(TrailerPath(chunkPath, parts, m_trailerPath), parts.volumeId, parts.chunkId)) {
      case Check::kLeftOut:
        return true;
      case Check::kFailing:
        m_stop = true;
        return false;
      case Check::kPass:
        break;
    }
  }
  m_stop = !m_state.dump->WriteRow(debug, tag, m_state.mountPathId, parts.volumeId,
                                   parts.chunkId, size, m_state.isSIVolume);
  return !m_stop;
}

// A chunk whose size cannot be had still gets its row, with size 0.
uint64_t Walk::Size(const std::string& path) {
  uint64_t size = 0;
  const StoreAnswer answer = m_store.Size(path, size);
  if (answer.outcome == StoreAnswer::kOk) return size;
  m_state.debug.DebugLvl("ChunkListHelper::GetFileSize", -1,
                         messages::kSizeUnknown, answer.error.c_str());
  return 0;
}

Walk::Check Walk::Trailer(const std::string& trailerPath, int volumeId, int chunkId) {
  EvDebug& debug = m_state.debug;
  char buffer[kTrailerReadSize + 1];
  size_t got = 0;
  const StoreAnswer answer = m_store.Read(trailerPath, buffer, kTrailerReadSize, got);
  if (!answer.opened) {
    debug.DebugLvl(kTrailerTag, -1, messages::kCannotOpenLabel, trailerPath.c_str());
    return Unreadable(kTrailerTag, trailerPath, answer);
  }
  if (answer.outcome != StoreAnswer::kOk || got != kTrailerReadSize) {
    debug.DebugLvl(kTrailerTag, -1, messages::kTrailerShort);
    if (Unreadable(kTrailerTag, trailerPath, answer) == Check::kFailing) return Check::kFailing;
    debug.DebugLvl(kTrailerTag, -1, messages::kTrailerLeftOut, trailerPath.c_str(),
                   answer.outcome == StoreAnswer::kOk ? "shorter than 1024 bytes" : "unreadable");
    return Check::kLeftOut;
  }
  buffer[kTrailerReadSize] = '\0';
  return VerifyTrailerRecords(buffer, kTrailerReadSize, volumeId, chunkId, debug, trailerPath)
             ? Check::kPass
             : Check::kLeftOut;
}

}  // namespace tzrecon
