#include "AllMountPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "DumpProgress.h"
#include "Interrupted.h"
#include "Metrics.h"
#include "Progress.h"
#include "Report.h"
#include "Signals.h"

extern char** environ;

namespace tzcli {

namespace {

struct ChildResult {
  int status = -1;  // exit status, or 128 + signal; -1 when it could not start
  std::string out, err;
  std::string startError;
};

// What a running child last said of its progress (--progress-fd), for the
// parent's status line.
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

// In the child, between fork and exec (async-signal-safe calls only): dies
// with SIGTERM when the parent does, even killed with SIGKILL; standard
// input from /dev/null, output and error on the pipes; the progress pipe
// (when there is one, -1 otherwise) kept open across exec.
[[noreturn]] void ExecChild(pid_t parent, char* const* argv, int out, int err, int progress) {
  ResetStopSignalsInChild();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(128 + SIGTERM);  // the parent is gone already
  const int in = open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out, STDOUT_FILENO) < 0 ||
      dup2(err, STDERR_FILENO) < 0 || (progress >= 0 && fcntl(progress, F_SETFD, 0) != 0))
    _exit(127);
  execve(argv[0], argv, environ);
  _exit(127);
}

// Reads the pipes to their ends: standard output and error into `result`,
// the progress lines (when `progressFd` is not -1) into `slot`.
void DrainPipes(int outFd, int errFd, int progressFd, SlotProgress* slot, ChildResult& result) {
  pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {progressFd, POLLIN, 0}};
  std::string progress;
  std::string* sinks[3] = {&result.out, &result.err, &progress};
  int open = progressFd >= 0 ? 3 : 2;
  char buffer[65536];
  while (open > 0) {
    if (tzhost::RetryInterrupted([&] { return poll(fds, 3, -1); }) < 0) break;
    for (int i = 0; i < 3; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n =
          tzhost::RetryInterrupted([&] { return read(fds[i].fd, buffer, sizeof buffer); });
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
        if (i == 2) slot->Take(progress);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
}

// Waits for `child` to end, lets the signal handlers forget it, then reaps
// it (so its pid is never signalled once it may be another process's).
int WaitForChild(size_t slot, pid_t child) {
  siginfo_t info;
  tzhost::RetryInterrupted(
      [&] { return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT); });
  SetChildOfSlot(slot, 0);
  int status = 0;
  tzhost::RetryInterrupted([&] { return waitpid(child, &status, 0); });
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs `argv` in a child registered in `slot`, standard output and error on
// pipes, and waits for it. With `progress`, the child sends its progress on
// a third pipe (--progress-fd), read into `progress`.
ChildResult RunChild(std::vector<std::string> argv, size_t slot, SlotProgress* progress) {
  ChildResult result;
  int outPipe[2], errPipe[2], progressPipe[2] = {-1, -1};
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    result.startError = std::string("pipe: ") + std::strerror(errno);
    return result;
  }
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    result.startError = std::string("pipe: ") + std::strerror(errno);
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  // Without this pipe the dump runs all the same, with no progress shown.
  if (progress != nullptr && pipe2(progressPipe, O_CLOEXEC) == 0)
    argv.insert(argv.end(), {"--progress-fd", std::to_string(progressPipe[1])});
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const pid_t parent = getpid();
  // Blocked across the fork, so that no signal reaches the child before its
  // handlers are the default ones again.
  BlockStopSignals(true);
  const pid_t child = fork();
  if (child == 0) ExecChild(parent, args.data(), outPipe[1], errPipe[1], progressPipe[1]);
  const int forkError = errno;
  if (child > 0) SetChildOfSlot(slot, child);
  BlockStopSignals(false);
  close(outPipe[1]);
  close(errPipe[1]);
  if (progressPipe[1] >= 0) close(progressPipe[1]);
  if (child < 0) {
    result.startError = std::string("cannot start ") + argv[0] + ": " + std::strerror(forkError);
    close(outPipe[0]);
    close(errPipe[0]);
    if (progressPipe[0] >= 0) close(progressPipe[0]);
    return result;
  }
  DrainPipes(outPipe[0], errPipe[0], progressPipe[0], progress, result);
  result.status = WaitForChild(slot, child);
  return result;
}

std::string SelfPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

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
  std::atomic<size_t> next{0}, done{0}, failed{0};
  // One per worker, when a status line is shown.
  std::unique_ptr<SlotProgress[]> slots;
  size_t slotCount = 0;
};

// "2 of 5 mount paths done (0 failed), 2 running (1: 1200 chunks, 40%; 3:
// 500 chunks), 3.1 s"
std::string AllProgressText(const Progress& p, size_t count, double seconds) {
  const size_t finished = p.done.load();
  const size_t running = std::min(p.next.load(), count) - finished;
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
  const size_t count = o.entries.size();
  std::vector<char> started(count, 0);
  std::mutex stderrMutex;
  const auto work = [&](size_t slot) {
    SlotProgress* feed = slot < p.slotCount ? &p.slots[slot] : nullptr;
    for (size_t i = p.next++; i < count && ReceivedSignal() == 0; i = p.next++) {
      const tzhost::MountPathEntry& entry = o.entries[i];
      started[i] = 1;
      if (feed != nullptr) {
        feed->chunks = feed->total = feed->permille = 0;
        feed->mountPathId = entry.id;
        feed->running = true;
      }
      const ChildResult child = RunChild(WorkerArgs(self, o, entry.id), slot, feed);
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
    }
  };
  const size_t workers = std::min<size_t>(static_cast<size_t>(o.jobs), count);
  std::vector<std::thread> threads;
  try {
    for (size_t w = 0; w < workers; ++w) threads.emplace_back(work, w);
  } catch (const std::system_error& e) {
    // Fewer dumps at a time: the threads that started take every mount path.
    fprintf(stderr, "tzrecon dump: warning: %zu of %zu workers started: %s\n", threads.size(),
            workers, e.what());
    if (threads.empty()) work(0);
  }
  for (std::thread& t : threads) t.join();
  for (size_t i = 0; i < count; ++i)
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
