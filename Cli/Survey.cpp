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
#include "Interrupted.h"
#include "StorageLayout.h"

namespace tzcli {

namespace {

namespace layout = tzrecon::layout;

constexpr size_t kMaxVolumes = 1000000;

// The little a survey reads of a mount path.
class MountPathReader {
 public:
  virtual ~MountPathReader() = default;
  // The names of the folders directly under `path`; false with `error`.
  virtual bool Folders(const std::string& path, std::vector<std::string>& names,
                       std::string& error) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // Reads up to `length` bytes from the start of `path`; -1 on failure.
  virtual long Read(const std::string& path, char* buffer, size_t length) = 0;
};

// A mount path on a local file system, read with plain system calls.
class DiskReader : public MountPathReader {
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
      const ssize_t n =
          tzhost::RetryInterrupted([&] { return read(fd, buffer + done, length - done); });
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
    return static_cast<long>(done);
  }
};

// A cloud mount path, read through the host's cloud file system
// (CCloudFS, CFSInterface) as the cloud lister reads it.
class CloudFSReader : public MountPathReader {
 public:
  explicit CloudFSReader(const tzhost::MountPathEntry& entry) {
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

// The copy id a label names, read as the dump reads it; false when the label
// is short or the number does not fit.
bool LabelCopyId(const char* label, long length, int32_t& copyId) {
  if (length < static_cast<long>(layout::kLabelReadSize)) return false;
  return layout::ReadLabelCopyId(label, copyId);
}

std::string Plural(size_t count, const char* one, const char* many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

// What the volume folders of a mount path hold.
struct VolumeCensus {
  size_t volumes = 0, marked = 0, unreadable = 0;
  // Per copy id named: volumes with and without the marker.
  std::map<int64_t, std::pair<size_t, size_t>> copies;
};

VolumeCensus TakeCensus(MountPathReader& reader, const std::string& root,
                        const std::vector<std::string>& folders) {
  VolumeCensus census;
  std::vector<char> label(layout::kLabelReadSize);
  for (const std::string& name : folders) {
    if (name.compare(0, sizeof layout::kVolumePrefix - 1, layout::kVolumePrefix) != 0) continue;
    ++census.volumes;
    const std::string volume = root + "/" + name + "/";
    const bool si = reader.Exists(volume + layout::kSIMarker);
    if (si) ++census.marked;
    int32_t id = 0;
    const long got = reader.Read(volume + layout::kMediaLabel, label.data(), label.size());
    if (!LabelCopyId(label.data(), got, id)) {
      ++census.unreadable;
      continue;
    }
    auto& counts = census.copies[id];
    (si ? counts.first : counts.second)++;
  }
  return census;
}

// "no rows; the mount path [...] holds 3 volume folders: ...".
std::string SeenLine(const std::string& root, const VolumeCensus& census) {
  std::string seen = "no rows; the mount path [" + root + "] holds " +
                     Plural(census.volumes, "volume folder", "volume folders");
  if (census.volumes == 0) return seen;
  seen += ": " + std::to_string(census.marked) + " single-instanced, " +
          std::to_string(census.volumes - census.marked) + " not";
  if (!census.copies.empty()) {
    seen += "; their media labels name ";
    size_t shown = 0;
    for (const auto& [id, counts] : census.copies) {
      if (shown++ == 8) {
        seen += ", ...";
        break;
      }
      seen += (shown > 1 ? ", copy " : "copy ") + std::to_string(id) + " (" +
              std::to_string(counts.first + counts.second) + ")";
    }
  }
  if (census.unreadable > 0)
    seen += "; " + Plural(census.unreadable, "label", "labels") + " unreadable";
  return seen;
}

// What to try, from what the census found of copy `copyId`.
std::string HintLine(const std::string& root, const VolumeCensus& census, int32_t copyId,
                     bool singleInstanced) {
  const auto it = census.copies.find(copyId);
  if (census.volumes == 0)
    return "hint: no volume folder V_<id> under [" + root +
           "]: is the registry's path the mount path itself?";
  if (it == census.copies.end())
    return "hint: no volume belongs to copy " + std::to_string(copyId) + ": check --copy-id";
  if (singleInstanced && it->second.first == 0)
    return "hint: the " + Plural(it->second.second, "volume", "volumes") + " of copy " +
           std::to_string(copyId) + " are not single-instanced: leave out --single-instanced";
  if (!singleInstanced && it->second.second == 0)
    return "hint: the " + Plural(it->second.first, "volume", "volumes") + " of copy " +
           std::to_string(copyId) + " are single-instanced: add --single-instanced";
  return "hint: the volumes of copy " + std::to_string(copyId) +
         " that match hold no chunk entry CHUNK_<id>";
}

}  // namespace

std::vector<std::string> ExplainNoRows(const tzhost::MountPathEntry& entry, int32_t copyId,
                                       bool singleInstanced) {
  std::unique_ptr<MountPathReader> reader;
  try {
    if (entry.type == 7)
      reader = std::make_unique<CloudFSReader>(entry);
    else
      reader = std::make_unique<DiskReader>();
  } catch (const std::exception& e) {
    return {"no rows; the mount path could not be looked at: " + std::string(e.what())};
  }
  std::string root = entry.path;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::vector<std::string> folders;
  std::string error;
  if (!reader->Folders(root, folders, error))
    return {"no rows; the mount path [" + root + "] cannot be listed here: " + error};
  const VolumeCensus census = TakeCensus(*reader, root, folders);
  return {SeenLine(root, census), HintLine(root, census, copyId, singleInstanced)};
}

}  // namespace tzcli
