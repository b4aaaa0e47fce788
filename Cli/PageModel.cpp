#include "PageModel.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>

#include "DumpRecord.h"
#include "PageInputs.h"
#include "PageReasons.h"
#include "Text.h"

namespace tzcli::page {

namespace {

using nlohmann::ordered_json;

// Sums stop at 2^64 - 1 rather than wrap.
void Add(uint64_t& sum, uint64_t value) { sum = sum > UINT64_MAX - value ? UINT64_MAX : sum + value; }

// A number the page's script reads exactly: beyond 2^53 it goes as text.
ordered_json Exact(uint64_t value) {
  return value <= (uint64_t{1} << 53) ? ordered_json(value) : ordered_json(std::to_string(value));
}

struct Figures {
  uint64_t oldChunks = 0, oldBytes = 0, newChunks = 0, newBytes = 0;
  uint64_t count[kDiffKinds] = {}, kindOld[kDiffKinds] = {}, kindNew[kDiffKinds] = {};
  uint64_t reasons[kReasons] = {};
  uint64_t Weight() const {  // which volumes keep rows of their own
    uint64_t w = oldBytes;
    Add(w, newBytes);
    for (int k = 0; k < kDiffKinds; ++k) Add(w, kindOld[k]), Add(w, kindNew[k]);
    return w;
  }
  void Merge(const Figures& o) {
    Add(oldChunks, o.oldChunks), Add(oldBytes, o.oldBytes), Add(newChunks, o.newChunks);
    Add(newBytes, o.newBytes);
    for (int k = 0; k < kDiffKinds; ++k)
      Add(count[k], o.count[k]), Add(kindOld[k], o.kindOld[k]), Add(kindNew[k], o.kindNew[k]);
    for (int r = 0; r < kReasons; ++r) Add(reasons[r], o.reasons[r]);
  }
};

using VolumeKey = std::pair<int, int32_t>;  // group, volume id

// The figures of each volume; rows come grouped by volume, so the last
// volume is kept at hand.
class Volumes {
 public:
  Figures& At(int group, int32_t volumeId) {
    const VolumeKey key(group, volumeId);
    if (m_last == nullptr || key != m_lastKey) {
      m_last = &m_map[key];
      m_lastKey = key;
    }
    return *m_last;
  }
  const std::map<VolumeKey, Figures>& map() const { return m_map; }

