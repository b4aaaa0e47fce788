#include "Signals.h"

#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace tzcli {

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

static_assert(std::atomic<int>::is_always_lock_free, "used in signal handlers");
static_assert(std::atomic<pid_t>::is_always_lock_free, "used in signal handlers");

std::atomic<int> g_phase{static_cast<int>(DumpPhase::kWalking)};
std::atomic<int> g_pending{0};  // a signal that came while recording
std::atomic<bool> g_statusLine{false};
std::atomic<int> g_received{0};
std::atomic<pid_t> g_children[kMaxChildSlots];

// write(2) of a whole string; what cannot be written is dropped.
void Say(const char* text) {
  size_t length = std::strlen(text);
  while (length > 0) {
    const ssize_t n = write(STDERR_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<size_t>(n);
  }
}

[[noreturn]] void EndDump(int sig) {
  if (g_statusLine.load()) Say("\n");
  Say("tzrecon: interrupted by ");
  Say(SignalName(sig));
  Say(g_phase.load() == static_cast<int>(DumpPhase::kWalking)
          ? "; no dump was published\n"
          : " after the dump had ended\n");
  _exit(128 + sig);
}

void OnDumpSignal(int sig) {
  if (g_phase.load() == static_cast<int>(DumpPhase::kRecording)) {
    int none = 0;
    g_pending.compare_exchange_strong(none, sig);
    return;
  }
  EndDump(sig);
}

// A path that a diff's handler removes: written while `set` is false, so a
// handler never reads it half written.
struct RemovedPath {
  std::atomic<bool> set{false};
  int fd = -1;  // the file it must still be, or -1
  char path[PATH_MAX];
  void Set(const char* text, int withFd) {
    set.store(false);
    if (text == nullptr || std::strlen(text) >= sizeof path) return;
    std::memcpy(path, text, std::strlen(text) + 1);
    fd = withFd;
    set.store(true);
  }
  // In a handler: only async-signal-safe calls.
  void Remove() {
    if (!set.load()) return;
    struct stat mine, there;
    if (fd >= 0 && (fstat(fd, &mine) != 0 || stat(path, &there) != 0 || mine.st_dev != there.st_dev ||
                    mine.st_ino != there.st_ino))
      return;
    unlink(path);
  }
};
RemovedPath g_diffOutput;
RemovedPath g_diffTemp;
std::atomic<bool> g_diffEnding{false};
std::atomic<pid_t> g_diffTempMaker{0};  // the thread between Begin and End

pid_t ThisThread() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void OnDiffSignal(int sig) {
  g_diffEnding.store(true);
  // A thread that is making a named file unlinks it itself (for a few
  // seconds at most), unless this is that thread.
  const pid_t maker = g_diffTempMaker.load();
  if (maker != 0 && maker != ThisThread()) {
    const struct timespec pause = {0, 1000000};
    for (int i = 0; i < 5000 && g_diffTempMaker.load() != 0; ++i) nanosleep(&pause, nullptr);
  }
  g_diffTemp.Remove();
  g_diffOutput.Remove();
  if (g_statusLine.load()) Say("\n");
  Say("tzrecon diff: interrupted by ");
  Say(SignalName(sig));
  Say("\n");
  _exit(128 + sig);
}

void OnForwardedSignal(int sig) {
  int none = 0;
  g_received.compare_exchange_strong(none, sig);
  for (std::atomic<pid_t>& child : g_children) {
    const pid_t pid = child.load();
    if (pid > 0) kill(pid, sig);
  }
}

void Install(void (*handler)(int)) {
  for (int sig : kStopSignals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int other : kStopSignals) sigaddset(&action.sa_mask, other);
    action.sa_flags = SA_RESTART;
    sigaction(sig, &action, nullptr);
  }
}

}  // namespace

const char* SignalName(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

void InstallDumpHandlers() { Install(&OnDumpSignal); }

void SetDumpPhase(DumpPhase phase) {
  g_phase.store(static_cast<int>(phase));
  if (phase == DumpPhase::kRecording) return;
  const int pending = g_pending.exchange(0);
  if (pending != 0) EndDump(pending);
}

void SetStatusLineShown(bool shown) { g_statusLine.store(shown); }

void InstallDiffHandlers() { Install(&OnDiffSignal); }

void SetDiffOutput(const char* path, int fd) { g_diffOutput.Set(path, fd); }

bool BeginDiffTempName(const char* path) {
  g_diffTempMaker.store(ThisThread());
  if (g_diffEnding.load()) {
    g_diffTempMaker.store(0);
    return false;
  }
  g_diffTemp.Set(path, -1);
  return true;
}

void EndDiffTempName() {
  g_diffTemp.Set(nullptr, -1);
  g_diffTempMaker.store(0);
}

void InstallForwardingHandlers() { Install(&OnForwardedSignal); }

void SetChildOfSlot(size_t slot, pid_t child) {
  g_children[slot].store(child);
  const int sig = g_received.load();
  if (child > 0 && sig != 0) kill(child, sig);
}

int ReceivedSignal() { return g_received.load(); }

void BlockStopSignals(bool block) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kStopSignals) sigaddset(&set, sig);
  pthread_sigmask(block ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

void ResetStopSignalsInChild() {
  for (int sig : kStopSignals) {
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    old.sa_handler = SIG_DFL;
    sigaction(sig, &old, nullptr);
  }
  BlockStopSignals(false);
}

}  // namespace tzcli
