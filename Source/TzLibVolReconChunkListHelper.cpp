#include "TzLibVolReconChunkListHelper.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <vector>

#include "JwFile.h"
#include "DumpFile.h"
#include "ReadAhead.h"
#include "LibraryLayout.h"
#include "ReadFailure.h"
#include "SystemCalls.h"
#include "TrailerFormat.h"
#include "TzpiFileSystemAgent.h"
#include "VolumeFolder.h"

using tzrecon::ChunkPath;
using tzrecon::ChunkPathParts;
using tzrecon::EnsureTrailingSlash;
using tzrecon::ReadFailure;

namespace {

const char kDumpTag[] = "ChunkListHelper::Dump";
const char kVolumesTag[] = "ChunkListHelper::EnumerateVolumes";
const char kVerifyVolumeTag[] = "ChunkListHelper::VerifyVolume";
const char kTrailerTag[] = "ChunkListHelper::GetVolumeAndChunkIdFromCMT";

const char kSIMarker[] = ".tzsivolume";
const char kMediaLabel[] = "MEDIA_LABEL";
const char kTrailerPrefix[] = "CHUNKMAP_TRAILER_";

std::string TrailerPath(const std::string& chunkPath, const ChunkPathParts& parts) {
  std::string path(chunkPath, 0, parts.volumeFolderLength);
  path += '/';
  path += kTrailerPrefix;
  path += std::to_string(parts.chunkId);
  return path;
}

// What the walk makes of a file it could not open or read with `error`:
// true (after a level -1 line naming the path and the error) when the
// system failed and the walk must stop, false when the file is left out.
bool SystemFailed(EvDebug& debug, const char* tag, const std::string& path, int error) {
  if (tzrecon::ClassifyErrno(error) == ReadFailure::kLeftOut) return false;
  char text[128];
  debug.DebugLvl(tag, -1, "Error :: Failed to read [%s], error=%s (errno %d)", path.c_str(),
                 strerror_r(error, text, sizeof text), error);
  return true;
}

// The same for a read of the file open at `fd` that failed with `error`:
// what is not a regular file (a FIFO, a device, a folder) is unreadable by
// its nature, whatever its read reported.
bool ReadFailed(EvDebug& debug, const char* tag, const std::string& path, int fd, int error) {
  struct stat status;
  if (fstat(fd, &status) == 0 && !S_ISREG(status.st_mode)) return false;
  return SystemFailed(debug, tag, path, error);
}

// Whether an error value of the host's or the cloud component's says the
// entry is absent (left out) rather than that the host or the store failed.
bool Absent(const CJwError& error) {
  return tzrecon::ClassifyHostError(error) == ReadFailure::kLeftOut;
}

// A chunk's size; 0, after a level -1 line, when its status cannot be had
// (the row is still written, so the chunk is not missing from the dump).
template <typename StatFunction>
uint64_t MeasureWith(EvDebug& debug, const std::string& path, StatFunction stat) {
  struct stat status;
  std::memset(&status, 0, sizeof status);
  const CJwError error = stat(path, status);
  if (!error.IsError()) return static_cast<uint64_t>(status.st_size);
  debug.DebugLvl("ChunkListHelper::GetFileSize", -1, "Failed to get the file size, Ignoring, error=%s",
                 error.AsString().c_str());
  return 0;
}

// Appends one row; a failed write fails the walk.
bool WriteRow(EvDebug& debug, const char* tag, tzrecon::DumpFile* dump, int mountPathId,
              const ChunkPathParts& parts, uint64_t size, bool si) {
  return dump != nullptr &&
         dump->WriteRow(debug, tag, mountPathId, parts.volumeId, parts.chunkId, size, si);
}

// The dump driver of both listers: refuses an unset traverse mode or file
// name, creates the file with its header, runs the walk, and closes the
// file whatever the walk returned. While the walk runs the lister reaches
// the file through `stream` and `active`; both are cleared however the walk
// ends, before the file object closes the stream.
template <typename Walk>
bool DriveDump(EvDebug& debug, MountPathTraverseMode mode, const std::string& mountPath,
               std::string dumpFileName, std::string& storedName, FILE*& stream,
               tzrecon::DumpFile*& active, Walk walk) {
  if (mode == MOUNT_PATH_TRAVERSE_NOT_SET) {
    debug.DebugLvl(kDumpTag, -1, "Error :: Traverse mode is not set for mount path [%s]",
                   mountPath.c_str());
    return false;
  }
  if (dumpFileName.empty()) {
    debug.DebugLvl(kDumpTag, -1, "Error :: Dump File name is not set");
    return false;
  }
  storedName = std::move(dumpFileName);
  tzrecon::DumpFile file;
  if (!file.Create(debug, kDumpTag, storedName)) return false;
  struct Attachment {
    FILE*& stream;
    tzrecon::DumpFile*& active;
    ~Attachment() {
      stream = nullptr;
      active = nullptr;
    }
  } attachment{stream, active};
  stream = file.Stream();
  active = &file;
  const bool walked = walk();
  stream = nullptr;
  active = nullptr;
  return file.Close(debug, kDumpTag) && walked;
}

// The length of the mount path with its trailing "/".
size_t MountPathLength(const std::string& mountPath) {
  return mountPath.size() + (mountPath.empty() || mountPath.back() != '/' ? 1 : 0);
}

// A cloud chunk entry: "CHUNK_" and a decimal id after the name's last "_"
// (as OnChunk reads it). Text there without digits would read as chunk 0
// and give a row for a chunk that does not exist (the disk walk leaves such
// a name out when it finds no trailer for it). A name that ends in "_"
// stays a chunk entry whose path cannot be read, and fails the walk.
bool IsCloudChunkName(const std::string& name) {
  if (!tzrecon::MatchesPrefixPattern(name, "CHUNK_")) return false;
  const size_t id = name.rfind('_') + 1;
  if (id == name.size()) return true;
  int32_t value = 0;
  return tzrecon::ReadDecimal(name.c_str() + id, name.c_str() + name.size(), value) !=
         tzrecon::Decimal::kNoDigits;
}

// What both listers' OnChunk make of a chunk path before measuring it.
enum class ChunkStart {
  kRow,       // ids read: measure the chunk and write its row
  kPassOver,  // not a chunk of this dump: no row, the walk goes on
  kFail,      // no dump stream, or a path that cannot be read: the walk fails
};

ChunkStart StartChunk(EvDebug& debug, const char* tag, FILE* dumpFile,
                      const std::string& mountPath, const std::string& chunkPath,
                      ChunkPathParts& parts) {
  if (dumpFile == nullptr) {
    debug.DebugLvl(tag, -1, "Error :: Dump file handle is stale.");
    return ChunkStart::kFail;
  }
  debug.DebugLvl(tag, 2, "Dumping Chunk Info [%s]", chunkPath.c_str());
  switch (tzrecon::ReadChunkPath(MountPathLength(mountPath), chunkPath, parts)) {
    case ChunkPath::kMalformed:
      return ChunkStart::kFail;
    case ChunkPath::kForeignVolume:
      return ChunkStart::kPassOver;
    case ChunkPath::kOk:
      break;
  }
  if (parts.chunkIdOutOfRange) {
    debug.DebugLvl(tag, -1, "Error :: Chunk id of [%s] is out of range, skipping",
                   chunkPath.c_str());
    return ChunkStart::kPassOver;
  }
  return ChunkStart::kRow;
}

}  // namespace

