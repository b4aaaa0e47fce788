// The mount path registry: parsing and lookup.
//
// Every entry of the file is checked, not only the one asked for, so a
// broken registry fails every lookup the same way instead of depending on
// which id is asked for. Rules beyond the field types:
//   - an id may appear only once (a duplicate is an error, not "first wins");
//   - "path" must not be empty;
//   - "password" and "passwordEnv" exclude each other; the variable that
//     "passwordEnv" names is read only for the entry looked up, and must be
//     set;
//   - "addressing" is "path" or "virtual";
//   - "maxRequestsInFlight" is 1 to 64;
//   - "type" is 4 (disk, the default) or 7 (cloud): another value would be
//     walked as a disk, whatever was meant;
//   - the S3 fields (kS3Keys) belong to cloud entries only: on a disk entry
//     they would be ignored, and the mount path walked as a local folder;
//   - an entry holds only the fields of kEntryKeys: a misspelt "type" would
//     otherwise turn a cloud mount path silently into a disk one. Other
//     fields at the top level are left alone (room for comments).
// No value of the file is ever copied into an error, so neither a password
// nor a fragment of one can reach a log; that includes the name given by
// "passwordEnv", where a password is easily put by mistake. Errors quote
// field names (an unknown one escaped to printable ASCII and cut short), the
// file's name and ids only.
//
// This file depends on nothing else of the stand-in host, so a fuzz target
// can compile it on its own.

#include "Interrupted.h"
#include "Registry.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <vector>

namespace tzhost {
namespace {

using nlohmann::json;

// Every field an entry may hold. Adding a field to the registry is one line
// here and its read in ReadEntry.
const char* const kEntryKeys[] = {
    "id",       "path",        "type",     "serverType", "user",       "password",
    "passwordEnv", "endpoint", "region",   "addressing", "maxRequestsInFlight",
};

// The fields that only an S3 store reads.
const char* const kS3Keys[] = {"endpoint", "region", "addressing", "maxRequestsInFlight"};

// The values of "type" (MOUNT_PATH_TYPE_DISK and MOUNT_PATH_TYPE_CLOUD of
// the file system agent).
constexpr int kDiskType = 4;
constexpr int kCloudType = 7;

// Edit distance of `a` and `b`, counting a case change as no edit; used only
// to suggest a known field for an unknown one.
size_t Distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      const bool same = tolower(static_cast<unsigned char>(a[i - 1])) ==
                        tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// `name` for an error text: printable ASCII, other bytes as \xHH, at most
// 40 bytes.
std::string PrintableName(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (const char ch : name.substr(0, 40)) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      out += ch;
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    }
  }
  if (name.size() > 40) out += "...";
  return out;
}

// Fails on the first field of `object` that kEntryKeys does not name.
bool CheckKeys(const json& object, std::string& reason) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    const std::string& key = it.key();
    bool known = false;
    for (const char* k : kEntryKeys) known = known || key == k;
    if (known) continue;
    reason = "unknown field \"" + PrintableName(key) + "\"";
    for (const char* k : kEntryKeys)
      if (Distance(key, k) <= 2 && key.size() > 2) {
        reason += std::string(" (did you mean \"") + k + "\"?)";
        break;
      }
    return false;
  }
  return true;
}

// An error in `source`: "<source>: <reason>".
bool Fail(std::string& error, const std::string& source,
          const std::string& reason) {
  error = source + ": " + reason;
  return false;
}

// "mountPaths[2]" or, once the id is known, "mountPaths[2] (id 9)"
std::string Where(size_t index, const int* id) {
  std::string where = "mountPaths[" + std::to_string(index) + "]";
  if (id != nullptr) where += " (id " + std::to_string(*id) + ")";
  return where;
}

