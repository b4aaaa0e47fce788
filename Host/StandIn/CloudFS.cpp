// The cloud file-system component: its public classes on top of a store.

#include "CloudFS.h"

#include <string.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "CloudStore.h"
#include "EvDebug.h"
#include "Registry.h"

std::shared_ptr<CloudStore> OpenCloudStore(const CFSInitParams& params,
                                           CJwError& error) {
  tzhost::MountPathEntry entry;
  std::string reason;
  // The registry entry says which kind of store serves the mount path. One
  // that cannot be read opens none: serving the mount path from whatever
  // folder happens to share its name would list the wrong storage.
  if (!tzhost::LookupMountPath(params.mountPathId, entry, reason)) {
    error = CJwError(JW_ERR_FAILED, "no cloud store for mount path " +
                                        std::to_string(params.mountPathId) +
                                        ": " + reason);
    return nullptr;
  }
  if (entry.endpoint.empty()) return MakeFolderStore(params.host.hostPath);
#ifdef TZHOST_WITH_S3
  std::shared_ptr<CloudStore> store = MakeS3Store(entry, error);
  if (store == nullptr && !error.IsError())
    error = CJwError(JW_ERR_FAILED, "cannot open the S3 store of mount path " +
                                        std::to_string(params.mountPathId));
  return store;
#else
  error = CJwError(JW_ERR_FAILED, "S3 store not built: mount path " +
                                      std::to_string(params.mountPathId) +
                                      " names the endpoint [" + entry.endpoint +
                                      "]");
  return nullptr;
#endif
}

namespace {

// A lister opens an interface and then a CCloudFS from the same init record;
// both must use one store (one registry read, one HTTP client). The store
// that the last interface of this thread opened is remembered here, weakly,
// with the record it was opened for, and a CCloudFS made from an equal
// record on the same thread shares it. Per thread, because a store serves
// one thread at a time.
struct LastStore {
  std::string key;
  std::weak_ptr<CloudStore> store;
};
thread_local LastStore t_lastStore;

std::string StoreKey(const CFSInitParams& params) {
  std::string key = std::to_string(params.mountPathId);
  for (const std::string* part :
       {&params.host.hostPath, &params.host.hostText, &params.user.userName,
        &params.user.password}) {
    key += '\0';
    key += std::to_string(part->size());
    key += ':';
    key += *part;
  }
  key += '\0';
  key += std::to_string(params.serverType);
  return key;
}

void ReportStoreFailure(const CFSInitParams& params, const CJwError& error) {
  EvDebug log;
  log.DebugLvl("CFSInterface::GetFSInterfaceInstance", -1,
               "Cannot open the cloud store of mount path %d: %s",
               params.mountPathId, error.AsString().c_str());
}


// Reads one object at a time. Open fetches a window from the start of the
// object, which serves every read that fits in it (media labels and chunk
// map trailers are shorter), so such a read costs the store nothing.
class StoreFileInterface : public CFileInterface {
 public:
  explicit StoreFileInterface(std::shared_ptr<CloudStore> store)
      : m_store(std::move(store)) {}

  CJwError Open(std::string path, int mode, int flags, int options) override;
  CJwError Close() override;
  CJwError Read(void* buffer, int length, int& bytesRead) override;

 private:
  static constexpr size_t kWindow = 4096;

  std::shared_ptr<CloudStore> m_store;  // never null
  bool m_open = false;
  std::string m_path;
  size_t m_windowLength = 0;  // below kWindow: the object is that short
  char m_window[kWindow];
};

CJwError StoreFileInterface::Open(std::string path, int /*mode*/, int /*flags*/,
                                  int /*options*/) {
  Close();
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
  explicit StoreFSInterface(std::shared_ptr<CloudStore> store)
      : m_store(std::move(store)) {}
  CFileInterface* GetFileInterface() override {
    return new StoreFileInterface(m_store);
  }

 private:
  std::shared_ptr<CloudStore> m_store;  // never null
};

}  // namespace

CFileInterface::~CFileInterface() {}

CFSInterface::~CFSInterface() {}

// Null when the store cannot be opened (the reason is logged): an interface
// without a store would only fail later, at the first label it reads.
CFSInterface* CFSInterface::GetFSInterfaceInstance(
    const CFSInitParams& params) {
  CJwError error;
  std::shared_ptr<CloudStore> store = OpenCloudStore(params, error);
  if (store == nullptr) {
    ReportStoreFailure(params, error);
    return nullptr;
  }
  t_lastStore.key = StoreKey(params);
  t_lastStore.store = store;
  return new StoreFSInterface(std::move(store));
}

struct CCloudFS::Impl {
  CJwError storeError;  // why store is null
  std::shared_ptr<CloudStore> store;
};

CCloudFS::CCloudFS(const CFSInitParams& params) : m_impl(nullptr) {
  std::unique_ptr<Impl> impl(new Impl);
  if (t_lastStore.key == StoreKey(params)) impl->store = t_lastStore.store.lock();
  if (impl->store == nullptr) impl->store = OpenCloudStore(params, impl->storeError);
  m_impl = impl.release();
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
