#include "AllMountPaths.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "Progress.h"
#include "Report.h"

extern char** environ;

namespace tzcli {

namespace {

struct ChildResult {
  int status = -1;  // exit status, or 128 + signal; -1 when it could not start
  std::string out, err;
  std::string startError;
};

// Runs `argv` with standard output and error on pipes, standard input from
// /dev/null, and waits for it.
ChildResult RunChild(const std::vector<std::string>& argv) {
  ChildResult result;
  int outPipe[2], errPipe[2];
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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t child = -1;
  const int spawned = posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outPipe[1]);
  close(errPipe[1]);
  if (spawned != 0) {
    result.startError = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
    close(outPipe[0]);
    close(errPipe[0]);
    return result;
  }
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  char buffer[65536];
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd& p : fds)
    if (p.fd >= 0) close(p.fd);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

// The outcome of a worker: its JSON summary, or what is known when it gave
// none (it could not start, it crashed).
DumpOutcome OutcomeOf(const DumpOptions& o, const tzhost::MountPathEntry& entry,
                      const ChildResult& child) {
  DumpOutcome outcome;
  const std::string last = child.out.substr(0, child.out.find('\n'));
  const nlohmann::json value = nlohmann::json::parse(last, nullptr, false);
  if (child.startError.empty() && (child.status == 0 || child.status == 1) &&
      !value.is_discarded() && FromJson(value, outcome) && outcome.ok == (child.status == 0))
    return outcome;
  outcome = DumpOutcome();
  outcome.mountPathId = entry.id;
  outcome.copyId = o.copyId;
  outcome.kind = entry.type == 7 ? "cloud" : "disk";
  outcome.log = o.log;
  std::istringstream err(child.err);
  for (std::string line; std::getline(err, line);) outcome.failureLines.push_back(line);
  outcome.failureLines.push_back(
      !child.startError.empty()
          ? "tzrecon: " + child.startError
          : "tzrecon: the dump of mount path " + std::to_string(entry.id) +
                (child.status >= 128 ? " was killed by signal " + std::to_string(child.status - 128)
                                     : " exited with status " + std::to_string(child.status)) +
                " without a summary");
  outcome.failureLineCount = outcome.failureLines.size();
  return outcome;
}

}  // namespace

int RunAllMountPaths(const DumpOptions& o) {
  const std::string self = SelfPath();
  const size_t count = o.entries.size();
  std::vector<DumpOutcome> outcomes(count);
  std::vector<std::string> stderrTexts(count);
  std::atomic<size_t> next{0}, done{0}, failed{0};

  std::unique_ptr<StatusLine> progress;
  if (!o.quiet && isatty(STDERR_FILENO) == 1)
    progress = std::make_unique<StatusLine>([&](double seconds) {
      char text[160];
      const size_t finished = done.load();
      const size_t running = std::min(next.load(), count) - finished;
      snprintf(text, sizeof text, "%zu of %zu mount paths done (%zu failed), %zu running, %.1f s",
               finished, count, failed.load(), running, seconds);
      return std::string(text);
    });
  if (progress) progress->Start();

  std::mutex stderrMutex;
  const size_t workers = std::min<size_t>(static_cast<size_t>(o.jobs), count);
  std::vector<std::thread> threads;
  for (size_t w = 0; w < workers; ++w)
    threads.emplace_back([&] {
      for (size_t i = next++; i < count; i = next++) {
        const tzhost::MountPathEntry& entry = o.entries[i];
        const ChildResult child = RunChild(WorkerArgs(self, o, entry.id));
        outcomes[i] = OutcomeOf(o, entry, child);
        // A worker's own standard error (the log, with --log -) is passed
        // on whole, so the lines of two workers never mix.
        if (!child.err.empty() && child.status <= 1) {
          std::lock_guard<std::mutex> lock(stderrMutex);
          if (progress) fputs("\r\033[K", stderr);
          fputs(child.err.c_str(), stderr);
        }
        if (!outcomes[i].ok) ++failed;
        ++done;
      }
    });
  for (std::thread& t : threads) t.join();
  if (progress) progress->Stop();

  if (o.json) {
    nlohmann::json array = nlohmann::json::array();
    for (const DumpOutcome& outcome : outcomes) array.push_back(ToJson(outcome));
    printf("%s\n", JsonText(array).c_str());
  } else if (o.quiet) {
    for (const DumpOutcome& outcome : outcomes) {
      if (outcome.ok) printf("%s\n", outcome.dumpFile.c_str());
      else PrintFailure(stderr, outcome, "tzrecon dump: mount path " +
                                             std::to_string(outcome.mountPathId) + ": ");
    }
  } else {
    for (const DumpOutcome& outcome : outcomes)
      if (!outcome.ok)
        PrintFailure(stderr, outcome,
                     "tzrecon dump: mount path " + std::to_string(outcome.mountPathId) + ": ");
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
    printf("%zu of %zu mount paths dumped, %zu failed\n", count - failed.load(), count,
           failed.load());
  }
  return failed.load() == 0 ? 0 : 1;
}

}  // namespace tzcli
