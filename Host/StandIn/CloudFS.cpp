// The cloud file-system component: its public classes on top of a store.

#include "CloudFS.h"

#include <string.h>

#include <algorithm>
#include <utility>

#include "CloudStore.h"
#include "EvDebug.h"
#include "Registry.h"

std::shared_ptr<CloudStore> OpenCloudStore(const CFSInitParams& params,
                                           CJwError& error) {
  tzhost::MountPathEntry entry;
  std::string reason;
  if (!tzhost::LookupMountPath(params.mountPathId, entry, reason)) {
    // Ignored on purpose: the folder store needs no settings, so a mount
    // path without a usable registry entry is served from the folder that
    // the init record names. The reason goes to the log at level 2.
    EvDebug log;
    log.DebugLvl("OpenCloudStore", 2,
                 "No registry entry for mount path %d (%s); using the folder "
                 "store on [%s]",
                 params.mountPathId, reason.c_str(),
                 params.host.hostPath.c_str());
  } else if (!entry.endpoint.empty()) {
#ifdef TZHOST_WITH_S3
    std::shared_ptr<CloudStore> store = MakeS3Store(entry, error);
    if (store == nullptr && !error.IsError())
      error =
          CJwError(JW_ERR_FAILED, "cannot open the S3 store of mount path " +
                                      std::to_string(params.mountPathId));
    return store;
#else
    error = CJwError(JW_ERR_FAILED, "S3 store not built: mount path " +
                                        std::to_string(params.mountPathId) +
                                        " names the endpoint [" +
                                        entry.endpoint + "]");
    return nullptr;
#endif
  }
  return MakeFolderStore(params.host.hostPath);
}

namespace {

// Reads one object at a time. Open fetches a window from the start of the
// object, which serves every read that fits in it (media labels and chunk
// map trailers are shorter), so such a read costs the store nothing.
class StoreFileInterface : public CFileInterface {
 public:
  explicit StoreFileInterface(const CFSInitParams& params)
      : m_store(OpenCloudStore(params, m_storeError)) {}

  CJwError Open(std::string path, int mode, int flags, int options) override;
  CJwError Close() override;
  CJwError Read(void* buffer, int length, int& bytesRead) override;

 private:
  static constexpr size_t kWindow = 4096;

  CJwError m_storeError;  // why m_store is null; declared before it
  std::shared_ptr<CloudStore> m_store;
  bool m_open = false;
  std::string m_path;
  size_t m_windowLength = 0;  // below kWindow: the object is that short
  char m_window[kWindow];
};

CJwError StoreFileInterface::Open(std::string path, int /*mode*/, int /*flags*/,
                                  int /*options*/) {
  Close();
  if (m_store == nullptr) return m_storeError;
  size_t length = 0;
  CJwError error = m_store->ReadPrefix(path, m_window, kWindow, length);
  if (error.IsError()) return error;
  m_path = std::move(path);
  m_windowLength = length;
  m_open = true;
  return CJwError();
}

CJwError StoreFileInterface::Close() {
  m_open = false;
  m_path.clear();
  m_windowLength = 0;
  return CJwError();
}

CJwError StoreFileInterface::Read(void* buffer, int length, int& bytesRead) {
  bytesRead = 0;
  if (!m_open) return CJwError(JW_ERR_FAILED, "read: no file is open");
  if (length < 0)
    return CJwError(JW_ERR_FAILED, "read [" + m_path + "]: negative length " +
                                       std::to_string(length));
  if (length > 0 && buffer == nullptr)
    return CJwError(JW_ERR_FAILED, "read [" + m_path + "]: no buffer given");

  const size_t wanted = static_cast<size_t>(length);
  if (wanted <= kWindow || m_windowLength < kWindow) {
    const size_t count = std::min(wanted, m_windowLength);
    memcpy(buffer, m_window, count);
    bytesRead = static_cast<int>(count);
    return CJwError();
  }
  size_t count = 0;
  CJwError error = m_store->ReadPrefix(m_path, buffer, wanted, count);
  bytesRead = static_cast<int>(count);
  return error;
}

class StoreFSInterface : public CFSInterface {
 public:
  explicit StoreFSInterface(const CFSInitParams& params) : m_params(params) {}
  CFileInterface* GetFileInterface() override {
    return new StoreFileInterface(m_params);
  }

 private:
  CFSInitParams m_params;
};

}  // namespace

CFileInterface::~CFileInterface() {}

CFSInterface::~CFSInterface() {}

CFSInterface* CFSInterface::GetFSInterfaceInstance(
    const CFSInitParams& params) {
  return new StoreFSInterface(params);
}

struct CCloudFS::Impl {
  CJwError storeError;  // why store is null
  std::shared_ptr<CloudStore> store;
};

CCloudFS::CCloudFS(const CFSInitParams& params) : m_impl(new Impl) {
  m_impl->store = OpenCloudStore(params, m_impl->storeError);
}

CCloudFS::~CCloudFS() { delete m_impl; }

CJwError CCloudFS::FileExists(std::string path, bool& exists) {
  if (m_impl->store == nullptr) return m_impl->storeError;
  return m_impl->store->Exists(path, exists);
}

CJwError CCloudFS::Stat(std::string path, struct stat& status) {
  memset(&status, 0, sizeof status);
  if (m_impl->store == nullptr) return m_impl->storeError;
  uint64_t size = 0;
  CJwError error = m_impl->store->Size(path, size);
  if (!error.IsError()) status.st_size = static_cast<off_t>(size);
  return error;
}

CJwError CCloudFS::ListDirectory(std::string path,
                                 std::vector<std::string>& fileNames,
                                 std::vector<std::string>& folderNames) {
  fileNames.clear();
  folderNames.clear();
  if (m_impl->store == nullptr) return m_impl->storeError;
  CJwError error = m_impl->store->List(path, fileNames, folderNames);
  if (error.IsError()) {
    fileNames.clear();
    folderNames.clear();
  }
  return error;
}
