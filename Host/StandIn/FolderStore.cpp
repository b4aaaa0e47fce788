// The folder store: a cloud mount path kept in a local folder, with cloud
// paths taken as local paths.
//
// A path must be the root or lie under it, compared by whole components
// ("/srv/lib" does not contain "/srv/library"; repeated "/" and "."
// components are ignored), and may not hold a ".." component. This guards
// against a caller composing paths wrongly; it is no security boundary, as
// symbolic links inside the root are followed wherever they lead.

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "CloudStore.h"
#include "Interrupted.h"

namespace {

// Takes the next component of `rest` into `component`, skipping separators
// and "." components; false when none is left.
bool NextComponent(std::string_view& rest, std::string_view& component) {
  for (;;) {
    const size_t start = rest.find_first_not_of('/');
    if (start == std::string_view::npos) return false;
    rest.remove_prefix(start);
    const size_t length = std::min(rest.find('/'), rest.size());
    component = rest.substr(0, length);
    rest.remove_prefix(length);
    if (component != ".") return true;
  }
}

class FolderStore : public CloudStore {
 public:
  explicit FolderStore(std::string root) : m_root(std::move(root)) {}

  CJwError List(const std::string& path, std::vector<std::string>& files,
                std::vector<std::string>& folders) override;
  CJwError Exists(const std::string& path, bool& exists) override;
  CJwError Size(const std::string& path, uint64_t& size) override;
  CJwError ReadPrefix(const std::string& path, void* buffer, size_t length,
                      size_t& bytesRead) override;

 private:
  // No error when `path` may be used.
  CJwError CheckPath(const std::string& path) const;

  std::string m_root;
};

CJwError FolderStore::CheckPath(const std::string& path) const {
  const auto refuse = [&](const char* why) {
    return CJwError(JW_ERR_FAILED, "path [" + path + "] refused: " + why +
                                       " (folder store root [" + m_root + "])");
  };
  if (m_root.empty()) return refuse("the store has no root folder");
  std::string_view rest(path), component;
  while (NextComponent(rest, component))
    if (component == "..") return refuse("it holds a \"..\" component");

  // An absolute root holds only absolute paths, a relative one only
  // relative paths.
  if ((m_root[0] == '/') != (!path.empty() && path[0] == '/'))
    return refuse("it is not under the root");
  std::string_view rootRest(m_root), rootComponent;
  rest = path;
  while (NextComponent(rootRest, rootComponent)) {
    if (!NextComponent(rest, component) || component != rootComponent)
      return refuse("it is not under the root");
  }
  return CJwError();
}

CJwError FolderStore::List(const std::string& path,
                           std::vector<std::string>& files,
                           std::vector<std::string>& folders) {
  files.clear();
  folders.clear();
  CJwError error = CheckPath(path);
  if (error.IsError()) return error;

  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return CJwError::FromErrno(errno, "open directory", path.c_str());
  // Closed however the listing ends, a failed allocation included.
  const std::unique_ptr<DIR, int (*)(DIR*)> stream(fdopendir(fd), closedir);
  DIR* const dir = stream.get();
  if (dir == nullptr) {
    const int err = errno;
    close(fd);
    return CJwError::FromErrno(err, "open directory", path.c_str());
  }
  for (;;) {
    errno = 0;
    const struct dirent* d = readdir(dir);
    if (d == nullptr) {
      if (errno != 0)
        error = CJwError::FromErrno(errno, "read directory", path.c_str());
      break;
    }
    const char* name = d->d_name;
    if (name[0] == '.' &&
        (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
      continue;
    bool folder = d->d_type == DT_DIR;
    if (d->d_type == DT_UNKNOWN || d->d_type == DT_LNK) {
      // Ask the file system, following links. A link that leads nowhere
      // (or into a loop) is listed as a file; any other failure fails the
      // listing rather than guess.
      struct stat status;
      if (fstatat(dirfd(dir), name, &status, 0) == 0) {
        folder = S_ISDIR(status.st_mode);
      } else if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP) {
        error = CJwError::FromErrno(errno, "stat", (path + "/" + name).c_str());
        break;
      }
    }
    (folder ? folders : files).emplace_back(name);
  }
  if (error.IsError()) {
    files.clear();
    folders.clear();
  }
  return error;
}

CJwError FolderStore::Exists(const std::string& path, bool& exists) {
  exists = false;
  CJwError error = CheckPath(path);
  if (error.IsError()) return error;
  struct stat status;
  if (stat(path.c_str(), &status) == 0) {
    exists = true;
    return CJwError();
  }
  if (errno == ENOENT || errno == ENOTDIR) return CJwError();
  return CJwError::FromErrno(errno, "stat", path.c_str());
}

CJwError FolderStore::Size(const std::string& path, uint64_t& size) {
  CJwError error = CheckPath(path);
  if (error.IsError()) return error;
  struct stat status;
  if (stat(path.c_str(), &status) != 0)
    return CJwError::FromErrno(errno, "stat", path.c_str());
  size = static_cast<uint64_t>(status.st_size);
  return CJwError();
}

CJwError FolderStore::ReadPrefix(const std::string& path, void* buffer,
                                 size_t length, size_t& bytesRead) {
  bytesRead = 0;
  CJwError error = CheckPath(path);
  if (error.IsError()) return error;

  // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; the
  // file type check below then refuses it. O_NOATIME is only allowed to the
  // file's owner, so it is dropped when the kernel says EPERM.
  const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
  int fd = open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), flags);
  if (fd < 0) return CJwError::FromErrno(errno, "open", path.c_str());

  struct stat status;
  if (fstat(fd, &status) != 0) {
    error = CJwError::FromErrno(errno, "stat", path.c_str());
  } else if (!S_ISREG(status.st_mode)) {
    error = CJwError(JW_ERR_FAILED,
                     "read failed for [" + path + "]: not a regular file");
  } else {
    char* out = static_cast<char*>(buffer);
    while (bytesRead < length) {
      const ssize_t n =
          tzhost::RetryInterrupted([&] { return read(fd, out + bytesRead, length - bytesRead); });
      if (n < 0) {
        error = CJwError::FromErrno(errno, "read", path.c_str());
        break;
      }
      if (n == 0) break;
      bytesRead += static_cast<size_t>(n);
    }
  }
  close(fd);
  return error;
}

}  // namespace

std::shared_ptr<CloudStore> MakeFolderStore(const std::string& root) {
  return std::make_shared<FolderStore>(root);
}
