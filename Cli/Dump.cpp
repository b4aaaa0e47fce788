#include "Dump.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <thread>

#include "AllMountPaths.h"
#include "Args.h"
#include "DumpProgress.h"
#include "DumpRecord.h"
#include "Human.h"
#include "LogWatch.h"
#include "Metrics.h"
#include "Progress.h"
#include "Report.h"
#include "Signals.h"
#include "Survey.h"
#include "Text.h"
#include "TzLibVolReconciliation.h"

namespace tzcli {

namespace {

const char kDumpHelp[] =
    "usage: tzrecon dump --mount-path-id N --copy-id N --dump-dir DIR [options]\n"
    "       tzrecon dump --all-mount-paths --copy-id N --dump-dir DIR [--jobs N] [options]\n"
    "\n"
    "Writes the chunk-lister dump of one mount path and one copy into DIR and\n"
    "prints the dump file's path on the first line, then its rows, bytes, the\n"
    "time taken and the notices of the log counted by kind. With\n"
    "--all-mount-paths, one dump per mount path of the registry, then a table.\n"
    "Beside each dump file, FILE.json records the summary, the file's rows,\n"
    "bytes and SHA-256, the start and end of the dump and tzrecon's version.\n"
    "\n"
    "Exit status: 0 done; 1 a dump failed (its failure lines are shown on\n"
    "standard error), or standard output could not be written; 2 a bad\n"
    "argument, registry or log file (nothing was dumped); 130, 143, 129\n"
    "interrupted by SIGINT, SIGTERM, SIGHUP (with --all-mount-paths, passed on\n"
    "to every running dump).\n"
    "\n"
    "options:\n"
    "  --mount-path-id N      the mount path's id in the registry\n"
    "  --all-mount-paths      every mount path of the registry instead\n"
    "  --jobs N               with --all-mount-paths: dumps at a time\n"
    "                         (default: the number of processors)\n"
    "  --copy-id N            the copy whose volumes are listed (required)\n"
    "  --dump-dir DIR         an existing folder for the dump file (required)\n"
    "  --single-instanced     the copy is single-instanced (walks the volumes\n"
    "                         that carry the .tzsivolume marker)\n"
    "  --flags N              dumps to run, a sum of 2 (chunk lister),\n"
    "                         4 (SIDB primary), 8 (SIDB secondary); default 2\n"
    "  --cloud-host-param N   handed to the cloud lister (default 0)\n"
    "  --config FILE          mount path registry (sets TZRECON_CONFIG)\n"
    "  --log FILE             host log file, appended to (sets TZRECON_LOG;\n"
    "                         default: DIR/tzrecon.log; '-': standard error)\n"
    "  --log-level N          host log level (sets TZRECON_LOG_LEVEL)\n"
    "  --json                 the summary as one JSON object (with\n"
    "                         --all-mount-paths, a JSON array) on standard output\n"
    "  --quiet                print only the dump file's path\n"
    "  --human                sizes in KiB, MiB, GiB, TiB beside the bytes (the\n"
    "                         default when standard output is a terminal)\n"
    "  --metrics FILE         write the outcome as Prometheus text metrics to FILE\n"
    "                         (replaced atomically; written when a dump fails too)\n"
    "\n"
    "On a terminal, progress (volumes done of the total, chunks, rate, ETA) is\n"
    "shown on standard error.\n";

const char kDefaultLogName[] = "tzrecon.log";
constexpr int64_t kMinLogLevel = -1, kMaxLogLevel = 2;

// The registry file named by --config, or else by TZRECON_CONFIG; `source`
// says which, for messages.
std::string RegistryPath(const ParsedArgs& parsed, std::string& source) {
  source = "--config";
  if (parsed.Has("--config")) return parsed.Text("--config");
  source = "TZRECON_CONFIG";
  const char* value = getenv("TZRECON_CONFIG");
  return value != nullptr ? value : "";
}

// Opens the log as the host will (appending, created when missing), so a
// log that cannot be written is refused before anything runs.
void CheckLog(const std::string& path, const std::string& source) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) throw UsageError(source + ": cannot open '" + path + "': " + std::strerror(errno));
  struct stat st;
  const bool regular = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISCHR(st.st_mode) ||
                                                S_ISFIFO(st.st_mode));
  close(fd);
  if (!regular) throw UsageError(source + ": '" + path + "' is not a file");
}