// ---------------------------------------------------------------------------
// ChunkListHelper: a mount path on a local disk.

ChunkListHelper::ChunkListHelper() : m_debug(nullptr) { Initialize(); }

ChunkListHelper::ChunkListHelper(std::string mountPath, int mountPathId, unsigned int copyId,
                                 MountPathTraverseMode traverseMode)
    : ChunkListHelper() {
  m_mountPath = std::move(mountPath);
  m_mountPathId = mountPathId;
  m_copyId = copyId;
  m_traverseMode = traverseMode;
}

ChunkListHelper::~ChunkListHelper() = default;

void ChunkListHelper::Initialize() {
  m_mountPath.clear();
  m_traverseMode = MOUNT_PATH_TRAVERSE_NOT_SET;
  m_dumpFileName.clear();
  m_dumpFile = nullptr;
  m_mountPathId = -1;
  m_copyId = 0;
  m_isSIVolume = false;
}

bool ChunkListHelper::Dump(std::string dumpFileName) {
  return tzrecon::Guarded(m_debug, kDumpTag, "writing the dump", [&] {
    return DriveDump(m_debug, m_traverseMode, m_mountPath, std::move(dumpFileName),
                     m_dumpFileName, m_dumpFile, m_dump, [this] {
                       // One window for the whole walk: io_uring is set up
                       // at most once, the first time a trailer is not cached.
                       tzrecon::ReadAhead window(m_debug);
                       tzrecon::Lend<tzrecon::ReadAhead> lend(m_readAhead, &window);
                       return EnumerateVolumes(m_mountPath, m_copyId);
                     });
  });
}

