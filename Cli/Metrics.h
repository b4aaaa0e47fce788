// --metrics FILE: the outcome of a dump or a diff as a file in the
// Prometheus text exposition format (0.0.4), for the node exporter's
// textfile collector or anything else that reads such files.
//
// Every metric is a gauge (the values are those of the last run, not
// counters that grow), named tzrecon_dump_* or tzrecon_diff_*, in base
// units (_bytes, _seconds), with HELP and TYPE lines. Dump series are
// labelled by mount_path and copy. The file is written whole into a
// temporary file in the same folder and renamed over FILE, so a reader
// never sees half of it; it is written when the work fails as well
// (success 0).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Report.h"

namespace tzcli {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

// Metric families, each with its HELP and TYPE lines followed by all its
// samples, in the order first used.
class Exposition {
 public:
  // Adds a sample of the gauge `name`; `help` describes it the first time.
  void Gauge(const std::string& name, const std::string& help, const MetricLabels& labels,
             uint64_t value);
  void Gauge(const std::string& name, const std::string& help, const MetricLabels& labels,
             double value);
  std::string Text() const;

 private:
  struct Family {
    std::string name, help;
    std::vector<std::string> samples;  // "{labels} value" lines without the name
  };
  void Add(const std::string& name, const std::string& help, const MetricLabels& labels,
           const std::string& value);
  std::vector<Family> m_families;
};

// A label value as the text format quotes it: backslash, double quote and
// line feed escaped.
std::string EscapeLabelValue(const std::string& value);

// Refuses (UsageError) a metrics FILE that cannot be written: its folder is
// missing, not a folder or not writable, or FILE is a folder. Called before
// any work, so that a mistake costs no dump.
void CheckMetricsPath(const std::string& path);
// Writes `text` into a temporary file in FILE's folder, flushed, then
// renamed over FILE (readable as files made by the process usually are).
// False with `*error` set; no temporary file is left then.
bool WriteMetricsFile(const std::string& path, const std::string& text, std::string* error);

// The wall-clock time in unix seconds.
double UnixNow();

// One dump for the metrics: its outcome, the labels of its series, when it
// ended, and whether the library ran at all (a bad command line stops a
// dump before: only success, duration and end time are written then).
struct DumpMetrics {
  const DumpOutcome* outcome = nullptr;
  MetricLabels labels;
  double endedUnix = 0;
  bool ran = true;
};
// {mount_path, copy} of an outcome.
MetricLabels DumpLabels(const DumpOutcome& outcome);
std::string DumpMetricsText(const std::vector<DumpMetrics>& dumps);
// Writes DumpMetricsText(dumps) to `path` (nothing when it is ""). Returns
// `status`, or 1 for 0 when the file cannot be written (said on standard
// error).
int WriteDumpMetrics(const std::string& path, const std::vector<DumpMetrics>& dumps, int status);

// What a diff found, for its metrics.
struct DiffFacts {
  bool compared = false;  // the comparison ran to its end (exit status 0 or 1)
  uint64_t rows[2] = {0, 0};  // OLD, NEW
  bool mountPathKnown[2] = {false, false};
  int32_t mountPathIds[2] = {0, 0};
  struct Kind {
    std::string name;  // "missing", "new", "changed", "duplicate"
    uint64_t rows = 0, oldBytes = 0, newBytes = 0;
  };
  std::vector<Kind> kinds;
};
std::string DiffMetricsText(const DiffFacts& facts, double seconds, double endedUnix);
// Writes DiffMetricsText to `path` (nothing when it is "") for a diff that
// began at `started` and ends with `status`. Returns `status`, or 2 when the
// file cannot be written (said on standard error).
int WriteDiffMetrics(const std::string& path, const DiffFacts& facts,
                     std::chrono::steady_clock::time_point started, int status);

}  // namespace tzcli