// The options given as flags and values, checked against each other.
DumpOptions ParseFlags(const ParsedArgs& parsed) {
  if (!parsed.positional.empty())
    throw UsageError("unexpected argument '" + parsed.positional[0] + "'");
  DumpOptions o;
  o.allMountPaths = parsed.Has("--all-mount-paths");
  if (o.allMountPaths && parsed.Has("--mount-path-id"))
    throw UsageError("give --mount-path-id or --all-mount-paths, not both");
  if (!o.allMountPaths) parsed.Require("--mount-path-id");
  if (!o.allMountPaths && parsed.Has("--jobs"))
    throw UsageError("--jobs goes with --all-mount-paths");
  parsed.Require("--copy-id");
  parsed.Require("--dump-dir");
  o.mountPathId = static_cast<int32_t>(parsed.Int("--mount-path-id", 0, INT32_MIN, INT32_MAX));
  o.copyId = static_cast<int32_t>(parsed.Int("--copy-id", 0, 0, INT32_MAX));
  o.dumpDir = parsed.Text("--dump-dir");
  o.singleInstanced = parsed.Has("--single-instanced");
  o.flags = static_cast<uint32_t>(parsed.Unsigned("--flags", DUMP_CHUNK_LISTER, UINT32_MAX));
  o.cloudHostParam =
      static_cast<int32_t>(parsed.Int("--cloud-host-param", 0, INT32_MIN, INT32_MAX));
  if (parsed.Has("--log-level")) {
    // Checked here, handed on as text: -1 failures only, 1 the default,
    // 2 progress; the library logs no other level.
    parsed.Int("--log-level", 0, kMinLogLevel, kMaxLogLevel);
    o.logLevel = parsed.Text("--log-level");
  }
  o.json = parsed.Has("--json");
  o.quiet = parsed.Has("--quiet");
  if (o.json && o.quiet) throw UsageError("give --json or --quiet, not both");
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  o.jobs = static_cast<int>(parsed.Int("--jobs", std::min(cores, 256u), 1, 256));
  if (o.allMountPaths && (o.flags & DUMP_CHUNK_LISTER) == 0)
    throw UsageError("--all-mount-paths runs chunk-lister dumps: --flags must include 2");
  o.metrics = parsed.Text("--metrics");
  if (!o.metrics.empty()) CheckMetricsPath(o.metrics);
  if (parsed.Has("--progress-fd")) {
    o.progressFd = static_cast<int>(parsed.Int("--progress-fd", -1, 3, INT32_MAX));
    if (fcntl(o.progressFd, F_GETFD) < 0)
      throw UsageError("--progress-fd: " + std::to_string(o.progressFd) + " is not open");
  }
  return o;
}

// The registry is checked whole before the library runs: a broken entry
// would fail the lookup of every mount path alike.
void ReadRegistry(const ParsedArgs& parsed, DumpOptions& o) {
  std::string source;
  o.config = RegistryPath(parsed, source);
  const bool needed = o.allMountPaths || (o.flags & DUMP_CHUNK_LISTER) != 0;
  if (o.config.empty() && needed)
    throw UsageError("no mount path registry: give --config FILE or set TZRECON_CONFIG");
  if (o.config.empty()) return;
  // Read here rather than in the host, so that the host's own system
  // calls stay those of the dump.
  std::string text, error;
  if (!ReadSmallFile(o.config, text, error))
    throw UsageError(source + ": " + o.config + ": " + error);
  if (!tzhost::ReadRegistryText(text, o.config, o.entries, error))
    throw UsageError(source + ": " + error);
  for (const tzhost::MountPathEntry& e : o.entries)
    if ((o.allMountPaths || e.id == o.mountPathId) && !e.passwordEnv.empty() &&
        getenv(e.passwordEnv.c_str()) == nullptr)
      throw UsageError(source + ": " + o.config + ": mount path " + std::to_string(e.id) +
                       ": the variable named by \"passwordEnv\" is not set");
  if (o.allMountPaths && o.entries.empty())
    throw UsageError(source + ": " + o.config + ": no mount path is registered");
}