bool ChunkListHelper::EnumerateVolumes(std::string mountPath, unsigned int copyId) {
  m_isSIVolume = false;
  if (mountPath.empty() || copyId == 0xFFFFFFFFu) {
    m_debug.DebugLvl(kVolumesTag, -1, "Error :: Either mount path [%s] or copy id is not set",
                     m_mountPath.c_str());
    return false;
  }
  EnsureTrailingSlash(mountPath);

  CJwDirectory directory;
  CJwError error = directory.Open(mountPath.c_str(), "V_*", true);
  if (error.IsError()) {
    m_debug.DebugLvl(kVolumesTag, -1, "Failed to open directory [%s], error=%s", mountPath.c_str(),
                     error.AsString().c_str());
    return false;
  }
  bool end = false;
  SJwDirEntry entry;
  error = directory.GetEntry(&entry, end);
  if (error.IsError()) {
    m_debug.DebugLvl(kVolumesTag, -1, "Failed to get directory entry");
    directory.Close();
    return false;
  }
  std::string volumePath;
  while (!end) {
    volumePath.assign(mountPath).append(entry.name.c_str());
    bool si = false;
    if (!CheckSIMarker(volumePath, si)) {
      directory.Close();
      return false;
    }
    m_isSIVolume = si;
    const bool modeMatches = si ? m_traverseMode == MOUNT_PATH_TRAVERSE_SI
                                : m_traverseMode == MOUNT_PATH_TRAVERSE_NON_SI;
    const Check label = modeMatches ? CheckCopyId(volumePath, copyId) : Check::kLeftOut;
    if (label == Check::kFailing || (label == Check::kPass && !EnumerateChunkFolders(volumePath))) {
      directory.Close();
      return false;
    }
    error = directory.GetEntry(&entry, end);
    if (error.IsError()) {
      // A listing that breaks off is not a complete one: the volumes after
      // this point would be missing from the dump.
      m_debug.DebugLvl(kVolumesTag, -1, "Failed to get directory entry");
      directory.Close();
      return false;
    }
  }
  directory.Close();
  return true;
}

// Logs nothing: the walk's own check reports a marker that cannot be
// examined.
bool ChunkListHelper::IsSIVolume(std::string volumePath) {
  EnsureTrailingSlash(volumePath);
  volumePath += kSIMarker;
  struct stat status;
  return !CJwFile::Stat(volumePath.c_str(), status).IsError();
}

bool ChunkListHelper::CheckSIMarker(const std::string& volumePath, bool& singleInstanced) {
  std::string markerPath = volumePath;
  EnsureTrailingSlash(markerPath);
  markerPath += kSIMarker;
  struct stat status;
  CJwError error = CJwFile::Stat(markerPath.c_str(), status);
  singleInstanced = !error.IsError();
  if (error.IsError() && !Absent(error)) {
    m_debug.DebugLvl(kVolumesTag, -1,
                     "Error :: Failed to check the single-instance marker [%s], error=%s",
                     markerPath.c_str(), error.AsString().c_str());
    return false;
  }
  return true;
}

bool ChunkListHelper::VerifyCopyIdOnVolume(std::string volumePath, unsigned int copyId) {
  return CheckCopyId(volumePath, copyId) == Check::kPass;
}

