#include "PageReasons.h"

#include <sys/stat.h>

#include <charconv>
#include <cstring>
#include <string_view>
#include <vector>

#include "Messages.h"
#include "PageInputs.h"
#include "StorageLayout.h"

namespace tzcli::page {

namespace {

namespace messages = tzrecon::messages;
namespace layout = tzrecon::layout;

// Past this many chunks named, further lines are not kept (their chunks
// show as absent): the page stays within its memory whatever the log.
constexpr size_t kMostChunksNamed = 4u << 20;

uint64_t Key(int32_t volumeId, int32_t chunkId) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(volumeId)) << 32) | static_cast<uint32_t>(chunkId);
}

bool Id(std::string_view text, int32_t* id) {
  const auto r = std::from_chars(text.data(), text.data() + text.size(), *id);
  return !text.empty() && r.ptr == text.data() + text.size() && r.ec == std::errc();
}

// The values of `message` where the printf form `format` has conversions,
// or false when the message is not of that form. A value runs to the next
// literal text of the form; the last one to the form's final text.
bool Match(const char* format, std::string_view message, std::vector<std::string_view>* values) {
  std::vector<std::string_view> literals;
  const char* start = format;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') continue;
    literals.emplace_back(start, static_cast<size_t>(p - start));
    ++p;
    while (*p != '\0' && std::strchr("-+ #0123456789.lhz", *p) != nullptr) ++p;
    if (*p == '\0') return false;
    start = p + 1;
  }
  literals.emplace_back(start);
  values->clear();
  if (message.substr(0, literals[0].size()) != literals[0]) return false;
  size_t at = literals[0].size();
  for (size_t i = 1; i < literals.size(); ++i) {
    const bool last = i + 1 == literals.size();
    const size_t next = last ? message.size() - literals[i].size() : message.find(literals[i], at);
    if (next == std::string_view::npos || next < at || message.size() < literals[i].size() ||
        message.substr(next, literals[i].size()) != literals[i])
      return false;
    values->push_back(message.substr(at, next - at));
    at = next + literals[i].size();
  }
  return true;
}

// ".../V_<volume>/<prefix><chunk>": the ids of a trailer's path.
bool TrailerIds(std::string_view path, int32_t* volumeId, int32_t* chunkId) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return false;
  const std::string_view name = path.substr(slash + 1);
  const size_t parentSlash = path.rfind('/', slash == 0 ? 0 : slash - 1);
  const std::string_view parent =
      path.substr(parentSlash == std::string_view::npos ? 0 : parentSlash + 1,
                  slash - (parentSlash == std::string_view::npos ? 0 : parentSlash + 1));
  const std::string_view trailer(layout::kTrailerPrefix), volume(layout::kVolumePrefix);
  return name.substr(0, trailer.size()) == trailer && parent.substr(0, volume.size()) == volume &&
         Id(name.substr(trailer.size()), chunkId) && Id(parent.substr(volume.size()), volumeId);
}

// ".../V_<volume>/MEDIA_LABEL": the volume of a label's path.
bool LabelVolume(std::string_view path, int32_t* volumeId) {
  const std::string suffix = std::string("/") + layout::kMediaLabel;
  if (path.size() < suffix.size() || path.substr(path.size() - suffix.size()) != suffix) return false;
  path.remove_suffix(suffix.size());
  const size_t slash = path.rfind('/');
  const std::string_view parent = path.substr(slash == std::string_view::npos ? 0 : slash + 1);
  const std::string_view volume(layout::kVolumePrefix);
  return parent.substr(0, volume.size()) == volume && Id(parent.substr(volume.size()), volumeId);
}

// The log that the record names: as written, else (a relative name from
// another folder) by its name beside the dump.
std::string FindLog(const std::string& log, const std::string& dumpPath) {
  struct stat st;
  if (log.empty() || log[0] == '/' || stat(log.c_str(), &st) == 0) return log;
  const size_t slash = dumpPath.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : dumpPath.substr(0, slash + 1);
  return folder + log.substr(log.rfind('/') == std::string::npos ? 0 : log.rfind('/') + 1);
}

}  // namespace

std::map<std::string, uint64_t> NoticeCounts(const nlohmann::ordered_json& record) {
  std::map<std::string, uint64_t> counts;
  const auto notices = record.find("notices");
  if (notices == record.end() || !notices->is_array()) return counts;
  for (const auto& n : *notices) {
    if (!n.is_object() || !n.contains("count") || !n["count"].is_number_integer()) continue;
    const int64_t count = n["count"].get<int64_t>();
    if (count > 0) counts[n.value("kind", "other")] += static_cast<uint64_t>(count);
  }
  return counts;
}

const char* ReasonName(int reason) {
  static const char* const kNames[kReasons] = {"absent from the walk", "trailer mismatch",
                                               "trailer missing",      "trailer short",
                                               "label unreadable",     "unknown"};
  return reason >= 0 && reason < kReasons ? kNames[reason] : "?";
}

