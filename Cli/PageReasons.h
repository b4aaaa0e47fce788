// Why a chunk is missing from the NEW dump of a diff, as the NEW dump's own
// log tells it: its level -1 lines that leave a chunk out or skip a volume.
// The lines are those of the dump's process (the record's pid) between its
// start and its end (the record's times), so a log that many dumps append
// to serves.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include <nlohmann/json.hpp>

namespace tzcli::page {

enum Reason {
  kAbsent,           // the walk did not meet it, and no line names it
  kTrailerMismatch,  // its trailer names other ids, or none
  kTrailerMissing,   // its trailer could not be opened (absent, unreadable by its nature)
  kTrailerShort,     // its trailer is shorter than 1024 bytes, or unreadable
  kLabelUnreadable,  // its volume's media label could not be read: the volume was skipped
  kUnknown,          // the log that would tell is not to be had
  kReasons
};
const char* ReasonName(int reason);

// The notices of a dump's record, counted by kind ("chunkLeftOut", ...).
std::map<std::string, uint64_t> NoticeCounts(const nlohmann::ordered_json& record);

class MissingReasons {
 public:
  // From the record of the NEW dump (`recordPath` beside `dumpPath`), or
  // none when `record` is null: the reasons are then unknown.
  void Load(const std::string& dumpPath, const nlohmann::ordered_json* record);
  // The reason of a missing chunk; call once for each, in any order.
  Reason Of(int32_t volumeId, int32_t chunkId);
  // Where the reasons come from, for the page.
  const std::string& source() const { return m_source; }

 private:
  void ReadLog(const std::string& log, const nlohmann::ordered_json& record);
  void TakeLine(const std::string& tag, const std::string& message);

  bool m_known = false;  // false: every reason is kUnknown
  std::string m_source;
  std::unordered_map<uint64_t, Reason> m_chunks;  // by (volume, chunk)
  std::set<int32_t> m_chunkIdMismatch;            // by chunk id: the line names no volume
  std::map<int32_t, uint64_t> m_volumeMismatch;   // by volume: the line names no chunk
  std::set<int32_t> m_skippedVolumes;
  uint64_t m_lines = 0;
};

}  // namespace tzcli::page
