#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>

#include "Interrupted.h"
#include "Signals.h"

extern char** environ;

namespace tzcli {

namespace {

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
// the progress pipe (when `progressFd` is not -1) into `progress`.
void DrainPipes(int outFd, int errFd, int progressFd, const ProgressReader* progress,
                ChildResult& result) {
  pollfd fds[3] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}, {progressFd, POLLIN, 0}};
  std::string fed;
  std::string* sinks[3] = {&result.out, &result.err, &fed};
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
        if (i == 2) (*progress)(fed);
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

}  // namespace

ChildResult RunChild(std::vector<std::string> argv, size_t slot, const ProgressReader* progress) {
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

std::vector<char> RunOnWorkers(size_t jobs, size_t count,
                               const std::function<void(size_t slot, size_t i)>& job,
                               const char* command) {
  std::vector<char> started(count, 0);
  std::atomic<size_t> next{0};
  const auto work = [&](size_t slot) {
    for (size_t i = next++; i < count && ReceivedSignal() == 0; i = next++) {
      started[i] = 1;
      job(slot, i);
    }
  };
  const size_t workers = std::min(jobs, count);
  std::vector<std::thread> threads;
  try {
    for (size_t w = 0; w < workers; ++w) threads.emplace_back(work, w);
  } catch (const std::system_error& e) {
    // Fewer jobs at a time: the threads that started take every job.
    fprintf(stderr, "tzrecon %s: warning: %zu of %zu workers started: %s\n", command,
            threads.size(), workers, e.what());
    if (threads.empty()) work(0);
  }
  for (std::thread& t : threads) t.join();
  return started;
}

std::string SelfPath() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  return std::string(path, static_cast<size_t>(n));
}

}  // namespace tzcli