// The optional field `name` of `object` as an int. Returns false with a
// reason when it is present with another type or out of range.
bool ReadInt(const json& object, const char* name, bool required, int& value,
             std::string& reason) {
  auto it = object.find(name);
  if (it == object.end()) {
    if (required) reason = std::string("\"") + name + "\" is missing";
    return !required;
  }
  if (!it->is_number_integer()) {
    reason = std::string("\"") + name + "\" must be an integer";
    return false;
  }
  // Integers arrive as uint64 when not negative, as int64 otherwise.
  const bool fits = it->is_number_unsigned()
                        ? it->get<json::number_unsigned_t>() <= INT_MAX
                        : it->get<json::number_integer_t>() >= INT_MIN &&
                              it->get<json::number_integer_t>() <= INT_MAX;
  if (!fits) {
    reason = std::string("\"") + name + "\" is out of range";
    return false;
  }
  value = static_cast<int>(it->get<json::number_integer_t>());
  return true;
}

// The optional string field `name` of `object`; `present` tells whether it
// was given.
bool ReadString(const json& object, const char* name, bool required,
                std::string& value, std::string& reason,
                bool* present = nullptr) {
  auto it = object.find(name);
  if (present != nullptr) *present = it != object.end();
  if (it == object.end()) {
    if (required) reason = std::string("\"") + name + "\" is missing";
    return !required;
  }
  if (!it->is_string()) {
    reason = std::string("\"") + name + "\" must be a string";
    return false;
  }
  value = it->get<std::string>();
  return true;
}

// Reads one registry entry. `passwordEnv` receives the name of the variable
// that holds the password, if the entry names one; it is resolved later.
// `idRead` tells whether entry.id holds the entry's id, for the error text.
bool ReadEntry(const json& object, MountPathEntry& entry,
               std::string& passwordEnv, bool& idRead, std::string& reason) {
  idRead = false;
  if (!object.is_object()) {
    reason = "must be an object";
    return false;
  }
  if (!ReadInt(object, "id", true, entry.id, reason)) return false;
  idRead = true;
  if (!CheckKeys(object, reason)) return false;
  if (!ReadString(object, "path", true, entry.path, reason) ||
      !ReadInt(object, "type", false, entry.type, reason) ||
      !ReadInt(object, "serverType", false, entry.serverType, reason) ||
      !ReadString(object, "user", false, entry.user, reason) ||
      !ReadString(object, "endpoint", false, entry.endpoint, reason) ||
      !ReadString(object, "region", false, entry.region, reason) ||
      !ReadString(object, "addressing", false, entry.addressing, reason) ||
      !ReadInt(object, "maxRequestsInFlight", false, entry.maxRequestsInFlight, reason))
    return false;
  bool hasPassword = false, hasPasswordEnv = false;
  if (!ReadString(object, "password", false, entry.password, reason,
                  &hasPassword) ||
      !ReadString(object, "passwordEnv", false, passwordEnv, reason,
                  &hasPasswordEnv))
    return false;
  if (entry.path.empty()) {
    reason = "\"path\" is empty";
    return false;
  }
  if (hasPassword && hasPasswordEnv) {
    reason = "give \"password\" or \"passwordEnv\", not both";
    return false;
  }
  if (hasPasswordEnv && passwordEnv.empty()) {
    reason = "\"passwordEnv\" is empty";
    return false;
  }
  if (entry.addressing != "path" && entry.addressing != "virtual") {
    reason = "\"addressing\" must be \"path\" or \"virtual\"";
    return false;
  }
  if (entry.maxRequestsInFlight < 1 || entry.maxRequestsInFlight > 64) {
    reason = "\"maxRequestsInFlight\" must be 1 to 64";
    return false;
  }
  if (entry.type != kDiskType && entry.type != kCloudType) {
    reason = "\"type\" must be 4 (disk, the default) or 7 (cloud)";
    return false;
  }
  for (const char* key : kS3Keys)
    if (entry.type != kCloudType && object.contains(key)) {
      reason = std::string("\"") + key + "\" is an S3 field: the entry needs \"type\": 7";
      return false;
    }
  return true;
}

