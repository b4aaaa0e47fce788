#include "Survey.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "CloudFS.h"

namespace tzcli {

namespace {

// The copy id is decimal text at byte 1007 of the media label, of which a
// dump reads 1551 bytes.
constexpr size_t kLabelCopyIdOffset = 1007;
constexpr size_t kLabelReadSize = 1551;
constexpr size_t kMaxVolumes = 1000000;

// The little a survey reads of a mount path.
class Store {
 public:
  virtual ~Store() = default;
  // The names of the folders directly under `path`; false with `error`.
  virtual bool Folders(const std::string& path, std::vector<std::string>& names,
                       std::string& error) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // Reads up to `length` bytes from the start of `path`; -1 on failure.
  virtual long Read(const std::string& path, char* buffer, size_t length) = 0;
};

class DiskStore : public Store {
 public:
  bool Folders(const std::string& path, std::vector<std::string>& names,
               std::string& error) override {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
      error = std::strerror(errno);
      return false;
    }
    while (struct dirent* entry = readdir(dir)) {
      struct stat st;
      const std::string full = path + "/" + entry->d_name;
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0 &&
          stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        names.push_back(entry->d_name);
      if (names.size() >= kMaxVolumes) break;
    }
    closedir(dir);
    return true;
  }
  bool Exists(const std::string& path) override {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }
  long Read(const std::string& path, char* buffer, size_t length) override {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t done = 0;
    while (done < length) {
      const ssize_t n = read(fd, buffer + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<long>(done);
  }
};

class CloudStore : public Store {
 public:
  explicit CloudStore(const tzhost::MountPathEntry& entry) {
    m_params.initKind = 1;
    m_params.serverType = entry.serverType;
    m_params.mountPathId = entry.id;
    m_params.host.hostPath = entry.path;
    m_params.user.userName = entry.user;
    m_params.user.password = entry.password;
    if (!entry.passwordEnv.empty()) {
      const char* password = getenv(entry.passwordEnv.c_str());
      if (password != nullptr) m_params.user.password = password;
    }
    m_cloud = std::make_unique<CCloudFS>(m_params);
    m_fs.reset(CFSInterface::GetFSInterfaceInstance(m_params));
    if (m_fs) m_file.reset(m_fs->GetFileInterface());
  }
  bool Folders(const std::string& path, std::vector<std::string>& names,
               std::string& error) override {
    std::vector<std::string> files;
    const CJwError result = m_cloud->ListDirectory(path, files, names);
    if (result.IsError()) error = result.AsString();
    return !result.IsError();
  }
  bool Exists(const std::string& path) override {
    bool exists = false;
    m_cloud->FileExists(path, exists);
    return exists;
  }
  long Read(const std::string& path, char* buffer, size_t length) override {
    if (!m_file || m_file->Open(path, 0, 256, 0).IsError()) return -1;
    int count = 0;
    const CJwError error = m_file->Read(buffer, static_cast<int>(length), count);
    m_file->Close();
    return error.IsError() ? -1 : count;
  }

 private:
  CFSInitParams m_params;
  std::unique_ptr<CCloudFS> m_cloud;
  std::unique_ptr<CFSInterface> m_fs;
  std::unique_ptr<CFileInterface> m_file;
};

// The copy id a label names, read as the dump reads it (leading blanks, a
// sign, digits); false when the label is short or the number does not fit.
bool LabelCopyId(const char* label, long length, int64_t& copyId) {
  if (length < static_cast<long>(kLabelReadSize)) return false;
  const char* p = label + kLabelCopyIdOffset;
  const char* end = label + kLabelReadSize;
  while (p < end && (*p == ' ' || (*p >= '\t' && *p <= '\r'))) ++p;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 2147483648LL) return false;
  }
  copyId = negative ? -value : value;
  return copyId >= INT32_MIN && copyId <= INT32_MAX;
}

std::string Plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::vector<std::string> ExplainNoRows(const tzhost::MountPathEntry& entry, int32_t copyId,
                                       bool singleInstanced) {
  std::vector<std::string> lines;
  std::unique_ptr<Store> store;
  try {
    if (entry.type == 7)
      store = std::make_unique<CloudStore>(entry);
    else
      store = std::make_unique<DiskStore>();
  } catch (const std::exception& e) {
    lines.push_back("no rows; the mount path could not be looked at: " + std::string(e.what()));
    return lines;
  }
  std::string root = entry.path;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::vector<std::string> folders;
  std::string error;
  if (!store->Folders(root, folders, error)) {
    lines.push_back("no rows; the mount path [" + root + "] cannot be listed here: " + error);
    return lines;
  }
  size_t volumes = 0, marked = 0, unreadable = 0;
  // Per copy id named: volumes with and without the marker.
  std::map<int64_t, std::pair<size_t, size_t>> copies;
  std::vector<char> label(kLabelReadSize);
  for (const std::string& name : folders) {
    if (name.compare(0, 2, "V_") != 0) continue;
    ++volumes;
    const std::string volume = root + "/" + name + "/";
    const bool si = store->Exists(volume + ".tzsivolume");
    if (si) ++marked;
    int64_t id = 0;
    if (!LabelCopyId(label.data(), store->Read(volume + "MEDIA_LABEL", label.data(), label.size()),
                     id)) {
      ++unreadable;
      continue;
    }
    auto& counts = copies[id];
    (si ? counts.first : counts.second)++;
  }

  std::string seen = "no rows; the mount path [" + root + "] holds " +
                     Plural(volumes, "volume folder", "volume folders");
  if (volumes > 0) {
    seen += ": " + std::to_string(marked) + " single-instanced, " +
            std::to_string(volumes - marked) + " not";
    if (!copies.empty()) {
      seen += "; their media labels name ";
      size_t shown = 0;
      for (const auto& [id, counts] : copies) {
        if (shown++ == 8) {
          seen += ", ...";
          break;
        }
        seen += (shown > 1 ? ", copy " : "copy ") + std::to_string(id) + " (" +
                std::to_string(counts.first + counts.second) + ")";
      }
    }
    if (unreadable > 0) seen += "; " + Plural(unreadable, "label", "labels") + " unreadable";
  }
  lines.push_back(seen);

  const auto it = copies.find(copyId);
  if (volumes == 0) {
    lines.push_back("hint: no volume folder V_<id> under [" + root +
                    "]: is the registry's path the mount path itself?");
  } else if (it == copies.end()) {
    lines.push_back("hint: no volume belongs to copy " + std::to_string(copyId) +
                    ": check --copy-id");
  } else if (singleInstanced && it->second.first == 0) {
    lines.push_back("hint: the " + Plural(it->second.second, "volume", "volumes") + " of copy " +
                    std::to_string(copyId) +
                    " are not single-instanced: leave out --single-instanced");
  } else if (!singleInstanced && it->second.second == 0) {
    lines.push_back("hint: the " + Plural(it->second.first, "volume", "volumes") + " of copy " +
                    std::to_string(copyId) + " are single-instanced: add --single-instanced");
  } else {
    lines.push_back("hint: the volumes of copy " + std::to_string(copyId) +
                    " that match hold no chunk entry CHUNK_<id>");
  }
  return lines;
}

}  // namespace tzcli
