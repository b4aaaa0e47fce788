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

struct Progress {
  std::atomic<size_t> started{0}, done{0}, failed{0};
};

// Runs the dumps, `o.jobs` at a time; a signal starts no more of them.
void RunDumps(const DumpOptions& o, std::vector<DumpOutcome>& outcomes, Progress& p,
              StatusLine* progress) {
  const std::string self = SelfPath();
  std::mutex stderrMutex;
  const auto dump = [&](size_t slot, size_t i) {
    const tzhost::MountPathEntry& entry = o.entries[i];
    ++p.started;
    const ChildResult child = RunChild(WorkerArgs(self, o, entry.id), slot);
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
    if (!started[i]) outcomes[i] = NotStarted(o, o.entries[i], ReceivedSignal());
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
  Progress p;
  InstallForwardingHandlers();

  std::unique_ptr<StatusLine> progress;
  if (!o.quiet && isatty(STDERR_FILENO) == 1)
    progress = std::make_unique<StatusLine>([&](double seconds) {
      char text[160];
      const size_t finished = p.done.load();
      const size_t running = p.started.load() - finished;
      snprintf(text, sizeof text, "%zu of %zu mount paths done (%zu failed), %zu running, %.1f s",
               finished, count, p.failed.load(), running, seconds);
      return std::string(text);
    });
  if (progress) progress->Start();
  RunDumps(o, outcomes, p, progress.get());
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
  if (signal != 0) {
    fflush(stdout);
    fprintf(stderr, "tzrecon: interrupted by %s; mount paths not dumped: %s\n", SignalName(signal),
            InterruptedIds(outcomes).c_str());
    return 128 + signal;
  }
  return failed == 0 ? 0 : 1;
}

}  // namespace tzcli