// " (line 3, column 7)" for the byte at `offset` of `text`.
std::string LineAndColumn(const std::string& text, size_t offset) {
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return " (line " + std::to_string(line) + ", column " +
         std::to_string(column) + ")";
}

// Removes the last member or element of a non-empty array or object.
void RemoveLast(json& container) { container.erase(std::prev(container.end())); }

// The last member or element of a non-empty array or object.
json& Last(json& container) {
  return container.is_array() ? container.back() : std::prev(container.end()).value();
}

bool IsNonEmptyContainer(const json& value) { return value.is_structured() && !value.empty(); }

// Empties `root` without allocating. Destroying a json array or object that
// holds anything allocates a work list, and an allocation that fails inside
// a destructor ends the process; an empty one allocates nothing. So leaves
// are removed from the bottom up, the path down kept in a fixed array (a
// tree deeper than that is descended again for each leaf below it).
void Dismantle(json& root) noexcept {
  if (!root.is_structured()) return;
  constexpr size_t kDepth = 128;
  json* path[kDepth];
  size_t depth = 0;
  path[depth++] = &root;
  while (depth > 0) {
    json& node = *path[depth - 1];
    if (node.empty()) {
      --depth;
      continue;
    }
    json* last = &Last(node);
    if (!IsNonEmptyContainer(*last)) {
      RemoveLast(node);
      continue;
    }
    if (depth < kDepth) {
      path[depth++] = last;
      continue;
    }
    while (IsNonEmptyContainer(Last(*last))) last = &Last(*last);
    RemoveLast(*last);
  }
}

// A parsed document that is dismantled (see above) however its scope ends,
// a parse that throws half-way included.
struct Document {
  json root;
  Document() = default;
  Document(const Document&) = delete;
  Document& operator=(const Document&) = delete;
  ~Document() { Dismantle(root); }
  void Parse(const std::string& text) {
    nlohmann::detail::json_sax_dom_parser<json> builder(root, true);
    json::sax_parse(text, &builder);
  }
};

// Reads every entry of the registry text, in file order, each checked.
bool ParseRegistry(const std::string& text, const std::string& source,
                   std::vector<MountPathEntry>& entries, std::string& error) {
  Document document;
  json& root = document.root;
  try {
    document.Parse(text);
  } catch (const json::parse_error& e) {
    // e.what() quotes the text around the fault, which may be a password:
    // report the position only. e.byte counts from 1.
    const size_t offset = e.byte > 0 ? e.byte - 1 : 0;
    return Fail(error, source,
                "malformed JSON at byte offset " + std::to_string(offset) +
                    LineAndColumn(text, offset));
  }
  if (!root.is_object())
    return Fail(error, source, "the top level must be an object");
  auto list = root.find("mountPaths");
  if (list == root.end())
    return Fail(error, source, "\"mountPaths\" is missing");
  if (!list->is_array())
    return Fail(error, source, "\"mountPaths\" must be an array");

  std::set<int> ids;
  entries.clear();
  for (size_t i = 0; i < list->size(); ++i) {
    MountPathEntry candidate;
    std::string reason;
    bool idRead = false;
    if (!ReadEntry((*list)[i], candidate, candidate.passwordEnv, idRead, reason))
      return Fail(error, source,
                  Where(i, idRead ? &candidate.id : nullptr) + ": " + reason);
    if (!ids.insert(candidate.id).second)
      return Fail(error, source,
                  Where(i, &candidate.id) + ": the id appears more than once");
    entries.push_back(std::move(candidate));
  }
  return true;
}