// The log: --log, else TZRECON_LOG, else a file beside the dumps.
void ChooseLog(const ParsedArgs& parsed, DumpOptions& o) {
  std::string logSource = "--log";
  if (parsed.Has("--log")) {
    o.log = parsed.Text("--log");
  } else if (const char* value = getenv("TZRECON_LOG"); value != nullptr && *value != '\0') {
    o.log = value;
    logSource = "TZRECON_LOG";
  } else {
    o.log = o.dumpDir + (o.dumpDir.back() == '/' ? "" : "/") + kDefaultLogName;
    logSource = "the log";
  }
  if (o.log == "-")
    o.log.clear();
  else
    CheckLog(o.log, logSource);
}

DumpOptions ParseOptions(const ParsedArgs& parsed) {
  DumpOptions o = ParseFlags(parsed);
  struct stat st;
  if (stat(o.dumpDir.c_str(), &st) != 0)
    throw UsageError("--dump-dir: '" + o.dumpDir + "': " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) throw UsageError("--dump-dir: '" + o.dumpDir + "' is not a folder");
  ReadRegistry(parsed, o);
  ChooseLog(parsed, o);
  return o;
}

const tzhost::MountPathEntry* FindEntry(const DumpOptions& o, int32_t id) {
  for (const tzhost::MountPathEntry& e : o.entries)
    if (e.id == id) return &e;
  return nullptr;
}

void AddFailureLine(DumpOutcome& outcome, const std::string& line) {
  outcome.ok = false;
  outcome.failureLines.push_back(line);
  ++outcome.failureLineCount;
}

// After the library returned, with the dump file this run wrote (when one is
// left at its name): counts what the file holds, reading it once, and writes
// the record beside it. A successful dump whose file cannot be read back or
// recorded fails.
void RecordDump(DumpOutcome& outcome, time_t started, time_t ended) {
  struct stat st;
  if (!outcome.ok && lstat(outcome.dumpFile.c_str(), &st) != 0) return;  // nothing left
  const FileDigest digest = DigestFile(outcome.dumpFile);
  if (outcome.ok && !digest.ok)
    AddFailureLine(outcome, "tzrecon: cannot read the dump file back: " + digest.error);
  if (outcome.ok) {
    outcome.rowsKnown = true;
    outcome.rows = digest.rows;
    outcome.bytes = digest.bytes;
    outcome.chunkBytesKnown = digest.chunkBytesKnown;
    outcome.chunkBytes = digest.chunkBytes;
  }
  outcome.record = RecordPath(outcome.dumpFile);
  std::string error;
  if (!WriteRecord(outcome.dumpFile, RecordJson(outcome, digest, started, ended), &error)) {
    outcome.record.clear();
    AddFailureLine(outcome, "tzrecon: " + error);
  }
}

// What the log said of the dump: notices, failure lines, and whether the
// dump file named `dumpFileName` ("" when none) is this run's. A file that
// the library found at the dump's name is another's: it is never named as
// this dump's, so that nothing is done to it in its name.
void TakeFromTheLog(DumpOutcome& outcome, const LogWatch& watch, const std::string& dumpFileName) {
  outcome.notices = watch.Notices();
  outcome.failureLines.assign(watch.OtherLines().begin(), watch.OtherLines().end());
  outcome.failureLineCount = watch.OtherLineCount();
  if (!watch.NameTaken()) {
    outcome.dumpFile = dumpFileName;
    return;
  }
  outcome.hints.push_back("a file that this run did not write holds the dump's name (a dump of "
                          "the same second?); it was left as it was");
}

