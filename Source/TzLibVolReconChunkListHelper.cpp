#include "TzLibVolReconChunkListHelper.h"

#include <new>
#include <vector>

#include "DumpFile.h"
#include "Lend.h"
#include "LibraryLayout.h"
#include "ReadAhead.h"
#include "TrailerFormat.h"
#include "TzpiFileSystemAgent.h"
#include "Walk.h"
#include "WalkStores.h"

// Both listers are faces over one walk (Walk.h): each method builds the
// walk over its store with the lister's own state and asks it.

namespace {

const char kDumpTag[] = "ChunkListHelper::Dump";

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

tzrecon::WalkState ChunkListHelper::State() {
  return {m_debug, m_mountPath, m_mountPathId, m_traverseMode, m_dump, m_isSIVolume};
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
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State()).Volumes(std::move(mountPath), copyId);
}

// Logs nothing: the walk's own check reports a marker that cannot be
// examined.
bool ChunkListHelper::IsSIVolume(std::string volumePath) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State()).HasMarker(std::move(volumePath));
}

bool ChunkListHelper::VerifyCopyIdOnVolume(std::string volumePath, unsigned int copyId) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State()).Label(volumePath, copyId) ==
         tzrecon::Walk::Check::kPass;
}

bool ChunkListHelper::EnumerateChunkFolders(std::string volumePath) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State()).ChunkFolders(std::move(volumePath));
}

bool ChunkListHelper::EnumSIChunkFiles(std::string chunkFolderPath) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State())
      .ChunkFolderFiles(std::move(chunkFolderPath));
}

bool ChunkListHelper::OnChunk(std::string chunkPath) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State()).Chunk(chunkPath);
}

uint64_t ChunkListHelper::GetFileSize(std::string path) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State()).Size(path);
}

bool ChunkListHelper::VerifyVolumeAndChunkIdFromCMT(std::string trailerPath, int volumeId,
                                                    int chunkId) {
  tzrecon::DiskWalkStore store(m_readAhead);
  return tzrecon::Walk(tzrecon::kDiskRules, store, State())
             .Trailer(trailerPath, volumeId, chunkId) == tzrecon::Walk::Check::kPass;
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

tzrecon::WalkState CloudChunkListHelper::State() {
  return {m_debug, m_mountPath, m_mountPathId, m_traverseMode, m_dump, m_isSIVolume};
}

tzrecon::CloudWalkStore CloudChunkListHelper::Store() {
  return tzrecon::CloudWalkStore(m_cloudFS.get(), m_fileInterface.get(), m_initialized);
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
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State()).Volumes(std::move(mountPath), copyId);
}

// Logs nothing: the walk's own check reports a store that fails.
bool CloudChunkListHelper::IsSIVolume(std::string volumePath) {
  if (!m_initialized) return false;
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State()).HasMarker(std::move(volumePath));
}

bool CloudChunkListHelper::VerifyCopyIdOnVolume(std::string volumePath, unsigned int copyId) {
  if (!CheckInitialized("ChunkListHelper::VerifyVolume")) return false;
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State()).Label(volumePath, copyId) ==
         tzrecon::Walk::Check::kPass;
}

bool CloudChunkListHelper::EnumerateChunkFolders(std::string volumePath) {
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State()).ChunkFolders(std::move(volumePath));
}

bool CloudChunkListHelper::OnChunk(std::string chunkPath) {
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State()).Chunk(chunkPath);
}

uint64_t CloudChunkListHelper::GetFileSize(std::string chunkPath) {
  if (!CheckInitialized("ChunkListHelper::GetFileSize")) return 0;
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State()).Size(chunkPath);
}

bool CloudChunkListHelper::VerifyVolumeAndChunkIdFromCMT(std::string trailerPath, int volumeId,
                                                         int chunkId) {
  if (!CheckInitialized("ChunkListHelper::GetVolumeAndChunkIdFromCMT")) return false;
  tzrecon::CloudWalkStore store = Store();
  return tzrecon::Walk(tzrecon::kCloudRules, store, State())
             .Trailer(trailerPath, volumeId, chunkId) == tzrecon::Walk::Check::kPass;
}

int CloudChunkListHelper::GetNextNameValue(char*& cursor, char*& name, char*& value,
                                           const char* end) {
  return tzrecon::SplitTrailerRecord(cursor, name, value, end);
}
