#include "DumpPairing.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>

namespace tzcli {

namespace {

const char kDumpPrefix[] = "ChunkLister_";
const char kDumpSuffix[] = ".csv";

// A decimal number of type T from `p` up to `end` or the `stop` character;
// advances `p` past it. No sign but '-' for signed types, no blanks.
template <typename T>
bool Number(const char*& p, const char* end, char stop, T* value) {
  const char* fieldEnd = stop == '\0' ? end : std::find(p, end, stop);
  if (fieldEnd == end && stop != '\0') return false;
  const auto r = std::from_chars(p, fieldEnd, *value, 10);
  if (r.ec != std::errc() || r.ptr != fieldEnd || p == fieldEnd) return false;
  p = fieldEnd;
  return true;
}

bool Newer(const DumpFile& a, const DumpFile& b) {
  if (a.name.time != b.name.time) return a.name.time > b.name.time;
  return a.path > b.path;
}

}  // namespace

bool ParseDumpName(const std::string& name, DumpName* out) {
  const size_t prefix = sizeof kDumpPrefix - 1, suffix = sizeof kDumpSuffix - 1;
  if (name.size() <= prefix + suffix || name.compare(0, prefix, kDumpPrefix) != 0 ||
      name.compare(name.size() - suffix, suffix, kDumpSuffix) != 0)
    return false;
  const char* p = name.data() + prefix;
  const char* const end = name.data() + name.size() - suffix;
  DumpName n;
  if (!Number(p, end, '_', &n.copyId)) return false;
  ++p;
  if (!Number(p, end, '_', &n.mountPathId)) return false;
  ++p;
  if (p == end || *p == '-' || !Number(p, end, '\0', &n.time)) return false;
  *out = n;
  return true;
}

std::string DiffFileName(int32_t copyId, int32_t mountPathId) {
  return "ChunkDiff_" + std::to_string(copyId) + "_" + std::to_string(mountPathId) + ".csv";
}

bool ListDumps(const std::string& folder, std::vector<DumpFile>* dumps, std::string* error) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
  if (!dir) {
    *error = std::string("cannot list: ") + std::strerror(errno);
    return false;
  }
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    DumpFile dump;
    if (!ParseDumpName(entry->d_name, &dump.name)) continue;
    dump.path = base + entry->d_name;
    struct stat st;
    if (stat(dump.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    dumps->push_back(dump);
  }
  if (errno != 0) {
    *error = std::string("cannot list: ") + std::strerror(errno);
    return false;
  }
  return true;
}

std::vector<GroupPair> PairDumps(const std::vector<DumpFile>& oldDumps,
                                 const std::vector<DumpFile>& newDumps) {
  std::map<std::pair<int32_t, int32_t>, GroupPair> groups;
  for (int side = 0; side < 2; ++side)
    for (const DumpFile& dump : side == 0 ? oldDumps : newDumps) {
      GroupPair& group = groups[{dump.name.copyId, dump.name.mountPathId}];
      group.copyId = dump.name.copyId;
      group.mountPathId = dump.name.mountPathId;
      (side == 0 ? group.oldDumps : group.newDumps).push_back(dump);
    }
  std::vector<GroupPair> pairs;
  for (auto& entry : groups) {
    GroupPair& group = entry.second;
    std::sort(group.oldDumps.begin(), group.oldDumps.end(), Newer);
    std::sort(group.newDumps.begin(), group.newDumps.end(), Newer);
    pairs.push_back(std::move(group));
  }
  return pairs;
}

Completeness RecordedCompleteness(const std::string& dumpFile) {
  nlohmann::json record;
  Completeness c = ReadRecord(dumpFile, &record);
  if (!c.state.empty()) return c;
  const auto bytes = record.find("bytes");
  struct stat st;
  c.state = "disagrees";
  if (bytes == record.end() || !bytes->is_number_unsigned())
    c.reason = "the record lacks the file's rows, bytes or SHA-256";
  else if (stat(dumpFile.c_str(), &st) != 0)
    c.reason = std::string("the file cannot be examined: ") + std::strerror(errno);
  else if (static_cast<uint64_t>(st.st_size) != bytes->get<uint64_t>())
    c.reason = "the file has " + std::to_string(st.st_size) + " bytes, its record says " +
               std::to_string(bytes->get<uint64_t>());
  else
    c.state = "complete";
  if (c.state != "complete") c.reason += " (" + RecordPath(dumpFile) + ")";
  return c;
}

Choice ChooseDump(const std::vector<DumpFile>& dumps, const CompletenessCheck& check) {
  Choice choice;
  std::vector<PassedOver> examined;
  int unknown = -1;  // the newest dump without a record, in `examined`
  for (const DumpFile& dump : dumps) {
    const Completeness c = check(dump.path);
    if (c.state == "complete") {
      choice.found = true;
      choice.path = dump.path;
      choice.completeness = c;
      choice.passedOver = std::move(examined);
      return choice;
    }
    if (c.state == "unknown" && unknown < 0) unknown = static_cast<int>(examined.size());
    examined.push_back({dump.path, c});
  }
  if (unknown >= 0) {
    choice.found = true;
    choice.path = examined[static_cast<size_t>(unknown)].path;
    choice.completeness = examined[static_cast<size_t>(unknown)].completeness;
    examined.resize(static_cast<size_t>(unknown));
  }
  choice.passedOver = std::move(examined);
  return choice;
}

}  // namespace tzcli