 private:
  std::map<VolumeKey, Figures> m_map;
  VolumeKey m_lastKey;
  Figures* m_last = nullptr;
};

struct Input {
  std::string path, type, role, folder;
  Completeness completeness;
  ordered_json record;  // null without a readable record
  uint64_t rows = 0, bytes = 0;
  std::set<int32_t> mountPathIds;
};

struct Model {
  std::vector<Input> inputs;
  std::vector<std::string> notes;
  std::vector<std::string> groups;
  Volumes volumes;
  bool diff = false, dumpsGiven = false;
  MissingReasons reasons;
  ordered_json chunks[kDiffKinds];
  uint64_t chunkTotals[kDiffKinds] = {};
};

void LoadRecord(Input& in) {
  in.completeness = CheckCompleteness(in.path);
  if (!in.completeness.record) return;
  std::string text, reason;
  if (!ReadSmallFile(RecordPath(in.path), text, reason)) return;
  const ordered_json record = ordered_json::parse(text, nullptr, false);
  if (record.is_object()) in.record = record;
}

// Reads dump `in` into the volumes of `group`, on the OLD side unless `newSide`.
bool ReadDumpInto(Model& m, Input& in, int group, bool newSide, std::string* error) {
  LoadRecord(in);
  return ReadDump(
      in.path,
      [&](const DumpRow& row) {
        Figures& f = m.volumes.At(group, row.volumeId);
        ++(newSide ? f.newChunks : f.oldChunks);
        Add(newSide ? f.newBytes : f.oldBytes, row.size);
        ++in.rows;
        Add(in.bytes, row.size);
        in.mountPathIds.insert(row.mountPathId);
      },
      error);
}

std::string GroupLabel(const Input& in) {
  std::string label = in.mountPathIds.empty() ? "no rows" : "mount path " + std::to_string(*in.mountPathIds.begin());
  if (in.mountPathIds.size() > 1) label += " (and other ids)";
  const size_t slash = in.path.rfind('/');
  return label + " · " + in.path.substr(slash == std::string::npos ? 0 : slash + 1);
}

void NoteDiffRow(Model& m, const DiffRow& row) {
  Figures& f = m.volumes.At(0, row.volumeId);
  const int k = row.kind;
  ++f.count[k];
  if (row.hasOld) Add(f.kindOld[k], row.oldSize);
  if (row.hasNew) Add(f.kindNew[k], row.newSize);
  int reason = -1;
  if (k == kMissing) ++f.reasons[reason = m.reasons.Of(row.volumeId, row.chunkId)];
  if (m.chunkTotals[k]++ >= kListedChunks) return;
  const auto side = [](bool has, uint64_t v) { return has ? Exact(v) : ordered_json(); };
  const auto flag = [](bool has, int v) { return has ? ordered_json(v) : ordered_json(); };
  ordered_json item = {row.volumeId, row.chunkId, side(row.hasOld, row.oldSize),
                       side(row.hasNew, row.newSize), flag(row.hasOld, row.oldFlag),
                       flag(row.hasNew, row.newFlag)};
  if (reason >= 0) item.push_back(reason);
  m.chunks[k].push_back(std::move(item));
}

// With both dumps and no duplicates, every volume's NEW rows are its OLD
// rows less the missing plus the new: anything else is another pair's diff.
bool CheckPair(const Model& m, std::string* error) {
  for (const auto& [key, f] : m.volumes.map()) {
    if (f.count[kDuplicate] > 0) return true;
    if (f.oldChunks + f.count[kNew] != f.newChunks + f.count[kMissing]) {
      *error = "the dumps are not the difference file's OLD and NEW (in that order): volume " +
               std::to_string(key.second) + " has " + std::to_string(f.oldChunks) + " rows in OLD and " +
               std::to_string(f.newChunks) + " in NEW, the differences say " +
               std::to_string(f.count[kMissing]) + " missing and " + std::to_string(f.count[kNew]) + " new";
      return false;
    }
  }
  return true;
}

bool ReadDiffMode(Model& m, const std::string& diffPath, std::string* error) {
  m.groups.push_back("differences");
  if (m.dumpsGiven) {
    if (!ReadDumpInto(m, m.inputs[1], 0, false, error) || !ReadDumpInto(m, m.inputs[2], 0, true, error))
      return false;
    std::string label = GroupLabel(m.inputs[1]);
    m.groups[0] = label.substr(0, label.find(" · "));
    const Input& n = m.inputs[2];
    if (!n.mountPathIds.empty() && n.mountPathIds != m.inputs[1].mountPathIds)
      m.groups[0] += " → " + std::to_string(*n.mountPathIds.begin());
    m.reasons.Load(n.path, n.record.is_object() ? &n.record : nullptr);
  } else {
    m.notes.push_back("OLD and NEW are not given: the volumes' own figures and the unchanged bytes "
                      "are not known (give them after the difference file: DIFF OLD NEW)");
    m.reasons.Load("", nullptr);
  }
  for (auto& list : m.chunks) list = ordered_json::array();
  Input& d = m.inputs[0];
  if (!ReadDiff(diffPath, [&](const DiffRow& row) { ++d.rows; NoteDiffRow(m, row); }, error))
    return false;
  d.completeness.state = "unknown";
  d.completeness.reason = "a difference file has no record";
  return !m.dumpsGiven || CheckPair(m, error);
}

// The inputs, each classified; folders give their dumps.
bool Gather(Model& m, const std::vector<std::string>& paths, std::string* diffPath, std::string* error) {
  std::vector<Input> dumps;
  for (const std::string& path : paths) {
    InputType type;
    if (!Classify(path, &type, error)) {
      *error = "'" + path + "': " + *error;
      return false;
    }
    if (type == InputType::kDiff) {
      if (!diffPath->empty()) {
        *error = "'" + path + "': a second difference file; a page shows one";
        return false;
      }
      *diffPath = path;
      continue;
    }
    std::vector<std::string> found = {path}, older;
    if (type == InputType::kFolder && !DumpsOfFolder(path, &found, &older, error)) return false;
    if (type == InputType::kFolder) found.erase(found.begin());
    for (const std::string& o : older) m.notes.push_back("left out, a newer dump of its mount path is there: " + o);
    for (const std::string& f : found) {
      Input in;
      in.path = f;
      in.type = "dump";
      if (type == InputType::kFolder) in.folder = path;
      dumps.push_back(in);
    }
  }
  m.diff = !diffPath->empty();
  if (m.diff) {
    const bool folder = std::any_of(dumps.begin(), dumps.end(), [](const Input& i) { return !i.folder.empty(); });
    if (folder || (dumps.size() != 0 && dumps.size() != 2)) {
      *error = "a difference file goes alone or with its two dumps, OLD then NEW (" +
               std::to_string(dumps.size()) + " dumps given" + (folder ? ", from a folder" : "") + ")";
      return false;
    }
    Input d;
    d.path = *diffPath;
    d.type = "diff";
    m.inputs.push_back(d);
    m.dumpsGiven = dumps.size() == 2;
    if (m.dumpsGiven) dumps[0].role = "OLD", dumps[1].role = "NEW";
  }
  m.inputs.insert(m.inputs.end(), dumps.begin(), dumps.end());
  return true;
}

ordered_json InputJson(const Input& in);
ordered_json VolumesJson(const Model& m, ordered_json* others);
ordered_json TotalsJson(const Model& m);

}  // namespace

bool BuildPageData(const std::vector<std::string>& paths, ordered_json* data, std::string* error) {
  Model m;
  std::string diffPath;
  if (!Gather(m, paths, &diffPath, error)) return false;
  if (m.diff) {
    if (!ReadDiffMode(m, diffPath, error)) return false;
  } else {
    for (size_t i = 0; i < m.inputs.size(); ++i) {
      if (!ReadDumpInto(m, m.inputs[i], static_cast<int>(i), false, error)) return false;
      m.groups.push_back(GroupLabel(m.inputs[i]));
    }
  }
  ordered_json& d = *data;
  d["mode"] = m.diff ? "diff" : "dumps";
  d["inputs"] = ordered_json::array();
  for (const Input& in : m.inputs) d["inputs"].push_back(InputJson(in));
  d["notes"] = m.notes;
  d["groups"] = m.groups;
  d["cols"] = m.diff ? ordered_json{"group", "volume", "oldChunks", "oldBytes", "newChunks", "newBytes",
                                    "missing", "missingBytes", "new", "newBytes", "changed",
                                    "changedOldBytes", "duplicate", "duplicateOldBytes",
                                    "changedNewBytes", "reasons"}
                     : ordered_json{"group", "volume", "chunks", "bytes"};
  ordered_json others = ordered_json::array();
  d["volumes"] = VolumesJson(m, &others);
  d["others"] = others;
  d["totals"] = TotalsJson(m);
  if (m.diff) {
    d["reasonNames"] = ordered_json::array();
    for (int r = 0; r < kReasons; ++r) d["reasonNames"].push_back(ReasonName(r));
    d["reasonSource"] = m.reasons.source();
    for (int k = 0; k < kDiffKinds; ++k)
      d["chunks"][DiffKindName(k)] = {{"total", m.chunkTotals[k]}, {"rows", m.chunks[k]}};
  }
  return true;
}

namespace {

ordered_json InputJson(const Input& in) {
  ordered_json j = {{"path", in.path}, {"type", in.type}, {"role", in.role}};
  j["folder"] = in.folder.empty() ? ordered_json() : ordered_json(in.folder);
  j["state"] = in.completeness.state;
  j["reason"] = in.completeness.reason;
  j["rows"] = in.rows;
  j["bytes"] = in.type == "dump" ? Exact(in.bytes) : ordered_json();
  j["mountPathIds"] = in.mountPathIds;
  j["notices"] = ordered_json();
  const ordered_json& r = in.record;
  if (r.is_object()) {
    j["copyId"] = r.value("copyId", ordered_json());
    j["started"] = r.value("started", ordered_json());
    ordered_json notices = ordered_json::object();
    for (const auto& [kind, count] : NoticeCounts(r)) notices[kind] = count;
    j["notices"] = notices;
  }
  return j;
}

// One row: [group, volume id, figures...] as the page's "cols" name them.
ordered_json RowJson(const Model& m, int group, ordered_json volume, const Figures& f) {
  ordered_json row = {group, volume};
  const auto side = [&](uint64_t v) { return m.diff && !m.dumpsGiven ? ordered_json() : Exact(v); };
  if (!m.diff) return row.insert(row.end(), {f.oldChunks, Exact(f.oldBytes)}), row;
  for (uint64_t v : {f.oldChunks, f.oldBytes, f.newChunks, f.newBytes}) row.push_back(side(v));
  for (int k = 0; k < kDiffKinds; ++k) {
    row.push_back(f.count[k]);
    row.push_back(Exact(k == kNew ? f.kindNew[k] : f.kindOld[k]));
  }
  row.push_back(Exact(f.kindNew[kChanged]));
  ordered_json reasons = ordered_json::array();
  if (f.count[kMissing] > 0)
    for (uint64_t r : f.reasons) reasons.push_back(r);
  row.push_back(reasons);
  return row;
}

ordered_json VolumesJson(const Model& m, ordered_json* others) {
  const auto& all = m.volumes.map();
  std::vector<const std::pair<const VolumeKey, Figures>*> order;
  for (const auto& entry : all) order.push_back(&entry);
  std::map<int, std::pair<uint64_t, Figures>> folded;  // by group: volumes, sums
  if (order.size() > kListedVolumes) {
    std::nth_element(order.begin(), order.begin() + kListedVolumes, order.end(),
                     [](auto a, auto b) { return a->second.Weight() > b->second.Weight(); });
    for (size_t i = kListedVolumes; i < order.size(); ++i) {
      auto& slot = folded[order[i]->first.first];
      ++slot.first;
      slot.second.Merge(order[i]->second);
    }
    order.resize(kListedVolumes);
    std::sort(order.begin(), order.end(), [](auto a, auto b) { return a->first < b->first; });
  }
  ordered_json rows = ordered_json::array();
  for (const auto* entry : order) rows.push_back(RowJson(m, entry->first.first, entry->first.second, entry->second));
  for (const auto& [group, slot] : folded) {
    ordered_json row = RowJson(m, group, slot.first, slot.second);
    others->push_back(row);
  }
  return rows;
}

ordered_json TotalsJson(const Model& m) {
  Figures sum;
  for (const auto& [key, f] : m.volumes.map()) sum.Merge(f);
  ordered_json t;
  t["volumes"] = m.volumes.map().size();
  ordered_json notices = ordered_json::object();
  bool anyRecord = false;
  for (const Input& in : m.inputs) {
    const ordered_json j = InputJson(in);
    if (!j["notices"].is_object()) continue;
    anyRecord = true;
    for (const auto& [kind, count] : j["notices"].items())
      notices[kind] = notices.value(kind, uint64_t{0}) + count.get<uint64_t>();
  }
  t["notices"] = anyRecord ? notices : ordered_json();
  if (!m.diff) {
    t["rows"] = sum.oldChunks;
    t["bytes"] = Exact(sum.oldBytes);
    return t;
  }
  const auto side = [&](uint64_t v) { return m.dumpsGiven ? Exact(v) : ordered_json(); };
  t["rows"] = {{"old", side(sum.oldChunks)}, {"new", side(sum.newChunks)}};
  t["bytes"] = {{"old", side(sum.oldBytes)}, {"new", side(sum.newBytes)}};
  uint64_t differences = 0;
  for (int k = 0; k < kDiffKinds; ++k) {
    t["kinds"][DiffKindName(k)] = {{"count", sum.count[k]}, {"oldBytes", Exact(sum.kindOld[k])},
                                   {"newBytes", Exact(sum.kindNew[k])}};
    differences += sum.count[k];
  }
  t["differences"] = differences;
  return t;
}

}  // namespace

}  // namespace tzcli::page
