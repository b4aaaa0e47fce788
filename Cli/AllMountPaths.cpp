#include "AllMountPaths.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <sstream>

#include "ChildProcess.h"
#include "DumpProgress.h"
#include "Metrics.h"
#include "Progress.h"
#include "Report.h"
#include "Signals.h"

namespace tzcli {

namespace {

// The command line of the dump of one mount path, as a user would type it.
std::vector<std::string> WorkerArgs(const std::string& self, const DumpOptions& o, int32_t id) {
  std::vector<std::string> a = {self,        "dump",     "--mount-path-id", std::to_string(id),
                                "--copy-id", std::to_string(o.copyId),   "--dump-dir",
                                o.dumpDir,   "--json",   "--config",        o.config,
                                "--log",     o.log.empty() ? "-" : o.log};
  if (o.singleInstanced) a.push_back("--single-instanced");
  a.insert(a.end(), {"--flags", std::to_string(o.flags), "--cloud-host-param",
                     std::to_string(o.cloudHostParam)});
  if (!o.logLevel.empty()) a.insert(a.end(), {"--log-level", o.logLevel});
  return a;
}

// What is known of a mount path whose dump gave no summary.
DumpOutcome OutcomeWithout(const DumpOptions& o, const tzhost::MountPathEntry& entry) {
  DumpOutcome outcome;
  outcome.mountPathId = entry.id;
  outcome.copyId = o.copyId;
  outcome.kind = entry.type == 7 ? "cloud" : "disk";
  outcome.log = o.log;
  return outcome;
}

// The outcome of a worker: its JSON summary, or what is known when it gave
// none (it could not start, it crashed, it was interrupted by `signal`).
DumpOutcome OutcomeOf(const DumpOptions& o, const tzhost::MountPathEntry& entry,
                      const ChildResult& child, int signal) {
  DumpOutcome outcome;
  const std::string last = child.out.substr(0, child.out.find('\n'));
  const nlohmann::json value = nlohmann::json::parse(last, nullptr, false);
  if (child.startError.empty() && (child.status == 0 || child.status == 1) &&
      !value.is_discarded() && FromJson(value, outcome) && outcome.ok == (child.status == 0))
    return outcome;
  outcome = OutcomeWithout(o, entry);
  std::istringstream err(child.err);
  for (std::string line; std::getline(err, line);) outcome.failureLines.push_back(line);
  const std::string dump = "tzrecon: the dump of mount path " + std::to_string(entry.id);
  if (signal != 0 && child.startError.empty()) {
    outcome.interrupted = SignalName(signal);
    outcome.failureLines.push_back(dump + " was interrupted by " + SignalName(signal));
  } else {
    outcome.failureLines.push_back(
        !child.startError.empty()
            ? "tzrecon: " + child.startError
            : dump + (child.status >= 128 ? " was killed by signal " + std::to_string(child.status - 128)
                                          : " exited with status " + std::to_string(child.status)) +
                  " without a summary");
  }
  outcome.failureLineCount = outcome.failureLines.size();
  return outcome;
}

// The outcome of a mount path whose dump was not started because of `signal`.
DumpOutcome NotStarted(const DumpOptions& o, const tzhost::MountPathEntry& entry, int signal) {
  DumpOutcome outcome = OutcomeWithout(o, entry);
  outcome.interrupted = SignalName(signal);
  outcome.failureLines.push_back("tzrecon: the dump of mount path " + std::to_string(entry.id) +
                                 " was not started: interrupted by " + SignalName(signal));
  outcome.failureLineCount = 1;
  return outcome;
}

// What a running worker's dump last said of its progress (--progress-fd),
// for the parent's status line.
struct SlotProgress {
  std::atomic<bool> running{false};
  std::atomic<int32_t> mountPathId{0};
  std::atomic<uint64_t> chunks{0}, total{0}, permille{0};