ChunkListHelper::Check ChunkListHelper::CheckCopyId(const std::string& volumePath,
                                                    unsigned int copyId) {
  std::string labelPath = volumePath;
  EnsureTrailingSlash(labelPath);
  labelPath += kMediaLabel;
  const int fd = tzrecon::OpenForReading(labelPath.c_str());
  if (fd < 0) {
    const int error = errno;
    m_debug.DebugLvl(kVerifyVolumeTag, -1, "Error :: Failed to open volume label file [%s]",
                     labelPath.c_str());
    return SystemFailed(m_debug, kVerifyVolumeTag, labelPath, error) ? Check::kFailing
                                                                     : Check::kLeftOut;
  }
  char label[tzrecon::kLabelReadSize];
  const long got = tzrecon::ReadUpTo(fd, label, sizeof label);
  const int error = errno;
  Check check = Check::kPass;
  if (got != static_cast<long>(sizeof label)) {
    m_debug.DebugLvl(kVerifyVolumeTag, -1, "Error :: Media-label file Read error(%s)",
                     labelPath.c_str());
    check = got < 0 && ReadFailed(m_debug, kVerifyVolumeTag, labelPath, fd, error)
                ? Check::kFailing
                : Check::kLeftOut;
  }
  close(fd);
  if (check != Check::kPass) return check;
  return tzrecon::LabelCarriesCopyId(label, copyId) ? Check::kPass : Check::kLeftOut;
}

bool ChunkListHelper::EnumerateChunkFolders(std::string volumePath) {
  static const char kTag[] = "ChunkListHelper::EnumerateChunkFolders";
  EnsureTrailingSlash(volumePath);

  CJwDirectory directory;
  CJwError error = directory.Open(volumePath.c_str(), "CHUNK_*", true);
  if (error.IsError()) {
    m_debug.DebugLvl(kTag, -1, " Failed to open volume [%s], error=%s", volumePath.c_str(),
                     error.AsString().c_str());
    return false;
  }
  // Trailers lie in this folder, and the window works ahead in it.
  tzrecon::VolumeFolder folder(volumePath, m_readAhead, m_traverseMode == MOUNT_PATH_TRAVERSE_SI);
  tzrecon::Lend<tzrecon::VolumeFolder> lend(m_volumeFolder, &folder);
  bool end = false;
  SJwDirEntry entry;
  std::string chunkPath;
  for (;;) {
    error = directory.GetEntry(&entry, end);
    if (error.IsError()) {
      // Whether it is the first entry or a later one, the volume's listing
      // is incomplete and so would the dump be.
      m_debug.DebugLvl(kTag, -1, "Failed to get entries from [%s], error=%s", volumePath.c_str(),
                       error.AsString().c_str());
      directory.Close();
      return false;
    }
    if (end) break;
    folder.At(entry.name.c_str());
    chunkPath.assign(volumePath).append(entry.name.c_str());
    bool ok = true;
    if (m_traverseMode == MOUNT_PATH_TRAVERSE_SI)
      ok = EnumSIChunkFiles(chunkPath);
    else if (m_traverseMode == MOUNT_PATH_TRAVERSE_NON_SI)
      ok = OnChunk(chunkPath);
    if (!ok) {
      directory.Close();
      return false;
    }
  }
  directory.Close();
  return true;
}

bool ChunkListHelper::EnumSIChunkFiles(std::string chunkFolderPath) {
  static const char kTag[] = "ChunkListHelper::EnumSIChunkFiles";
  EnsureTrailingSlash(chunkFolderPath);

  CJwDirectory directory;
  CJwError error = directory.Open(chunkFolderPath.c_str(), "CHUNK_META_DATA_*", true);
  if (error.IsError()) {
    m_debug.DebugLvl(kTag, -1, "Failed to open SI chunk [%s]", chunkFolderPath.c_str());
    return false;
  }
  bool end = false;
  SJwDirEntry entry;
  std::string path;
  for (;;) {
    error = directory.GetEntry(&entry, end);
    if (error.IsError()) {
      // The chunk's metadata files after this point would be missing.
      m_debug.DebugLvl(kTag, -1, "Failed to get entries from [%s], error=%s",
                       chunkFolderPath.c_str(), error.AsString().c_str());
      directory.Close();
      return false;
    }
    if (end) break;
    if (std::strstr(entry.name.c_str(), ".idx") != nullptr) continue;
    path.assign(chunkFolderPath).append(entry.name.c_str());
    // A metadata file whose path cannot be read is passed over; a row that
    // could not be written, or a system that failed, fails the walk.
    if (!OnChunk(path) && m_stopWalk) {
      directory.Close();
      return false;
    }
  }
  directory.Close();
  return true;
}

