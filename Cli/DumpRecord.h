// The record tzrecon leaves beside every dump file it runs: `<dump
// file>.json`, the dump's JSON summary with what the file held when the
// dump ended (rows, bytes, SHA-256), when the dump started and ended, and
// the version of tzrecon. `tzrecon diff` reads it back to tell a complete
// dump from a failed, cut or altered one.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include <nlohmann/json.hpp>

#include "Report.h"

namespace tzcli {

// What a dump file holds, read once from its start to its end.
struct FileDigest {
  bool ok = false;
  std::string error;  // when not ok
  uint64_t rows = 0;   // lines after the header line
  uint64_t bytes = 0;
  std::string sha256;  // lower-case hex
  // The sum of the rows' sizes, and whether every row's size could be read
  // (the rows are read from their line ends: "..., <size>, <flag>\r\n").
  uint64_t chunkBytes = 0;
  bool chunkBytesKnown = true;
};
FileDigest DigestFile(const std::string& path);

// "<dump file>.json"
std::string RecordPath(const std::string& dumpFile);

// The record of a dump: its summary, the digest when the file could be
// read, the start and end (wall clock) of the dump.
nlohmann::json RecordJson(const DumpOutcome& outcome, const FileDigest& digest, time_t started,
                          time_t ended);

// Writes `record` beside `dumpFile`: into a temporary file in the same
// folder, flushed to disk, then renamed at RecordPath(dumpFile). Returns
// false with `*error` set; no temporary file is left then.
bool WriteRecord(const std::string& dumpFile, const nlohmann::json& record, std::string* error);

// How far a dump file can be trusted, from its record.
struct Completeness {
  std::string state;   // "complete", "failed", "disagrees" or "unknown"
  std::string reason;  // why it is not complete ("" when it is)
  bool record = false; // whether a record was found
};
// Reads the record of `dumpFile` (when there is one) and checks the file
// against it. Standard input ("-") has none.
Completeness CheckCompleteness(const std::string& dumpFile);
// Reads the record of `dumpFile` alone: "unknown" (none), "failed", or
// "disagrees" (it cannot be read or is no dump record), with the reason; an
// empty state when it says the dump succeeded, `*record` then holding it.
Completeness ReadRecord(const std::string& dumpFile, nlohmann::json* record);

}  // namespace tzcli
