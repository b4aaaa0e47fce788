#include "FolderReport.h"

#include <algorithm>
#include <cstdio>

#include "Signals.h"

namespace tzcli {

using nlohmann::ordered_json;

const char* const kFolderSides[2] = {"OLD", "NEW"};
const char* const kDiffKinds[4] = {"missing", "new", "changed", "duplicate"};

std::string Where(const PairOutcome& o) {
  return "copy " + std::to_string(o.copyId) + ", mount path " + std::to_string(o.mountPathId);
}

namespace {

ordered_json Nullable(const std::string& text) {
  return text.empty() ? ordered_json() : ordered_json(text);
}

std::string ChosenFile(const PairOutcome& o, int k) {
  return o.present[k] && o.choice[k].found ? o.choice[k].path : "";
}

// "complete", "OLD unknown", "NEW unknown", "both unknown", or "-".
std::string CompletenessColumn(const PairOutcome& o) {
  bool unknown[2] = {false, false};
  int chosen = 0;
  for (int k = 0; k < 2; ++k)
    if (!ChosenFile(o, k).empty()) {
      ++chosen;
      unknown[k] = o.choice[k].completeness.state != "complete";
    }
  if (chosen == 0) return "-";
  if (unknown[0] && unknown[1]) return "both unknown";
  if (unknown[0] || unknown[1]) return std::string(unknown[0] ? "OLD" : "NEW") + " unknown";
  return "complete";
}

void PrintTable(const std::vector<PairOutcome>& outcomes) {
  printf("%6s  %10s  %-11s  %-12s  %8s  %8s  %8s  %9s  %s  %s  %s\n", "copy", "mount path",
         "outcome", "completeness", "missing", "new", "changed", "duplicate", "old file",
         "new file", "diff file");
  for (const PairOutcome& o : outcomes) {
    std::string counts[4];
    for (int k = 0; k < 4; ++k) counts[k] = o.countsKnown ? std::to_string(o.counts[k]) : "-";
    const std::string files[2] = {ChosenFile(o, 0), ChosenFile(o, 1)};
    printf("%6d  %10d  %-11s  %-12s  %8s  %8s  %8s  %9s  %s  %s  %s\n", o.copyId, o.mountPathId,
           o.interrupted.empty() ? o.outcome.c_str() : o.interrupted.c_str(),
           CompletenessColumn(o).c_str(), counts[0].c_str(), counts[1].c_str(),
           counts[2].c_str(), counts[3].c_str(),
           files[0].empty() ? "-" : files[0].c_str(), files[1].empty() ? "-" : files[1].c_str(),
           o.diffFile.empty() ? "-" : o.diffFile.c_str());
  }
}

// What the table does not show: dumps taken without a record, dumps passed over.
void PrintNotes(const std::vector<PairOutcome>& outcomes) {
  for (const PairOutcome& o : outcomes)
    for (int k = 0; k < 2; ++k) {
      if (!ChosenFile(o, k).empty() && o.choice[k].completeness.state != "complete")
        printf("%s: %s %s has no record: completeness unknown, compared as it is\n",
               Where(o).c_str(), kFolderSides[k], o.choice[k].path.c_str());
      for (const PassedOver& p : o.choice[k].passedOver)
        printf("%s: passed over %s %s: %s\n", Where(o).c_str(), kFolderSides[k], p.path.c_str(),
               p.completeness.state == "unknown" ? "no record, and a complete dump is there"
                                                 : p.completeness.reason.c_str());
    }
}

void PrintCounts(const std::vector<PairOutcome>& outcomes) {
  const auto count = [&](const char* outcome) {
    return std::count_if(outcomes.begin(), outcomes.end(),
                         [&](const PairOutcome& o) { return o.outcome == outcome; });
  };
  printf("%zu mount paths: %zd same, %zd different, %zd only in OLD, %zd only in NEW, "
         "%zd failed",
         outcomes.size(), count("same"), count("different"), count("only in OLD"),
         count("only in NEW"), count("failed"));
  const auto stopped = count("interrupted");
  printf(stopped > 0 ? ", %zd interrupted\n" : "\n", stopped);
}

}  // namespace

ordered_json PairJson(const PairOutcome& o) {
  ordered_json j = {{"copyId", o.copyId}, {"mountPathId", o.mountPathId}, {"outcome", o.outcome}};
  for (int k = 0; k < 2; ++k) {
    const std::string side = k == 0 ? "old" : "new";
    j[side + "File"] = Nullable(ChosenFile(o, k));
    j[side + "Completeness"] =
        Nullable(ChosenFile(o, k).empty() ? "" : o.choice[k].completeness.state);
  }
  ordered_json passed = ordered_json::array();
  for (int k = 0; k < 2; ++k)
    for (const PassedOver& p : o.choice[k].passedOver)
      passed.push_back({{"side", kFolderSides[k]},
                        {"file", p.path},
                        {"completeness", p.completeness.state},
                        {"reason", p.completeness.reason}});
  j["passedOver"] = passed;
  for (int k = 0; k < 4; ++k)
    j[kDiffKinds[k]] = o.countsKnown ? ordered_json(o.counts[k]) : ordered_json();
  j["differences"] = o.countsKnown ? ordered_json(o.differences) : ordered_json();
  j["diffFile"] = Nullable(o.diffFile);
  j["status"] = o.status >= 0 ? ordered_json(o.status) : ordered_json();
  j["error"] = Nullable(o.error);
  j["interrupted"] = Nullable(o.interrupted);
  j["summary"] = o.summary.is_object() ? o.summary : ordered_json();
  return j;
}

void PrintFolderReport(const std::vector<PairOutcome>& outcomes, bool json, int signal) {
  for (const PairOutcome& o : outcomes)
    if (o.outcome == "failed")
      fprintf(stderr, "tzrecon diff: %s: %s\n", Where(o).c_str(), o.error.c_str());
  fflush(stderr);
  if (json) {
    ordered_json array = ordered_json::array();
    for (const PairOutcome& o : outcomes) array.push_back(PairJson(o));
    printf("%s\n", array.dump(-1, ' ', false, ordered_json::error_handler_t::replace).c_str());
  } else {
    PrintTable(outcomes);
    PrintNotes(outcomes);
    PrintCounts(outcomes);
  }
  if (signal == 0) return;
  fflush(stdout);
  std::string left;
  for (const PairOutcome& o : outcomes)
    if (!o.interrupted.empty()) left += (left.empty() ? "" : "; ") + Where(o);
  fprintf(stderr, "tzrecon: interrupted by %s; not compared: %s\n", SignalName(signal),
          left.c_str());
}

int FolderExitStatus(const std::vector<PairOutcome>& outcomes, int signal) {
  if (signal != 0) return 128 + signal;
  int status = 0;
  for (const PairOutcome& o : outcomes) {
    if (o.outcome == "failed") return 2;
    if (o.outcome != "same") status = 1;
  }
  return status;
}

}  // namespace tzcli
