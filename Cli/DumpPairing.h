// Which dumps of two folders `tzrecon diff OLD_DIR NEW_DIR` compares.
//
// A dump is known by its file name, ChunkLister_<copy id>_<mount path id>_
// <unix time>.csv (the library's own name for it). The dumps of both folders
// are grouped by copy id and mount path id; on each side the group's newest
// complete dump is taken (its record, FILE.json, says it succeeded and agrees
// with the file). A dump whose record says it failed, or disagrees with the
// file, is passed over. A dump without a record (completeness unknown) is
// taken only when no dump of the group is complete: the newest such one. A
// group whose dumps are all passed over has no dump to compare. The folder
// diff asks RecordedCompleteness (the record and the file's size) and leaves
// the rows and SHA-256 to the diff of the pair: a dump that the diff refuses
// is passed over in turn.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "DumpRecord.h"

namespace tzcli {

// What a dump file's name tells.
struct DumpName {
  int32_t copyId = 0;
  int32_t mountPathId = 0;
  uint64_t time = 0;  // unix seconds, when the dump was named
};

// Reads `name` (a file name, no folder); false when it is no dump's name.
bool ParseDumpName(const std::string& name, DumpName* out);

// The file name of the diff of a pair in OUT_DIR: ChunkDiff_<copy id>_<mount
// path id>.csv.
std::string DiffFileName(int32_t copyId, int32_t mountPathId);

struct DumpFile {
  DumpName name;
  std::string path;  // the folder as given, "/", the file name
};

// The dump files of `folder` (entries whose names are dump names and that
// are regular files, or links to one). False with `*error` set when the
// folder cannot be listed.
bool ListDumps(const std::string& folder, std::vector<DumpFile>* dumps, std::string* error);

// The dumps of one copy and mount path on one side, newest first.
struct DumpGroup {
  int32_t copyId = 0;
  int32_t mountPathId = 0;
  std::vector<DumpFile> dumps;
};

// One (copy, mount path) of the two folders: its dumps on each side (a
// side's list is empty when the folder holds none).
struct GroupPair {
  int32_t copyId = 0;
  int32_t mountPathId = 0;
  std::vector<DumpFile> oldDumps, newDumps;  // newest first
};

// Pairs the dumps of both folders by copy id and mount path id, in the
// order of copy id then mount path id; within a group, newest first (by the
// time in the name, then by the name).
std::vector<GroupPair> PairDumps(const std::vector<DumpFile>& oldDumps,
                                 const std::vector<DumpFile>& newDumps);

// A dump that was not taken, and why.
struct PassedOver {
  std::string path;
  Completeness completeness;  // "failed", "disagrees", or "unknown" (a
                              // complete one was taken instead)
};

// The dump taken from a group.
struct Choice {
  bool found = false;        // false: every dump of the group was passed over
  std::string path;          // when found
  Completeness completeness; // "complete" or "unknown", when found
  // The dumps newer than the one taken (all of them when none is) that were
  // passed over, newest first.
  std::vector<PassedOver> passedOver;
};

using CompletenessCheck = std::function<Completeness(const std::string& path)>;

// What the record of `dumpFile` says, without reading the file: "unknown"
// without a record, "failed" when it says so, "disagrees" when it cannot be
// read or names another size than the file's, else "complete". The rows and
// SHA-256 are left to the diff, which checks them as it reads its inputs:
// each file is then read as often as by a single diff.
Completeness RecordedCompleteness(const std::string& dumpFile);

// Chooses from `dumps` (newest first) as the header says, asking `check`
// (CheckCompleteness, reading the record and the file) about the newest
// dumps down to the first complete one.
Choice ChooseDump(const std::vector<DumpFile>& dumps,
                  const CompletenessCheck& check = CheckCompleteness);

}  // namespace tzcli
