// Folder listing filtered by a name prefix.
//
// Walks run over folders with millions of entries, so the loop does no work
// per entry beyond readdir, one prefix comparison and the copy of the name.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "JwFile.h"
#include "OpenFolders.h"

namespace tzhost {
namespace {

// A walk nests a few listings at most (mount path, volume, chunk folder);
// folders beyond this depth are simply not remembered. Plain data, so the
// thread-local storage needs no destructor.
struct OpenFolder {
  const std::string* folder;
  int fd;
};
constexpr int kMaxOpenFolders = 8;
thread_local OpenFolder t_openFolders[kMaxOpenFolders];
thread_local int t_openFolderCount = 0;

}  // namespace

void RegisterOpenFolder(const std::string* folder, int fd) {
  if (t_openFolderCount < kMaxOpenFolders) t_openFolders[t_openFolderCount++] = {folder, fd};
}

void UnregisterOpenFolder(int fd) {
  for (int i = t_openFolderCount - 1; i >= 0; --i) {
    if (t_openFolders[i].fd != fd) continue;
    for (int j = i; j + 1 < t_openFolderCount; ++j) t_openFolders[j] = t_openFolders[j + 1];
    --t_openFolderCount;
    return;
  }
}

int FindOpenFolder(const char* path, size_t folderLength) {
  for (int i = t_openFolderCount - 1; i >= 0; --i) {
    const std::string& folder = *t_openFolders[i].folder;
    if (folder.size() == folderLength && memcmp(folder.data(), path, folderLength) == 0)
      return t_openFolders[i].fd;
  }
  return -1;
}

}  // namespace tzhost

struct CJwDirectory::Impl {
  DIR* dir = nullptr;
  std::string path;    // for error texts
  std::string folder;  // the path with a final "/", for tzhost::FindOpenFolder
  std::string prefix;  // the pattern up to its "*"
  bool exact = false;  // the pattern had no "*": the whole name must match
};

CJwDirectory::CJwDirectory() : m_impl(new Impl) {}

CJwDirectory::~CJwDirectory() {
  Close();
  delete m_impl;
}

CJwError CJwDirectory::Open(const char* path, const char* pattern,
                            bool /*flag*/) {
  Close();
  if (path == nullptr)
    return CJwError(JW_ERR_FAILED, "open directory: no path given");
  if (pattern == nullptr) pattern = "*";

  // Only "prefix*" and literal names are supported. Anything after the "*"
  // is refused rather than ignored, so a caller never gets entries that its
  // pattern would not match.
  const char* star = strchr(pattern, '*');
  if (star != nullptr && star[1] != '\0')
    return CJwError(JW_ERR_FAILED,
                    std::string("unsupported pattern [") + pattern + "] for [" +
                        path + "]: only a name prefix followed by \"*\"");

  // opendir opens with O_DIRECTORY and O_CLOEXEC and checks the folder with
  // one fstat; open + fdopendir would add two fcntl calls to every folder a
  // walk lists (one a chunk on single-instanced volumes).
  DIR* dir = opendir(path);
  if (dir == nullptr) return CJwError::FromErrno(errno, "open directory", path);
  m_impl->dir = dir;
  m_impl->path = path;
  m_impl->prefix.assign(pattern,
                        star != nullptr ? star - pattern : strlen(pattern));
  m_impl->exact = star == nullptr;
  m_impl->folder = m_impl->path;
  if (m_impl->folder.empty() || m_impl->folder.back() != '/') m_impl->folder.push_back('/');
  tzhost::RegisterOpenFolder(&m_impl->folder, dirfd(dir));
  return CJwError();
}

CJwError CJwDirectory::GetEntry(SJwDirEntry* entry, bool& end) {
  if (m_impl->dir == nullptr)
    return CJwError(JW_ERR_FAILED, "read directory: the directory is not open");
  if (entry == nullptr)
    return CJwError(JW_ERR_FAILED,
                    "read directory [" + m_impl->path + "]: no entry given");

  const char* prefix = m_impl->prefix.data();
  const size_t prefixLength = m_impl->prefix.size();
  for (;;) {
    // readdir reports both the end and a failure with NULL; only errno
    // tells them apart.
    errno = 0;
    const struct dirent* d = readdir(m_impl->dir);
    if (d == nullptr) {
      if (errno != 0)
        return CJwError::FromErrno(errno, "read directory",
                                   m_impl->path.c_str());
      end = true;
      return CJwError();
    }
    const char* name = d->d_name;
    if (name[0] == '.' &&
        (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    if (strncmp(name, prefix, prefixLength) != 0) continue;
    if (m_impl->exact && name[prefixLength] != '\0') continue;
    entry->name.assign(name, strlen(name));
    entry->type = d->d_type;
    end = false;
    return CJwError();
  }
}

// Closing a directory that is not open is not an error.
CJwError CJwDirectory::Close() {
  if (m_impl->dir == nullptr) return CJwError();
  DIR* dir = m_impl->dir;
  m_impl->dir = nullptr;
  tzhost::UnregisterOpenFolder(dirfd(dir));
  if (closedir(dir) != 0)
    return CJwError::FromErrno(errno, "close directory", m_impl->path.c_str());
  return CJwError();
}
