#include "TzLibVolReconciliation.h"

#include <cstddef>
#include <ctime>

#include "JwFile.h"
#include "LibraryLayout.h"
#include "Messages.h"
#include "TzLibVolReconChunkListHelper.h"
#include "TzpiFileSystemAgent.h"

// The request records are shared with hosts built separately: their field
// order and widths are part of the interface.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(_TzLibVolReconInputParams, dumpFlags) <
                  offsetof(_TzLibVolReconInputParams, dumpPath) &&
              offsetof(_TzLibVolReconInputParams, dumpPath) <
                  offsetof(_TzLibVolReconInputParams, chunkListInputs) &&
              offsetof(_TzLibVolReconInputParams, chunkListInputs) <
                  offsetof(_TzLibVolReconInputParams, reserved) &&
              offsetof(_TzLibVolReconInputParams, reserved) <
                  offsetof(_TzLibVolReconInputParams, copyId) &&
              offsetof(_TzLibVolReconInputParams, copyId) <
                  offsetof(_TzLibVolReconInputParams, cloudHostParam),
              "request record fields are in their published order");
static_assert(offsetof(ChunkListInputs, mountPathId) < offsetof(ChunkListInputs, isSingleInstanced) &&
                  offsetof(ChunkListInputs, isSingleInstanced) <
                      offsetof(ChunkListInputs, dumpFileName) &&
                  offsetof(ChunkListInputs, dumpFileName) < offsetof(ChunkListInputs, dumpFileSize),
              "chunk-lister record fields are in their published order");
#pragma GCC diagnostic pop
static_assert(sizeof(_TzLibVolReconInputParams::dumpFlags) == 4 &&
                  sizeof(_TzLibVolReconInputParams::reserved) == 8 &&
                  sizeof(_TzLibVolReconInputParams::copyId) == 4 &&
                  sizeof(_TzLibVolReconInputParams::cloudHostParam) == 4,
              "request record field widths");
static_assert(sizeof(ChunkListInputs::mountPathId) == 4 && sizeof(ChunkListInputs::isSingleInstanced) == 1 &&
                  sizeof(ChunkListInputs::dumpFileSize) == 8,
              "chunk-lister record field widths");

EvEvent g_Event;

TzLibVolReconsiliation::TzLibVolReconsiliation() : m_lastErrorCode(0), m_lastErrorText(), m_debug(nullptr) {}

TzLibVolReconsiliation::~TzLibVolReconsiliation() = default;

bool TzLibVolReconsiliation::CreateMultipleDumps(_TzLibVolReconInputParams& params) {
  static const char kTag[] = "TzLibVolReconsiliation::CreateMultipleDumps";
  // The host calls this as a function that does not throw.
  return tzrecon::Guarded(m_debug, kTag, "running the requested dumps", [&] {
    const uint32_t flags = params.dumpFlags;

    if (params.dumpPath.empty() || params.copyId == -1) {
      m_debug.DebugLvl(kTag, -1, "Error :: Dump path or SP copy id is not set.");
      return false;
    }
    if (params.dumpPath.back() != '/') params.dumpPath.push_back('/');

    if (flags == 0) {
      m_debug.DebugLvl(kTag, -1,
                       "No Dump flags set. Set one or more flags to get chunk lister, primary or "
                       "secondary SIDB dump.");
      m_debug.DebugLvl(kTag, -1, "Doing nothing as dump flag is not set");
      return false;
    }
    if ((flags & DUMP_CHUNK_LISTER) && !GetChunkListerDump(params)) return false;
    if ((flags & DUMP_SIDB_PRIMARY) && !GetSIDBPrimaryDump(params)) return false;
    if ((flags & DUMP_SIDB_SECONDARY) && !GetSIDBSecondaryDump(params)) return false;
    return true;
  });
}

namespace {

const char kChunkListerTag[] = "TzLibVolReconsiliation::GetChunkListerDump";

// Looks the mount path up in the host's registry: its root and its type.
bool LookUpMountPath(EvDebug& debug, int mountPathId, std::string& root, int& type) {
  TZPI_FileSystemAgent agent;
  std::string userName, password, unusedText;
  int serverType = 0, unused1 = 0, unused2 = 0;
  type = MOUNT_PATH_TYPE_DISK;
  if (agent.getMagneticMountPathInfo(mountPathId, 2, root, userName, password, type, serverType,
                                     unused1, unused2, unusedText) == 1)
    return true;
  debug.DebugLvl(kChunkListerTag, -1,
                 "Error :: Failed to fetch mountpath ID - [%d] info from registry, treating "
                 "this as disk disabled",
                 mountPathId);
  return false;
}

// "<folder>ChunkLister_<copy id>_<mount path id>_<time>.csv", composed
// without a length limit: any folder the file system accepts will do.
std::string DumpFileName(const std::string& folder, int copyId, int mountPathId) {
  const unsigned int now = static_cast<unsigned int>(static_cast<uint64_t>(time(nullptr)));
  return folder + "ChunkLister_" + std::to_string(copyId) + "_" + std::to_string(mountPathId) +
         "_" + std::to_string(now) + ".csv";
}

// Builds the lister for the mount path's kind and runs it.
bool RunLister(EvDebug& debug, bool cloud, const std::string& root, int mountPathId, int copyId,
               MountPathTraverseMode mode, int cloudHostParam, const std::string& dumpFileName) {
  const unsigned int copy = static_cast<unsigned int>(copyId);
  bool dumped = false;
  if (cloud) {
    CloudChunkListHelper lister(root, mountPathId, copy, mode, cloudHostParam);
    if (!lister.init()) {
      debug.DebugLvl(kChunkListerTag, -1, "Error :: Failed to initialize cloud chunk lister");
      return false;
    }
    dumped = lister.Dump(dumpFileName);
  } else {
    ChunkListHelper lister(root, mountPathId, copy, mode);
    dumped = lister.Dump(dumpFileName);
  }
  if (!dumped) debug.DebugLvl(kChunkListerTag, -1, "Error :: Failed to get chunk lister dump");
  return dumped;
}

}  // namespace

