// The chunk listers: ChunkListHelper walks a mount path on a local disk,
// CloudChunkListHelper one in cloud storage through the host's cloud
// file-system component. Both write the same dump file:
//
//   MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n
//   <mount path id>, <volume id>, <chunk id>, <size>, <0|1>\r\n   (one a chunk)
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "CloudFS.h"
#include "EvDebug.h"
#include "TzLibVolReconExport.h"

namespace tzrecon {
class CloudWalkStore;
class DumpFile;
class ReadAhead;
struct WalkState;
}

enum MountPathTraverseMode : int {
  MOUNT_PATH_TRAVERSE_NOT_SET = 0,
  MOUNT_PATH_TRAVERSE_NON_SI = 1,  // volumes without the single-instance marker
  MOUNT_PATH_TRAVERSE_SI = 2,      // volumes with the single-instance marker
};

class TZRECON_API ChunkListHelper {
 public:
  ChunkListHelper();
  ChunkListHelper(std::string mountPath, int mountPathId, unsigned int copyId,
                  MountPathTraverseMode traverseMode);
  ~ChunkListHelper();
  ChunkListHelper(const ChunkListHelper&) = delete;
  ChunkListHelper& operator=(const ChunkListHelper&) = delete;

  void Initialize();

  // Creates the dump file, writes the header and every chunk of the mount
  // path, and closes the file. True when the whole walk succeeded.
  bool Dump(std::string dumpFileName);

  bool EnumerateVolumes(std::string mountPath, unsigned int copyId);
  bool IsSIVolume(std::string volumePath);
  bool VerifyCopyIdOnVolume(std::string volumePath, unsigned int copyId);

  bool EnumerateChunkFolders(std::string volumePath);
  bool EnumSIChunkFiles(std::string chunkFolderPath);
  bool OnChunk(std::string chunkPath);
  uint64_t GetFileSize(std::string path);

  // Checks a chunk's volume and chunk ids against its chunk map trailer.
  bool VerifyVolumeAndChunkIdFromCMT(std::string trailerPath, int volumeId,
                                     int chunkId);
  // Splits the next "name value\n" record of a trailer in place. `end` is
  // one past the last byte read from the trailer; no scan passes it.
  // Returns 0 when a record was split, -1 when none can be.
  static int GetNextNameValue(char*& cursor, char*& name, char*& value,
                              const char* end);

 private:
  // The lister's state as the walk sees it (Walk.h).
  tzrecon::WalkState State();

  std::string m_mountPath;
  int m_mountPathId;
  unsigned int m_copyId;
  MountPathTraverseMode m_traverseMode;
  std::string m_dumpFileName;
  EvDebug m_debug;
  FILE* m_dumpFile;
  bool m_isSIVolume;
  tzrecon::DumpFile* m_dump = nullptr;  // the dump being written, while Dump runs
  tzrecon::ReadAhead* m_readAhead = nullptr;  // Dump's read-ahead window, while Dump runs
};

class TZRECON_API CloudChunkListHelper {
 public:
  CloudChunkListHelper(std::string mountPath, int mountPathId,
                       unsigned int copyId, MountPathTraverseMode traverseMode,
                       int cloudHostParam);
  ~CloudChunkListHelper();
  CloudChunkListHelper(const CloudChunkListHelper&) = delete;
  CloudChunkListHelper& operator=(const CloudChunkListHelper&) = delete;

  // Looks the mount path up again and opens the cloud file system. A second
  // call releases what the first opened and opens it anew; after a failed
  // call the lister holds nothing and refuses to dump.
  bool init();
  bool Dump(std::string dumpFileName);

  bool EnumerateVolumes(std::string mountPath, unsigned int copyId);
  bool IsSIVolume(std::string volumePath);
  bool VerifyCopyIdOnVolume(std::string volumePath, unsigned int copyId);

  bool EnumerateChunkFolders(std::string volumePath);
  bool OnChunk(std::string chunkPath);
  uint64_t GetFileSize(std::string chunkPath);

  bool VerifyVolumeAndChunkIdFromCMT(std::string trailerPath, int volumeId,
                                     int chunkId);
  static int GetNextNameValue(char*& cursor, char*& name, char*& value,
                              const char* end);

  // The init record as init() filled it.
  const CFSInitParams& InitParams() const { return m_initParams; }

 private:
  tzrecon::WalkState State();
  // The component's objects as the walk asks them.
  tzrecon::CloudWalkStore Store();
  bool OpenComponents();
  void ReleaseComponents();
  // Logs under `tag` and returns false when init has not succeeded.
  bool CheckInitialized(const char* tag);

  std::string m_mountPath;
  std::string m_userName;
  std::string m_password;
  std::string m_lookupText;
  int m_serverType;
  int m_lookupInt1;
  int m_lookupInt2;
  int m_mountPathType;
  int m_cloudHostParam;
  int m_mountPathId;
  unsigned int m_copyId;
  bool m_initialized;
  MountPathTraverseMode m_traverseMode;
  std::string m_dumpFileName;
  EvDebug m_debug;
  FILE* m_dumpFile;
  bool m_isSIVolume;
  std::unique_ptr<CCloudFS> m_cloudFS;
  std::unique_ptr<CFSInterface> m_fsInterface;
  std::unique_ptr<CFileInterface> m_fileInterface;
  CFSInitParams m_initParams;
  tzrecon::DumpFile* m_dump = nullptr;  // the dump being written, while Dump runs
};
