// The outcome of one dump as tzrecon reports it: a summary for people, one
// JSON object for scripts, and a table for --all-mount-paths.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LogWatch.h"

namespace tzcli {

struct DumpOutcome {
  bool ok = false;
  int32_t mountPathId = 0;
  int32_t copyId = 0;
  std::string kind;      // "disk", "cloud" or "" (not registered)
  std::string dumpFile;  // empty when no dump file was named
  bool rowsKnown = false;
  uint64_t rows = 0;
  uint64_t bytes = 0;
  bool chunkBytesKnown = false;
  uint64_t chunkBytes = 0;  // the sum of the rows' sizes: what the chunks hold
  double seconds = 0;
  std::string log;  // the log file, or "" for standard error
  std::vector<Notice> notices;
  std::vector<std::string> failureLines;  // the last level -1 lines of kind kOther
  uint64_t failureLineCount = 0;          // all of them
  std::vector<std::string> hints;         // what may explain the outcome
  std::string record;       // the record written beside the dump file, or ""
  std::string interrupted;  // the signal that stopped the dump ("SIGTERM"), or ""
};

nlohmann::json ToJson(const DumpOutcome& outcome);
// `value` as one line of JSON text. Bytes that are not UTF-8 (a chunk name
// in another encoding, quoted by a notice) become U+FFFD rather than failing
// the output.
std::string JsonText(const nlohmann::json& value);
// Reads what ToJson wrote; false when `value` has another form.
bool FromJson(const nlohmann::json& value, DumpOutcome& outcome);

// Total level -1 lines of the given kinds.
uint64_t CountNotices(const DumpOutcome& outcome, bool failures);

// The notice lines of a summary: "  10000 entries passed over: This is not a
// chunk [...], skipping", after a first line that names the log.
void PrintNotices(FILE* out, const DumpOutcome& outcome, const std::string& indent);
// What a failed dump shows on standard error: its failure lines and hints.
void PrintFailure(FILE* out, const DumpOutcome& outcome, const std::string& prefix);
// The summary of a successful chunk-lister dump on standard output: the
// dump file's path, then rows, bytes, time, notices and hints.
void PrintSummary(FILE* out, const DumpOutcome& outcome);
// One row per mount path.
void PrintTable(FILE* out, const std::vector<DumpOutcome>& outcomes);

}  // namespace tzcli