  // Takes the complete lines of `text` (the rest stays in it).
  void Take(std::string& text) {
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
      ProgressState state;
      if (!ReadFeedLine(text.substr(start, nl - start), &state)) continue;
      chunks = state.chunks;
      total = state.total;
      permille = state.total == 0 ? 0 : static_cast<uint64_t>(state.done * 1000 / state.total);
    }
    text.erase(0, start);
  }
};

struct Progress {
  std::atomic<size_t> started{0}, done{0}, failed{0};
  // One per worker, when a status line is shown.
  std::unique_ptr<SlotProgress[]> slots;
  size_t slotCount = 0;
};

// "2 of 5 mount paths done (0 failed), 2 running (1: 1200 chunks, 40%; 3:
// 500 chunks), 3.1 s"
std::string AllProgressText(const Progress& p, size_t count, double seconds) {
  const size_t finished = p.done.load();
  const size_t running = p.started.load() - finished;
  std::string dumps;
  for (size_t i = 0; i < p.slotCount; ++i) {
    const SlotProgress& slot = p.slots[i];
    if (!slot.running) continue;
    dumps += (dumps.empty() ? " (" : "; ") + std::to_string(slot.mountPathId.load()) + ": " +
             std::to_string(slot.chunks.load()) + " chunks";
    if (slot.total.load() > 0) dumps += ", " + std::to_string(slot.permille.load() / 10) + "%";
  }
  if (!dumps.empty()) dumps += ")";
  char text[160];
  snprintf(text, sizeof text, "%zu of %zu mount paths done (%zu failed), %zu running", finished,
           count, p.failed.load(), running);
  char time[32];
  snprintf(time, sizeof time, ", %.1f s", seconds);
  return text + dumps + time;
}

// Runs the dumps, `o.jobs` at a time; a signal starts no more of them.
// `ended` receives when each dump ended (unix seconds).
void RunDumps(const DumpOptions& o, std::vector<DumpOutcome>& outcomes, std::vector<double>& ended,
              Progress& p, StatusLine* progress) {
  const std::string self = SelfPath();
  std::mutex stderrMutex;
  const auto dump = [&](size_t slot, size_t i) {
    const tzhost::MountPathEntry& entry = o.entries[i];
    SlotProgress* feed = slot < p.slotCount ? &p.slots[slot] : nullptr;
    if (feed != nullptr) {
      feed->chunks = feed->total = feed->permille = 0;
      feed->mountPathId = entry.id;
      feed->running = true;
    }
    ++p.started;
    const ProgressReader take = [feed](std::string& text) { feed->Take(text); };
    const ChildResult child =
        RunChild(WorkerArgs(self, o, entry.id), slot, feed != nullptr ? &take : nullptr);
    if (feed != nullptr) feed->running = false;
    ended[i] = UnixNow();
    outcomes[i] = OutcomeOf(o, entry, child, ReceivedSignal());
    // A worker's own standard error (the log, with --log -) is passed
    // on whole, so the lines of two workers never mix.
    if (!child.err.empty() && child.status <= 1) {
      std::lock_guard<std::mutex> lock(stderrMutex);
      if (progress) fputs("\r\033[K", stderr);
      fputs(child.err.c_str(), stderr);
    }
    if (!outcomes[i].ok) ++p.failed;
    ++p.done;
  };
  const std::vector<char> started =
      RunOnWorkers(static_cast<size_t>(o.jobs), o.entries.size(), dump, "dump");
  for (size_t i = 0; i < o.entries.size(); ++i)
    if (!started[i]) {
      outcomes[i] = NotStarted(o, o.entries[i], ReceivedSignal());
      ended[i] = UnixNow();
    }
}

// The mount paths whose dumps a signal stopped or kept from starting.
std::string InterruptedIds(const std::vector<DumpOutcome>& outcomes) {
  std::string ids;
  for (const DumpOutcome& outcome : outcomes)
    if (!outcome.interrupted.empty())
      ids += (ids.empty() ? "" : ", ") + std::to_string(outcome.mountPathId);
  return ids;
}

}  // namespace

namespace {

std::string MountPathPrefix(const DumpOutcome& outcome) {
  return "tzrecon dump: mount path " + std::to_string(outcome.mountPathId) + ": ";
}

// The outcomes as a table on standard output (failures on standard error),
// then the notices and hints of each dump and a count.
void PrintOutcomes(const std::vector<DumpOutcome>& outcomes, size_t failed) {
  const size_t count = outcomes.size();
  for (const DumpOutcome& outcome : outcomes)
    if (!outcome.ok) PrintFailure(stderr, outcome, MountPathPrefix(outcome));
  fflush(stderr);
  PrintTable(stdout, outcomes);
  for (const DumpOutcome& outcome : outcomes) {
    if (!outcome.ok) continue;
    if (!outcome.notices.empty()) {
      printf("mount path %d: ", outcome.mountPathId);
      PrintNotices(stdout, outcome, "");
    }
    for (const std::string& hint : outcome.hints)
      printf("mount path %d: %s\n", outcome.mountPathId, hint.c_str());
  }
  const size_t stopped = std::count_if(outcomes.begin(), outcomes.end(),
                                       [](const DumpOutcome& x) { return !x.interrupted.empty(); });
  printf("%zu of %zu mount paths dumped, %zu failed", count - failed, count, failed - stopped);
  printf(stopped > 0 ? ", %zu interrupted\n" : "\n", stopped);
}

}  // namespace

int RunAllMountPaths(const DumpOptions& o) {
  const size_t count = o.entries.size();
  std::vector<DumpOutcome> outcomes(count);
  std::vector<double> ended(count, 0);
  Progress p;
  InstallForwardingHandlers();

  std::unique_ptr<StatusLine> progress;
  if (!o.quiet && isatty(STDERR_FILENO) == 1) {
    p.slotCount = std::min<size_t>(static_cast<size_t>(o.jobs), count);
    p.slots.reset(new SlotProgress[p.slotCount]);
    progress = std::make_unique<StatusLine>(
        [&](double seconds) { return AllProgressText(p, count, seconds); });
  }
  if (progress) progress->Start();
  RunDumps(o, outcomes, ended, p, progress.get());
  if (progress) progress->Stop();
  const int signal = ReceivedSignal();
  size_t failed = 0;
  for (const DumpOutcome& outcome : outcomes) failed += outcome.ok ? 0 : 1;

  if (o.json) {
    nlohmann::json array = nlohmann::json::array();
    for (const DumpOutcome& outcome : outcomes) array.push_back(ToJson(outcome));
    printf("%s\n", JsonText(array).c_str());
  } else if (o.quiet) {
    for (const DumpOutcome& outcome : outcomes) {
      if (outcome.ok) printf("%s\n", outcome.dumpFile.c_str());
      else PrintFailure(stderr, outcome, MountPathPrefix(outcome));
    }
  } else {
    PrintOutcomes(outcomes, failed);
  }
  std::vector<DumpMetrics> metrics;
  for (size_t i = 0; i < count; ++i)
    metrics.push_back({&outcomes[i], DumpLabels(outcomes[i]), ended[i]});
  if (signal != 0) {
    fflush(stdout);
    fprintf(stderr, "tzrecon: interrupted by %s; mount paths not dumped: %s\n", SignalName(signal),
            InterruptedIds(outcomes).c_str());
    return WriteDumpMetrics(o.metrics, metrics, 128 + signal);
  }
  return WriteDumpMetrics(o.metrics, metrics, failed == 0 ? 0 : 1);
}

}  // namespace tzcli
