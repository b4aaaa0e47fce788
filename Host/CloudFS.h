// Host cloud file-system component.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "JwFile.h"
#include "TzHostExport.h"

struct CFSHost {
  int32_t hostKind = 0;
  std::string hostText;
  std::string hostPath;  // root of the mount path in the store
  std::string hostExtra;
  CFSHost() {}
  ~CFSHost() {}
};

struct CFSUser {
  std::string userName;
  std::string password;
  int64_t userFlags = 0;
  CFSUser() {}
  ~CFSUser() {}
};

struct CFSInitParams {
  int32_t initKind;
  int32_t serverType = -1;
  int64_t reserved64 = 0;
  int32_t reserved32a = 0;
  CFSHost host;
  CFSUser user;
  std::string reservedText1;
  int32_t mountPathId = 0;
  int32_t reserved32b = 0;
  std::string reservedText2;
  int32_t reserved32c = 0;
  CFSInitParams() {}
  ~CFSInitParams() {}
};

// Reads one file at a time.
class TZHOST_API CFileInterface {
 public:
  virtual ~CFileInterface();
  // Opens `path` for reading.
  virtual CJwError Open(std::string path, int mode, int flags, int options) = 0;
  virtual CJwError Close() = 0;
  // Reads up to `length` bytes from the start of the open file; `bytesRead`
  // tells how many arrived. A short count is not an error by itself.
  virtual CJwError Read(void* buffer, int length, int& bytesRead) = 0;
};

class TZHOST_API CFSInterface {
 public:
  virtual ~CFSInterface();
  // A new interface for the store that `params` name; the caller owns it.
  static CFSInterface* GetFSInterfaceInstance(const CFSInitParams& params);
  // A new file interface on the same store; the caller owns it.
  virtual CFileInterface* GetFileInterface() = 0;
};

class TZHOST_API CCloudFS {
 public:
  explicit CCloudFS(const CFSInitParams& params);
  virtual ~CCloudFS();
  CCloudFS(const CCloudFS&) = delete;
  CCloudFS& operator=(const CCloudFS&) = delete;

  // Sets `exists`; an absent file is not an error.
  virtual CJwError FileExists(std::string path, bool& exists);
  // Only st_size is filled in.
  virtual CJwError Stat(std::string path, struct stat& status);
  // The bare names of the files and of the folders directly under `path`.
  virtual CJwError ListDirectory(std::string path,
                                 std::vector<std::string>& fileNames,
                                 std::vector<std::string>& folderNames);

 private:
  struct Impl;
  Impl* m_impl;
};