bool ChunkListHelper::OnChunk(std::string chunkPath) {
  static const char kTag[] = "ChunkListHelper::OnChunk";
  m_stopWalk = false;
  ChunkPathParts parts;
  switch (StartChunk(m_debug, kTag, m_dumpFile, m_mountPath, chunkPath, parts)) {
    case ChunkStart::kFail:
      return false;
    case ChunkStart::kPassOver:
      return true;
    case ChunkStart::kRow:
      break;
  }
  const std::string trailerPath = TrailerPath(chunkPath, parts);
  const uint64_t size = GetFileSize(std::move(chunkPath));
  const Check trailer = CheckTrailer(trailerPath, parts.volumeId, parts.chunkId);
  if (trailer == Check::kLeftOut) return true;
  m_stopWalk = trailer == Check::kFailing ||
               !WriteRow(m_debug, kTag, m_dump, m_mountPathId, parts, size, m_isSIVolume);
  return !m_stopWalk;
}

uint64_t ChunkListHelper::GetFileSize(std::string path) {
  return MeasureWith(m_debug, path, [](const std::string& p, struct stat& status) {
    return CJwFile::Stat(p.c_str(), status);
  });
}

bool ChunkListHelper::VerifyVolumeAndChunkIdFromCMT(std::string trailerPath, int volumeId,
                                                    int chunkId) {
  return CheckTrailer(trailerPath, volumeId, chunkId) == Check::kPass;
}

ChunkListHelper::Check ChunkListHelper::CheckTrailer(const std::string& trailerPath,
                                                     int volumeId, int chunkId) {
  const int fd = m_volumeFolder != nullptr ? m_volumeFolder->OpenTrailer(trailerPath)
                                           : tzrecon::OpenForReading(trailerPath.c_str());
  if (fd < 0) {
    const int error = errno;
    m_debug.DebugLvl(kTrailerTag, -1, "Error :: Failed to open volume label file [%s]",
                     trailerPath.c_str());
    return SystemFailed(m_debug, kTrailerTag, trailerPath, error) ? Check::kFailing
                                                                  : Check::kLeftOut;
  }
  char buffer[tzrecon::kTrailerReadSize + 1];
  const long got = m_volumeFolder != nullptr
                       ? m_volumeFolder->ReadTrailer(fd, buffer, tzrecon::kTrailerReadSize)
                       : tzrecon::ReadUpTo(fd, buffer, tzrecon::kTrailerReadSize);
  const int error = errno;
  if (got != static_cast<long>(tzrecon::kTrailerReadSize)) {
    m_debug.DebugLvl(kTrailerTag, -1, "Error :: Failed to read 1024 bytes from CMT");
    const bool failed = got < 0 && ReadFailed(m_debug, kTrailerTag, trailerPath, fd, error);
    close(fd);
    if (failed) return Check::kFailing;
    m_debug.DebugLvl(kTrailerTag, -1, "Error :: Chunk map trailer [%s] is left out: %s",
                     trailerPath.c_str(), got < 0 ? "unreadable" : "shorter than 1024 bytes");
    return Check::kLeftOut;
  }
  close(fd);
  buffer[tzrecon::kTrailerReadSize] = '\0';
  return tzrecon::VerifyTrailerRecords(buffer, tzrecon::kTrailerReadSize, volumeId, chunkId,
                                       m_debug, trailerPath)
             ? Check::kPass
             : Check::kLeftOut;
}

int ChunkListHelper::GetNextNameValue(char*& cursor, char*& name, char*& value, const char* end) {
  return tzrecon::SplitTrailerRecord(cursor, name, value, end);
}

// ---------------------------------------------------------------------------
// CloudChunkListHelper: a mount path in cloud storage, reached through the
// host's cloud file-system component.

CloudChunkListHelper::CloudChunkListHelper(std::string mountPath, int mountPathId,
                                           unsigned int copyId, MountPathTraverseMode traverseMode,
                                           int cloudHostParam)
    : m_mountPath(std::move(mountPath)),
      m_serverType(0),
      m_lookupInt1(0),
      m_lookupInt2(0),
      m_mountPathType(0),
      m_cloudHostParam(cloudHostParam),
      m_mountPathId(mountPathId),
      m_copyId(copyId),
      m_initialized(false),
      m_traverseMode(traverseMode),
      m_debug(nullptr),
      m_dumpFile(nullptr),
      m_isSIVolume(false) {}

