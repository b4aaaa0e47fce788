// The report of `tzrecon diff OLD_DIR NEW_DIR`: what became of each copy and
// mount path, as one table with notes and a count on standard output (or
// one JSON array), failures on standard error, and the exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "DumpPairing.h"

namespace tzcli {

extern const char* const kFolderSides[2];  // "OLD", "NEW"
extern const char* const kDiffKinds[4];    // the diff's kinds of difference

// What became of one copy and mount path.
struct PairOutcome {
  int32_t copyId = 0;
  int32_t mountPathId = 0;
  std::string outcome;      // "same", "different", "failed", "only in OLD",
                            // "only in NEW", or "interrupted"
  bool present[2] = {false, false};
  Choice choice[2];
  bool countsKnown = false;
  uint64_t counts[4] = {0, 0, 0, 0};
  uint64_t differences = 0;
  std::string diffFile;     // when one was written
  int status = -1;          // the diff's exit status, -1 when none ran
  std::string error;        // why it failed
  std::string interrupted;  // the signal that stopped it
  nlohmann::ordered_json summary;  // the diff's own JSON summary, when it gave one
};

// "copy 7, mount path 1"
std::string Where(const PairOutcome& o);

// The outcome of each pair as one JSON object.
nlohmann::ordered_json PairJson(const PairOutcome& o);

// Writes the report: the failures on standard error, then the table, notes
// and count (or with `json` the JSON array) on standard output, and, when
// `signal` stopped the run, the mount paths not compared.
void PrintFolderReport(const std::vector<PairOutcome>& outcomes, bool json, int signal);

// 128 + `signal` when one stopped the run; 2 when a pair failed; 1 when a
// pair differs or is on one side only; 0 when all are the same.
int FolderExitStatus(const std::vector<PairOutcome>& outcomes, int signal);

}  // namespace tzcli
