// The stores behind the stand-in cloud file-system component. A store serves
// one mount path; the component picks it from the init record and the
// registry entry of the record's mount path id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "CloudFS.h"
#include "JwFile.h"

class CloudStore {
 public:
  virtual ~CloudStore() = default;
  // Bare names of the files and folders directly under `path`.
  virtual CJwError List(const std::string& path, std::vector<std::string>& files,
                        std::vector<std::string>& folders) = 0;
  // An absent file is no error: `exists` stays false.
  virtual CJwError Exists(const std::string& path, bool& exists) = 0;
  // An absent file is an error with code JW_ERR_NOT_FOUND.
  virtual CJwError Size(const std::string& path, uint64_t& size) = 0;
  // Reads up to `length` bytes from the start of the file. An absent file is
  // an error with code JW_ERR_NOT_FOUND; any other failure JW_ERR_FAILED.
  virtual CJwError ReadPrefix(const std::string& path, void* buffer,
                              size_t length, size_t& bytesRead) = 0;
};

// The store for `params`: the S3 store when the registry entry of
// params.mountPathId has an "endpoint", the local folder store otherwise.
// Returns null and sets `error` when no store can be made.
std::shared_ptr<CloudStore> OpenCloudStore(const CFSInitParams& params,
                                           CJwError& error);

// The local folder store: cloud paths are paths of the local file system.
std::shared_ptr<CloudStore> MakeFolderStore(const std::string& root);

namespace tzhost {
struct MountPathEntry;
}

// The S3 store for a registry entry with an "endpoint" (built when the S3
// folder is present; see TZHOST_WITH_S3).
std::shared_ptr<CloudStore> MakeS3Store(const tzhost::MountPathEntry& entry,
                                        CJwError& error);