CloudChunkListHelper::~CloudChunkListHelper() { ReleaseComponents(); }

void CloudChunkListHelper::ReleaseComponents() {
  m_initialized = false;
  // The file interface before the interface that made it.
  m_fileInterface.reset();
  m_fsInterface.reset();
  m_cloudFS.reset();
}

bool CloudChunkListHelper::CheckInitialized(const char* tag) {
  if (m_initialized) return true;
  m_debug.DebugLvl(tag, -1, "Error :: CloudChunkListHelper is not initialized");
  return false;
}

bool CloudChunkListHelper::init() {
  static const char kTag[] = "init";
  ReleaseComponents();
  const bool opened = tzrecon::Guarded(m_debug, kTag, "opening the cloud file system",
                                       [this] { return OpenComponents(); });
  if (!opened) ReleaseComponents();
  m_initialized = opened;
  return opened;
}

bool CloudChunkListHelper::OpenComponents() {
  static const char kTag[] = "init";
  std::string mountPathRoot;
  {
    TZPI_FileSystemAgent agent;
    if (agent.getMagneticMountPathInfo(m_mountPathId, 2, mountPathRoot, m_userName, m_password,
                                       m_mountPathType, m_serverType, m_lookupInt1, m_lookupInt2,
                                       m_lookupText) != 1) {
      m_debug.DebugLvl(kTag, 2, "Failed to fetch mountpath[%d] info from registry", m_mountPathId);
      return false;
    }
  }
  if (m_mountPathType != MOUNT_PATH_TYPE_CLOUD) {
    m_debug.DebugLvl(kTag, 2, "mountpath[%d] is not of cloud type, returning failure",
                     m_mountPathId);
    return false;
  }
  m_initParams.initKind = 1;
  m_initParams.serverType = m_serverType;
  m_initParams.mountPathId = m_mountPathId;
  // The host text is one character: the low 8 bits of the host parameter.
  m_initParams.host.hostText.assign(1, static_cast<char>(m_cloudHostParam & 0xFF));
  m_initParams.host.hostPath = mountPathRoot;
  m_initParams.user.userName = m_userName;
  m_initParams.user.password = m_password;

  m_fsInterface.reset(CFSInterface::GetFSInterfaceInstance(m_initParams));
  if (m_fsInterface) m_fileInterface.reset(m_fsInterface->GetFileInterface());
  // A component that opens no store gives no interface; every volume check
  // reads its label through the file interface, so without one the lister
  // cannot serve.
  if (m_fileInterface) m_cloudFS.reset(new (std::nothrow) CCloudFS(m_initParams));
  if (!m_cloudFS) {
    m_debug.DebugLvl(kTag, 2, "failed to intialize cloudFS fro mountpath[%d]", m_mountPathId);
    return false;
  }
  return true;
}

bool CloudChunkListHelper::Dump(std::string dumpFileName) {
  if (!CheckInitialized(kDumpTag)) return false;
  return tzrecon::Guarded(m_debug, kDumpTag, "writing the dump", [&] {
    return DriveDump(m_debug, m_traverseMode, m_mountPath, std::move(dumpFileName),
                     m_dumpFileName, m_dumpFile, m_dump,
                     [this] { return EnumerateVolumes(m_mountPath, m_copyId); });
  });
}