bool FindMountPathOrThrow(const std::string& text, const std::string& source,
                          int id, MountPathEntry& entry, std::string& error) {
  std::vector<MountPathEntry> entries;
  if (!ParseRegistry(text, source, entries, error)) return false;
  auto match = std::find_if(entries.begin(), entries.end(),
                            [id](const MountPathEntry& e) { return e.id == id; });
  if (match == entries.end())
    return Fail(error, source,
                "mount path " + std::to_string(id) + " is not registered");

  if (!match->passwordEnv.empty()) {
    const char* password = getenv(match->passwordEnv.c_str());
    if (password == nullptr)
      return Fail(error, source,
                  "mount path " + std::to_string(id) +
                      ": the variable named by \"passwordEnv\" is not set");
    match->password = password;
  }
  entry = std::move(*match);
  return true;
}

// A relative "path" of an entry served from a folder is read relative to
// the folder of the registry file `registryPath`, as configuration files
// usually are. An S3 entry's "path" is "bucket/prefix" and stays as it is.
void ResolveRelativePath(const std::string& registryPath, MountPathEntry& entry) {
  if (!entry.endpoint.empty() || entry.path.empty() || entry.path[0] == '/') return;
  const size_t slash = registryPath.rfind('/');
  if (slash == std::string::npos) return;  // the registry lies in the working folder
  entry.path = registryPath.substr(0, slash + 1) + entry.path;
}

// Reads the whole of `path`; on failure returns false with a reason.
bool ReadWholeFile(const std::string& path, std::string& text,
                   std::string& reason) {
  const auto failed = [&](const char* operation, int err) {
    char buffer[256];
    reason = std::string("cannot ") + operation + ": " +
             strerror_r(err, buffer, sizeof buffer) + " (errno " +
             std::to_string(err) + ")";
    return false;
  };
  // O_NONBLOCK: a FIFO in the variable's place must not hang the caller.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return failed("open", errno);
  struct stat status;
  if (fstat(fd, &status) != 0) {
    const int err = errno;
    close(fd);
    return failed("stat", err);
  }
  if (!S_ISREG(status.st_mode)) {
    close(fd);
    reason = "not a regular file";
    return false;
  }
  text.clear();
  text.reserve(static_cast<size_t>(status.st_size));
  char buffer[65536];
  for (;;) {
    const ssize_t n = tzhost::RetryInterrupted([&] { return read(fd, buffer, sizeof buffer); });
    if (n < 0) {
      const int err = errno;
      close(fd);
      return failed("read", err);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

}  // namespace

bool FindMountPath(const std::string& text, const std::string& source, int id,
                   MountPathEntry& entry, std::string& error) {
  // Nothing may escape to the caller. Parse errors are handled inside, so
  // what arrives here is a failure to allocate; its text is not used, as
  // an exception's text might quote the file.
  try {
    return FindMountPathOrThrow(text, source, id, entry, error);
  } catch (const std::bad_alloc&) {
    error = source + ": cannot read the registry: out of memory";
  } catch (...) {
    error = source + ": cannot read the registry";
  }
  return false;
}

bool LookupMountPath(int id, MountPathEntry& entry, std::string& error) {
  try {
    const char* path = getenv("TZRECON_CONFIG");
    if (path == nullptr || *path == '\0') {
      error = "TZRECON_CONFIG is not set";
      return false;
    }
    std::string text, reason;
    if (!ReadWholeFile(path, text, reason)) {
      error = std::string(path) + ": " + reason;
      return false;
    }
    if (!FindMountPath(text, path, id, entry, error)) return false;
    ResolveRelativePath(path, entry);
    return true;
  } catch (...) {
    error = "cannot read the registry";
    return false;
  }
}

bool ReadRegistryText(const std::string& text, const std::string& path,
                      std::vector<MountPathEntry>& entries, std::string& error) {
  try {
    if (!ParseRegistry(text, path, entries, error)) return false;
    for (MountPathEntry& entry : entries) ResolveRelativePath(path, entry);
    return true;
  } catch (const std::bad_alloc&) {
    error = path + ": cannot read the registry: out of memory";
  } catch (...) {
    error = path + ": cannot read the registry";
  }
  return false;
}

}  // namespace tzhost