std::string RegisteredIds(const DumpOptions& o) {
  std::string ids;
  for (const tzhost::MountPathEntry& e : o.entries)
    ids += (ids.empty() ? "" : ", ") + std::to_string(e.id);
  return ids.empty() ? "none" : ids;
}

// Runs the dump of one mount path and gathers what is known of it.
DumpOutcome RunOne(const DumpOptions& o) {
  const bool listing = (o.flags & DUMP_CHUNK_LISTER) != 0;
  const tzhost::MountPathEntry* entry = FindEntry(o, o.mountPathId);
  DumpOutcome outcome;
  outcome.mountPathId = o.mountPathId;
  outcome.copyId = o.copyId;
  outcome.kind = entry == nullptr ? "" : entry->type == 7 ? "cloud" : "disk";
  outcome.log = o.log;

  ChunkListInputs inputs;
  inputs.mountPathId = o.mountPathId;
  inputs.isSingleInstanced = o.singleInstanced;
  _TzLibVolReconInputParams params;
  params.dumpFlags = o.flags;
  params.dumpPath = o.dumpDir;
  params.copyId = o.copyId;
  params.cloudHostParam = o.cloudHostParam;
  params.chunkListInputs = &inputs;

  LogWatch watch;
  // Followed for a status line on a terminal, or for the parent of an
  // --all-mount-paths child; otherwise nothing is listed or sent.
  const bool statusLine = listing && !o.quiet && isatty(STDERR_FILENO) == 1;
  std::unique_ptr<DumpProgress> state;
  if (statusLine || (listing && o.progressFd >= 0))
    state = std::make_unique<DumpProgress>(watch, entry);
  std::unique_ptr<StatusLine> progress;
  std::atomic<bool> walked{false};  // read by the status line's thread
  if (statusLine)
    progress = std::make_unique<StatusLine>([&state, &walked](double seconds) {
      return ProgressText(state->State(), seconds, walked.load());
    });
  std::unique_ptr<ProgressFeed> feed;
  if (state && o.progressFd >= 0) feed = std::make_unique<ProgressFeed>(*state, o.progressFd);

  const auto started = std::chrono::steady_clock::now();
  const time_t startedWall = time(nullptr);
  std::string exceptionText;
  try {
    TzLibVolReconsiliation library;
    if (progress) progress->Start();
    SetStatusLineShown(progress != nullptr);
    outcome.ok = library.CreateMultipleDumps(params);
  } catch (const std::exception& e) {
    exceptionText = e.what();
  }
  SetDumpPhase(DumpPhase::kRecording);
  if (state) state->Finish(outcome.ok);
  walked = true;
  if (feed) feed->Stop();
  if (progress) progress->Stop();
  SetStatusLineShown(false);
  const time_t endedWall = time(nullptr);
  outcome.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  TakeFromTheLog(outcome, watch, listing ? inputs.dumpFileName : "");
  if (!exceptionText.empty()) AddFailureLine(outcome, "tzrecon: the library threw: " + exceptionText);
  if (!outcome.dumpFile.empty()) RecordDump(outcome, startedWall, endedWall);
  SetDumpPhase(DumpPhase::kDone);

  if (outcome.ok && listing && outcome.rowsKnown && outcome.rows == 0 && entry != nullptr)
    outcome.hints = ExplainNoRows(*entry, o.copyId, o.singleInstanced);
  if (!outcome.ok && listing && entry == nullptr)
    outcome.hints.push_back("mount path " + std::to_string(o.mountPathId) +
                            " is not in the registry " + o.config +
                            "; registered: " + RegisteredIds(o));
  return outcome;
}