bool CloudChunkListHelper::EnumerateVolumes(std::string mountPath, unsigned int copyId) {
  m_isSIVolume = false;
  if (mountPath.empty() || copyId == 0xFFFFFFFFu) {
    m_debug.DebugLvl(kVolumesTag, -1, "Error :: Either mount path [%s] or copy id is not set",
                     m_mountPath.c_str());
    return false;
  }
  if (!CheckInitialized(kVolumesTag)) return false;
  std::vector<std::string> fileNames, folderNames;
  // The listing is asked for with the path exactly as received.
  CJwError error = m_cloudFS->ListDirectory(mountPath, fileNames, folderNames);
  EnsureTrailingSlash(mountPath);
  if (error.IsError()) {
    m_debug.DebugLvl(kVolumesTag, -1, "Failed to open directory [%s], error=%s", mountPath.c_str(),
                     error.AsString().c_str());
    return false;
  }
  std::string volumePath;
  for (const std::string& name : folderNames) {
    if (!tzrecon::MatchesPrefixPattern(name, "V_")) {
      m_debug.DebugLvl(kVolumesTag, -1, "This is not a volume folder [%s], skipping", name.c_str());
      continue;
    }
    volumePath.assign(mountPath).append(name);
    bool si = false;
    if (CheckSIMarker(volumePath, si) == VolumeCheck::kStoreFailed) return false;
    const bool modeMatches = si ? m_traverseMode == MOUNT_PATH_TRAVERSE_SI
                                : m_traverseMode == MOUNT_PATH_TRAVERSE_NON_SI;
    if (!modeMatches) continue;
    switch (CheckCopyId(volumePath, copyId)) {
      case VolumeCheck::kSkip:
        continue;
      case VolumeCheck::kStoreFailed:
        return false;
      case VolumeCheck::kPass:
        break;
    }
    if (!EnumerateChunkFolders(volumePath)) return false;
  }
  return true;
}

// Logs nothing: the walk's own check reports a store that fails.
bool CloudChunkListHelper::IsSIVolume(std::string volumePath) {
  if (!m_initialized) return false;
  EnsureTrailingSlash(volumePath);
  volumePath += kSIMarker;
  bool exists = false;
  const CJwError error = m_cloudFS->FileExists(volumePath, exists);
  return exists && !error.IsError();
}

CloudChunkListHelper::VolumeCheck CloudChunkListHelper::CheckSIMarker(const std::string& volumePath,
                                                                      bool& singleInstanced) {
  singleInstanced = false;
  if (!CheckInitialized(kVolumesTag)) return VolumeCheck::kStoreFailed;
  std::string markerPath = volumePath;
  EnsureTrailingSlash(markerPath);
  markerPath += kSIMarker;
  bool exists = false;
  CJwError error = m_cloudFS->FileExists(markerPath, exists);
  singleInstanced = exists;
  if (error.IsError() && !Absent(error)) {
    m_debug.DebugLvl(kVolumesTag, -1,
                     "Error :: Failed to check the single-instance marker [%s], error=%s",
                     markerPath.c_str(), error.AsString().c_str());
    return VolumeCheck::kStoreFailed;
  }
  return VolumeCheck::kPass;
}

bool CloudChunkListHelper::VerifyCopyIdOnVolume(std::string volumePath, unsigned int copyId) {
  return CheckCopyId(volumePath, copyId) == VolumeCheck::kPass;
}

CloudChunkListHelper::VolumeCheck CloudChunkListHelper::CheckCopyId(const std::string& volumePath,
                                                                    unsigned int copyId) {
  std::string labelPath = volumePath;
  EnsureTrailingSlash(labelPath);
  labelPath += kMediaLabel;
  if (!CheckInitialized(kVerifyVolumeTag)) return VolumeCheck::kStoreFailed;
  // An absent label means the volume is not ours to read; any other failure
  // is the store's, and skipping the volume would hide its chunks.
  CJwError error = m_fileInterface->Open(labelPath, 0, 256, 0);
  if (error.IsError()) {
    m_debug.DebugLvl(kVerifyVolumeTag, -1, "Error :: Failed to open volume label file [%s]",
                     labelPath.c_str());
    if (Absent(error)) return VolumeCheck::kSkip;
    m_debug.DebugLvl(kVerifyVolumeTag, -1, "Error :: Cloud store failed on [%s], error=%s",
                     labelPath.c_str(), error.AsString().c_str());
    return VolumeCheck::kStoreFailed;
  }
  char label[tzrecon::kLabelReadSize];
  int count = 0;
  error = m_fileInterface->Read(label, static_cast<int>(sizeof label), count);
  m_fileInterface->Close();
  if (error.IsError() || count != static_cast<int>(sizeof label)) {
    m_debug.DebugLvl(kVerifyVolumeTag, -1, "Error :: Media-label file Read error(%s)",
                     labelPath.c_str());
    if (!error.IsError() || Absent(error)) return VolumeCheck::kSkip;
    m_debug.DebugLvl(kVerifyVolumeTag, -1, "Error :: Cloud store failed on [%s], error=%s",
                     labelPath.c_str(), error.AsString().c_str());
    return VolumeCheck::kStoreFailed;
  }
  return tzrecon::LabelCarriesCopyId(label, copyId) ? VolumeCheck::kPass : VolumeCheck::kSkip;
}

