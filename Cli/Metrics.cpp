#include "Metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Args.h"
#include "Interrupted.h"

namespace tzcli {

namespace {

const NoticeKind kNoticeKinds[] = {NoticeKind::kEntryPassedOver, NoticeKind::kChunkLeftOut,
                                   NoticeKind::kVolumeSkipped, NoticeKind::kSizeUnknown,
                                   NoticeKind::kOther};

// HELP text escapes backslash and line feed only.
std::string EscapeHelp(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

MetricLabels With(MetricLabels labels, const std::string& name, const std::string& value) {
  labels.emplace_back(name, value);
  return labels;
}

}  // namespace

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

void Exposition::Add(const std::string& name, const std::string& help, const MetricLabels& labels,
                     const std::string& value) {
  Family* family = nullptr;
  for (Family& f : m_families)
    if (f.name == name) family = &f;
  if (family == nullptr) {
    m_families.push_back({name, help, {}});
    family = &m_families.back();
  }
  std::string sample;
  for (const auto& [label, text] : labels)
    sample += (sample.empty() ? "{" : ",") + label + "=\"" + EscapeLabelValue(text) + "\"";
  if (!sample.empty()) sample += "}";
  family->samples.push_back(sample + " " + value);
}

void Exposition::Gauge(const std::string& name, const std::string& help,
                       const MetricLabels& labels, uint64_t value) {
  Add(name, help, labels, std::to_string(value));
}

void Exposition::Gauge(const std::string& name, const std::string& help,
                       const MetricLabels& labels, double value) {
  char text[64];
  snprintf(text, sizeof text, "%.6f", value);
  Add(name, help, labels, text);
}

std::string Exposition::Text() const {
  std::string text;
  for (const Family& f : m_families) {
    text += "# HELP " + f.name + " " + EscapeHelp(f.help) + "\n";
    text += "# TYPE " + f.name + " gauge\n";
    for (const std::string& sample : f.samples) text += f.name + sample + "\n";
  }
  return text;
}

void CheckMetricsPath(const std::string& path) {
  const std::string folder = FolderOf(path);
  struct stat st;
  if (stat(folder.c_str(), &st) != 0)
    throw UsageError("--metrics: the folder '" + folder + "' of '" + path +
                     "': " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode))
    throw UsageError("--metrics: '" + folder + "' (the folder of '" + path + "') is not a folder");
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    throw UsageError("--metrics: cannot write in '" + folder + "': " + std::strerror(errno));
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    throw UsageError("--metrics: '" + path + "' is a folder");
}

bool WriteMetricsFile(const std::string& path, const std::string& text, std::string* error) {
  const std::string folder = FolderOf(path);
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  // Hidden, and not ending in ".prom": a collector reading the folder
  // never takes the temporary file for a metrics file.
  std::string temp = folder + "/." + name + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *error = "--metrics: cannot create a file in '" + folder + "': " + std::strerror(errno);
    return false;
  }
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && tzhost::WriteAll(fd, text.data(), text.size()) &&
            fsync(fd) == 0;
  int err = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    unlink(temp.c_str());
    *error = "--metrics: cannot write '" + path + "': " + std::strerror(err);
  }
  return ok;
}

double UnixNow() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

MetricLabels DumpLabels(const DumpOutcome& outcome) {
  return {{"mount_path", std::to_string(outcome.mountPathId)},
          {"copy", std::to_string(outcome.copyId)}};
}

std::string DumpMetricsText(const std::vector<DumpMetrics>& dumps) {
  Exposition e;
  for (const DumpMetrics& d : dumps) {
    const DumpOutcome& o = *d.outcome;
    e.Gauge("tzrecon_dump_success",
            "Whether the dump succeeded (1) or failed or was interrupted (0).", d.labels,
            uint64_t{o.ok ? 1u : 0u});
    if (d.ran && o.rowsKnown) {
      e.Gauge("tzrecon_dump_rows", "Rows of the dump file: one per chunk listed.", d.labels,
              o.rows);
      if (o.chunkBytesKnown)
        e.Gauge("tzrecon_dump_chunk_bytes",
                "Bytes held by the chunks the dump lists: the sum of their sizes.", d.labels,
                o.chunkBytes);
      e.Gauge("tzrecon_dump_file_bytes", "Size of the dump file.", d.labels, o.bytes);
    }
    e.Gauge("tzrecon_dump_duration_seconds", "Time the dump took.", d.labels, o.seconds);
    if (d.ran)
      for (const NoticeKind kind : kNoticeKinds) {
        uint64_t count = 0;
        for (const Notice& n : o.notices)
          if (n.kind == kind) count += n.count;
        e.Gauge("tzrecon_dump_notices",
                "Failure lines (level -1) of the dump's log, by kind; kind \"other\" holds a "
                "failed dump's own failure.",
                With(d.labels, "kind", KindKey(kind)), count);
      }
    e.Gauge("tzrecon_dump_end_time_seconds", "When the dump ended, in seconds since the epoch.",
            d.labels, d.endedUnix);
  }
  return e.Text();
}

int WriteDumpMetrics(const std::string& path, const std::vector<DumpMetrics>& dumps, int status) {
  std::string error;
  if (path.empty() || WriteMetricsFile(path, DumpMetricsText(dumps), &error)) return status;
  fflush(stdout);
  fprintf(stderr, "tzrecon dump: %s\n", error.c_str());
  return status == 0 ? 1 : status;
}

std::string DiffMetricsText(const DiffFacts& facts, double seconds, double endedUnix) {
  Exposition e;
  MetricLabels labels;
  for (int k = 0; k < 2; ++k)
    if (facts.mountPathKnown[k])
      labels.emplace_back(k == 0 ? "old_mount_path" : "new_mount_path",
                          std::to_string(facts.mountPathIds[k]));
  e.Gauge("tzrecon_diff_success",
          "Whether the diff compared its inputs (1: exit status 0 or 1) or failed (0).", labels,
          uint64_t{facts.compared ? 1u : 0u});
  if (facts.compared) {
    for (int k = 0; k < 2; ++k)
      e.Gauge("tzrecon_diff_input_rows", "Rows of each input dump.",
              With(labels, "input", k == 0 ? "old" : "new"), facts.rows[k]);
    for (const DiffFacts::Kind& kind : facts.kinds)
      e.Gauge("tzrecon_diff_rows", "Rows of the differences, by change kind.",
              With(labels, "kind", kind.name), kind.rows);
    for (const DiffFacts::Kind& kind : facts.kinds)
      for (const char* side : {"old", "new"})
        e.Gauge("tzrecon_diff_bytes",
                "Sum of the chunk sizes of the differences, by change kind and by the side "
                "(old or new input) the sizes are read from.",
                With(With(labels, "kind", kind.name), "side", side),
                side[0] == 'o' ? kind.oldBytes : kind.newBytes);
  }
  e.Gauge("tzrecon_diff_duration_seconds", "Time the diff took.", labels, seconds);
  e.Gauge("tzrecon_diff_end_time_seconds", "When the diff ended, in seconds since the epoch.",
          labels, endedUnix);
  return e.Text();
}

int WriteDiffMetrics(const std::string& path, const DiffFacts& facts,
                     std::chrono::steady_clock::time_point started, int status) {
  if (path.empty()) return status;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::string error;
  if (WriteMetricsFile(path, DiffMetricsText(facts, seconds, UnixNow()), &error)) return status;
  fflush(stdout);
  fprintf(stderr, "tzrecon diff: %s\n", error.c_str());
  return 2;
}

}  // namespace tzcli
