// The two stores the walk asks (StoreSeam.h): a mount path on a local disk,
// through the host's directory and file services and the platform's reads,
// with the read-ahead window working ahead in each chunk folder; and one in
// cloud storage, through the host's cloud file-system component. Not
// installed and not exported.
#pragma once

#include <optional>

#include "StoreSeam.h"
#include "VolumeFolder.h"

class CCloudFS;
class CFileInterface;

namespace tzrecon {

class ReadAhead;

class DiskWalkStore : public WalkStore {
 public:
  // `window` may be null (a walk started outside Dump).
  explicit DiskWalkStore(ReadAhead* window) : m_window(window) {}

  Listed List(const std::string& folder, const char* prefix, const Visit& visit,
              std::string& error) override;
  StoreAnswer Exists(const std::string& path) override;
  StoreAnswer Read(const std::string& path, char* buffer, size_t length, size_t& got) override;
  StoreAnswer Size(const std::string& path, uint64_t& size) override;

  void EnterChunkFolder(const std::string& volumePath, bool singleInstanced) override;
  void LeaveChunkFolder() override { m_folder.reset(); }

 private:
  ReadAhead* m_window;
  // The volume folder whose chunks are being listed: trailers are opened
  // relative to it, and the window works ahead in it.
  std::optional<VolumeFolder> m_folder;
  // The walk entered the folder and has not listed its chunks yet: the next
  // listing is theirs (the listings of a single-instanced volume's chunk
  // folders come within it).
  bool m_chunksToList = false;
};

class CloudWalkStore : public WalkStore {
 public:
  // The component's objects, owned by the lister; null until it is
  // initialized, when `ready` is false.
  CloudWalkStore(CCloudFS* cloudFS, CFileInterface* files, bool ready)
      : m_cloudFS(cloudFS), m_files(files), m_ready(ready) {}

  bool Ready(EvDebug& debug, const char* tag) override;
  // Folders first, then files, each in the component's order.
  Listed List(const std::string& folder, const char* prefix, const Visit& visit,
              std::string& error) override;
  StoreAnswer Exists(const std::string& path) override;
  StoreAnswer Read(const std::string& path, char* buffer, size_t length, size_t& got) override;
  StoreAnswer Size(const std::string& path, uint64_t& size) override;

 private:
  CCloudFS* m_cloudFS;
  CFileInterface* m_files;
  bool m_ready;
};

}  // namespace tzrecon