bool CloudChunkListHelper::EnumerateChunkFolders(std::string volumePath) {
  static const char kTag[] = "CloudChunkListHelper::EnumerateChunkFolders";
  if (!CheckInitialized(kTag)) return false;
  std::vector<std::string> fileNames, folderNames;
  CJwError error = m_cloudFS->ListDirectory(volumePath, fileNames, folderNames);
  EnsureTrailingSlash(volumePath);
  if (error.IsError()) {
    m_debug.DebugLvl(kTag, -1, "Failed to open volume [%s], error=%s", volumePath.c_str(),
                     error.AsString().c_str());
    return false;
  }
  // A single-instanced volume's chunks are folders: in traverse mode 2 a
  // chunk entry of either kind is refused, since the walk cannot list a
  // single-instanced copy and must not pass one off as empty.
  if (m_traverseMode == MOUNT_PATH_TRAVERSE_SI) {
    for (const std::string& name : folderNames) {
      if (IsCloudChunkName(name)) {
        m_debug.DebugLvl(kTag, -1, "Dedupe Not Supported");
        return false;
      }
    }
  }
  std::string chunkPath;
  for (const std::string& name : fileNames) {
    if (!IsCloudChunkName(name)) {
      m_debug.DebugLvl(kTag, -1, "This is not a chunk [%s], skipping", name.c_str());
      continue;
    }
    if (m_traverseMode == MOUNT_PATH_TRAVERSE_SI) {
      m_debug.DebugLvl(kTag, -1, "Dedupe Not Supported");
      return false;
    }
    if (m_traverseMode == MOUNT_PATH_TRAVERSE_NON_SI) {
      chunkPath.assign(volumePath).append(name);
      if (!OnChunk(chunkPath)) return false;
    }
  }
  return true;
}

bool CloudChunkListHelper::OnChunk(std::string chunkPath) {
  static const char kTag[] = "CloudChunkListHelper::OnChunk";
  ChunkPathParts parts;
  switch (StartChunk(m_debug, kTag, m_dumpFile, m_mountPath, chunkPath, parts)) {
    case ChunkStart::kFail:
      return false;
    case ChunkStart::kPassOver:
      return true;
    case ChunkStart::kRow:
      break;
  }
  const uint64_t size = GetFileSize(std::move(chunkPath));
  return WriteRow(m_debug, kTag, m_dump, m_mountPathId, parts, size, m_isSIVolume);
}

uint64_t CloudChunkListHelper::GetFileSize(std::string chunkPath) {
  if (!CheckInitialized("ChunkListHelper::GetFileSize")) return 0;
  return MeasureWith(m_debug, chunkPath, [this](const std::string& p, struct stat& status) {
    return m_cloudFS->Stat(p, status);
  });
}

bool CloudChunkListHelper::VerifyVolumeAndChunkIdFromCMT(std::string trailerPath, int volumeId,
                                                         int chunkId) {
  if (!CheckInitialized(kTrailerTag)) return false;
  CJwError error = m_fileInterface->Open(trailerPath, 0, 256, 0);
  if (error.IsError()) {
    m_debug.DebugLvl(kTrailerTag, -1, "Error :: Failed to open volume label file [%s]",
                     trailerPath.c_str());
    return false;
  }
  std::vector<char> buffer(tzrecon::kTrailerReadSize + 1, '\0');
  int count = 0;
  error = m_fileInterface->Read(buffer.data(), static_cast<int>(tzrecon::kTrailerReadSize), count);
  m_fileInterface->Close();
  if (error.IsError() || count != static_cast<int>(tzrecon::kTrailerReadSize)) {
    m_debug.DebugLvl(kTrailerTag, -1, "Error :: Failed to read 1024 bytes from CMT");
    return false;
  }
  return tzrecon::VerifyTrailerRecords(buffer.data(), tzrecon::kTrailerReadSize, volumeId, chunkId,
                                       m_debug, trailerPath);
}

int CloudChunkListHelper::GetNextNameValue(char*& cursor, char*& name, char*& value,
                                           const char* end) {
  return tzrecon::SplitTrailerRecord(cursor, name, value, end);
}