// The metrics of a dump command refused before any dump (status 2): success
// 0, labelled with the mount path and copy as far as they were given.
void WriteRefusedMetrics(const ParsedArgs& parsed, double seconds) {
  const std::string path = parsed.Text("--metrics");
  if (path.empty()) return;
  MetricLabels labels;
  using Label = std::pair<const char*, const char*>;
  for (const auto& [option, label] : {Label{"--mount-path-id", "mount_path"}, Label{"--copy-id", "copy"}}) {
    try {
      if (parsed.Has(option))
        labels.emplace_back(label, std::to_string(parsed.Int(option, 0, INT32_MIN, INT32_MAX)));
    } catch (const UsageError&) {
      // Not a number: no such label.
    }
  }
  DumpOutcome outcome;
  outcome.seconds = seconds;
  // A FILE that cannot be written was the refusal's reason, or is told by
  // the refusal's message anyway: only that message goes out.
  std::string error;
  WriteMetricsFile(path, DumpMetricsText({{&outcome, labels, UnixNow(), false}}), &error);
}

int RunSingle(const DumpOptions& o) {
  if ((o.flags & (DUMP_CHUNK_LISTER | DUMP_SIDB_PRIMARY | DUMP_SIDB_SECONDARY)) == 0)
    fprintf(stderr,
            "tzrecon dump: warning: --flags %u selects no dump (2 chunk lister, 4 SIDB primary, "
            "8 SIDB secondary)\n",
            o.flags);
  InstallDumpHandlers();
  const DumpOutcome outcome = RunOne(o);
  const double ended = UnixNow();
  const bool listing = (o.flags & DUMP_CHUNK_LISTER) != 0;
  if (o.json) {
    printf("%s\n", JsonText(ToJson(outcome)).c_str());
  } else if (!outcome.ok) {
    PrintFailure(stderr, outcome, "tzrecon dump: ");
  } else if (o.quiet) {
    if (listing) printf("%s\n", outcome.dumpFile.c_str());
  } else if (listing) {
    PrintSummary(stdout, outcome);
  } else {
    printf("dumps done (flags %u), %.2f s\n", o.flags, outcome.seconds);
  }
  return WriteDumpMetrics(o.metrics, {{&outcome, DumpLabels(outcome), ended}}, outcome.ok ? 0 : 1);
}

}  // namespace

int RunDump(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(
      args, {{"--mount-path-id", true}, {"--all-mount-paths", false}, {"--jobs", true},
             {"--copy-id", true}, {"--dump-dir", true}, {"--single-instanced", false},
             {"--flags", true}, {"--cloud-host-param", true}, {"--config", true},
             {"--log", true}, {"--log-level", true}, {"--json", false}, {"--quiet", false},
             {"--human", false}, {"--metrics", true}, {"--progress-fd", true}});
  if (parsed.help) {
    fputs(kDumpHelp, stdout);
    return 0;
  }
  const auto started = std::chrono::steady_clock::now();
  DumpOptions options;
  try {
    options = ParseOptions(parsed);
  } catch (const UsageError&) {
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - started;
    WriteRefusedMetrics(parsed, taken.count());
    throw;
  }
  SetHumanSizes(WantHumanSizes(parsed.Has("--human"), STDOUT_FILENO));

  // The host's loggers and its registry read these when they are made, so
  // they are set before the library object exists (and before any worker).
  if (!options.config.empty()) setenv("TZRECON_CONFIG", options.config.c_str(), 1);
  if (options.log.empty())
    unsetenv("TZRECON_LOG");
  else
    setenv("TZRECON_LOG", options.log.c_str(), 1);
  if (!options.logLevel.empty()) setenv("TZRECON_LOG_LEVEL", options.logLevel.c_str(), 1);

  return options.allMountPaths ? RunAllMountPaths(options) : RunSingle(options);
}

}  // namespace tzcli