bool TzLibVolReconsiliation::GetChunkListerDump(_TzLibVolReconInputParams& params) {
  static const char* const kTag = kChunkListerTag;
  return tzrecon::Guarded(m_debug, kTag, "writing the chunk lister dump", [&] {
    if (params.chunkListInputs == nullptr) {
      m_debug.DebugLvl(kTag, -1, "Error :: Chunk list inputs is not set.");
      return false;
    }
    if (params.dumpPath.empty() || params.copyId == -1) {
      m_debug.DebugLvl(kTag, -1, "Error :: Dump path or SP copy id is not set.");
      return false;
    }
    if (params.dumpPath.back() != '/') params.dumpPath.push_back('/');

    ChunkListInputs& inputs = *params.chunkListInputs;
    const int copyId = params.copyId;
    const int mountPathId = inputs.mountPathId;
    const bool singleInstanced = inputs.isSingleInstanced;
    std::string mountPathRoot;
    int mountPathType = MOUNT_PATH_TYPE_DISK;
    if (!LookUpMountPath(m_debug, mountPathId, mountPathRoot, mountPathType)) return false;

    const std::string dumpFileName = DumpFileName(params.dumpPath, copyId, mountPathId);
    inputs.dumpFileName = dumpFileName;
    m_debug.DebugLvl(kTag, 2, "Starting chunk lister dump with following parameters:");
    m_debug.DebugLvl(kTag, 2, tzrecon::messages::kMountPath, mountPathRoot.c_str());
    m_debug.DebugLvl(kTag, 2, "Mount Path Id :: %d", mountPathId);
    m_debug.DebugLvl(kTag, 2, "Dump File Name :: %s", dumpFileName.c_str());
    m_debug.DebugLvl(kTag, 2, "Copy Id :: %d", copyId);
    m_debug.DebugLvl(kTag, 2, "Copy is :: %s Single Instanced", singleInstanced ? "" : "Not");

    if (!RunLister(m_debug, mountPathType == MOUNT_PATH_TYPE_CLOUD, mountPathRoot, mountPathId,
                   copyId, singleInstanced ? MOUNT_PATH_TRAVERSE_SI : MOUNT_PATH_TRAVERSE_NON_SI,
                   params.cloudHostParam, dumpFileName))
      return false;

    const int64_t size = GetDumpFileSize(dumpFileName);
    inputs.dumpFileSize = size;
    if (size == 0) {
      m_debug.DebugLvl(kTag, -1, "Error :: Failed to calculate the file size");
      return false;
    }
    m_debug.DebugLvl(kTag, 2, "File size of [%s] is%lld", dumpFileName.c_str(),
                     static_cast<long long>(size));
    return true;
  });
}

bool TzLibVolReconsiliation::GetSIDBPrimaryDump(_TzLibVolReconInputParams&) { return true; }

bool TzLibVolReconsiliation::GetSIDBSecondaryDump(_TzLibVolReconInputParams&) { return true; }

unsigned long TzLibVolReconsiliation::GetLastError(std::string& text) {
  text = m_lastErrorText;
  return m_lastErrorCode;
}

void TzLibVolReconsiliation::SetLastError(unsigned long code) { m_lastErrorCode = code; }

int64_t TzLibVolReconsiliation::GetDumpFileSize(std::string path) {
  static const char kTag[] = "TzLibVolReconsiliation::GetDumpFileSize";
  m_debug.DebugLvl(kTag, 2, "GetDumpFileSize for [%s]", path.c_str());
  struct stat status;
  CJwError error = CJwFile::Stat(path.c_str(), status);
  if (!error.IsError()) {
    m_debug.DebugLvl(kTag, 2, "GetDumpFileSize for [%s] - [%lld]", path.c_str(),
                     static_cast<long long>(status.st_size));
    return status.st_size;
  }
  m_debug.DebugLvl(kTag, -1, "Failed to get the file size; Ignoring, error=%s",
                   error.AsString().c_str());
  return 0;
}