void MissingReasons::Load(const std::string& dumpPath, const nlohmann::ordered_json* record) {
  if (record == nullptr) {
    m_source = "NEW has no record, so no log to tell why a chunk is missing";
    return;
  }
  const std::map<std::string, uint64_t> counts = NoticeCounts(*record);
  const uint64_t named = counts.count("chunkLeftOut") + counts.count("volumeSkipped");
  if (named == 0) {
    m_known = true;
    m_source = "NEW's record names no chunk left out and no volume skipped";
    return;
  }
  const auto log = record->find("log");
  if (log == record->end() || !log->is_string()) {
    m_source = "NEW's record names chunks left out, but its log went to standard error";
    return;
  }
  ReadLog(FindLog(log->get<std::string>(), dumpPath), *record);
}

void MissingReasons::ReadLog(const std::string& log, const nlohmann::ordered_json& record) {
  LineReader reader;
  reader.SetLastLineMayBeOpen(true);
  std::string error;
  if (!reader.Open(log, &error)) {
    m_source = "NEW's log '" + log + "' cannot be read: " + error;
    return;
  }
  // "<time> <pid> <tid> <level> <tag> <message>"; the dump's lines are its
  // process's (when the record names it) within its seconds.
  const std::string started = record.value("started", ""), ended = record.value("ended", "");
  const std::string pid = record.contains("pid") ? record["pid"].dump() : "";
  std::string_view line;
  while (reader.Next(&line)) {
    std::string_view f[5];
    size_t at = 0, n = 0;
    for (; n < 5; ++n) {
      const size_t space = line.find(' ', at);
      if (space == std::string_view::npos) break;
      f[n] = line.substr(at, space - at);
      at = space + 1;
    }
    if (n < 5 || f[3] != "-1" || f[0].size() < 19) continue;
    const std::string_view second = f[0].substr(0, 19);
    if (started.size() < 19 || ended.size() < 19 || second < std::string_view(started).substr(0, 19) ||
        second > std::string_view(ended).substr(0, 19) || (!pid.empty() && f[1] != pid))
      continue;
    TakeLine(std::string(f[4]), std::string(line.substr(at)));
  }
  if (!reader.error().empty()) {
    m_source = "NEW's log '" + log + "' cannot be read: " + reader.error();
    return;
  }
  m_known = true;
  m_source = "NEW's log '" + log + "': " + std::to_string(m_lines) + " lines of the dump name " +
             "chunks left out or volumes skipped" + (pid.empty() ? " (lines of its seconds)" : "");
}

void MissingReasons::TakeLine(const std::string& tag, const std::string& message) {
  std::vector<std::string_view> v;
  int32_t volumeId = 0, chunkId = 0;
  const auto chunk = [&](Reason reason) {
    if (TrailerIds(v[0], &volumeId, &chunkId) && m_chunks.size() < kMostChunksNamed) {
      m_chunks.emplace(Key(volumeId, chunkId), reason);
      ++m_lines;
    }
  };
  if (tag == messages::kTrailerTag && Match(messages::kCannotOpenLabel, message, &v)) {
    chunk(kTrailerMissing);
  } else if (Match(messages::kTrailerIdsMissing, message, &v)) {
    chunk(kTrailerMismatch);
  } else if (Match(messages::kTrailerLeftOut, message, &v)) {
    chunk(kTrailerShort);
  } else if (Match(messages::kTrailerChunkIdDiffers, message, &v) && Id(v[1], &chunkId)) {
    m_chunkIdMismatch.insert(chunkId);
    ++m_lines;
  } else if (Match(messages::kTrailerVolumeIdDiffers, message, &v) && Id(v[1], &volumeId)) {
    ++m_volumeMismatch[volumeId];
    ++m_lines;
  } else if (tag == messages::kVerifyVolumeTag &&
             (Match(messages::kCannotOpenLabel, message, &v) ||
              Match(messages::kCannotReadLabel, message, &v)) &&
             LabelVolume(v[0], &volumeId)) {
    m_skippedVolumes.insert(volumeId);
    ++m_lines;
  }
}

Reason MissingReasons::Of(int32_t volumeId, int32_t chunkId) {
  if (!m_known) return kUnknown;
  const auto exact = m_chunks.find(Key(volumeId, chunkId));
  if (exact != m_chunks.end()) return exact->second;
  if (m_skippedVolumes.count(volumeId) != 0) return kLabelUnreadable;
  // A chunk id mismatch names the chunk but not its volume; a volume id
  // mismatch names the volume but not the chunk: the first missing chunks
  // of that volume take them, as many as there are lines.
  if (m_chunkIdMismatch.count(chunkId) != 0) return kTrailerMismatch;
  const auto volume = m_volumeMismatch.find(volumeId);
  if (volume != m_volumeMismatch.end() && volume->second > 0) {
    --volume->second;
    return kTrailerMismatch;
  }
  return kAbsent;
}

}  // namespace tzcli::page
