#include "DumpProgress.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>

#include "Human.h"
#include "Interrupted.h"
#include "Progress.h"
#include "StorageLayout.h"

namespace tzcli {

namespace {

bool IsVolumeFolder(DIR* dir, const dirent* d) {
  const size_t prefix = sizeof tzrecon::layout::kVolumePrefix - 1;
  if (std::strncmp(d->d_name, tzrecon::layout::kVolumePrefix, prefix) != 0) return false;
  if (d->d_type == DT_DIR) return true;
  if (d->d_type != DT_UNKNOWN && d->d_type != DT_LNK) return false;
  struct stat st;
  return fstatat(dirfd(dir), d->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

DumpProgress::DumpProgress(LogWatch& watch, const tzhost::MountPathEntry* entry) : m_watch(watch) {
  watch.OnVolume([this](const std::string& volume, uint64_t chunksBefore) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current = volume;
    m_chunksBefore = chunksBefore;
  });
  // An S3 mount path is not listed a second time: its listing costs requests.
  if (entry == nullptr || (entry->type == 7 && !entry->endpoint.empty())) return;
  try {
    m_lister = std::thread([this, root = entry->path] { List(root); });
  } catch (const std::system_error&) {
    // No total then: the status line shows what the log watch counts.
  }
}

DumpProgress::~DumpProgress() {
  m_stop = true;
  if (m_lister.joinable()) m_lister.join();
  m_watch.OnVolume(nullptr);
}

void DumpProgress::List(const std::string& root) {
  const int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(fdopendir(fd), closedir);
  if (!dir) {
    close(fd);
    return;
  }
  std::map<std::string, uint64_t> positions;
  while (!m_stop.load(std::memory_order_relaxed)) {
    errno = 0;
    const dirent* d = readdir(dir.get());
    if (d == nullptr) {
      if (errno != 0) return;  // no total rather than a wrong one
      break;
    }
    if (IsVolumeFolder(dir.get(), d)) positions.emplace(d->d_name, positions.size());
  }
  if (m_stop.load()) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_positions.swap(positions);
  m_listed = true;
}

void DumpProgress::Finish(bool ok) {
  if (m_lister.joinable()) m_lister.join();
  std::lock_guard<std::mutex> lock(m_mutex);
  m_finished = true;
  m_ok = ok;
}

ProgressState DumpProgress::State() const {
  ProgressState state;
  state.chunks = m_watch.Chunks();
  state.volumes = m_watch.Volumes();
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_listed || m_positions.empty()) return state;
  state.total = m_positions.size();
  if (m_finished && m_ok) {
    state.done = static_cast<double>(state.total);
    return state;
  }
  if (state.volumes == 0) return state;
  // The volumes before the one being walked are done, and of that one a
  // share: its chunks so far against the average of the volumes before.
  const auto it = m_positions.find(m_current);
  const uint64_t position = it != m_positions.end() ? it->second : state.volumes - 1;
  double done = static_cast<double>(position);
  if (position > 0 && m_chunksBefore > 0 && state.chunks >= m_chunksBefore) {
    const double average = static_cast<double>(m_chunksBefore) / static_cast<double>(position);
    done += std::min(0.99, static_cast<double>(state.chunks - m_chunksBefore) / average);
  }
  state.done = std::min(done, static_cast<double>(state.total));
  return state;
}

std::string ProgressText(const ProgressState& s, double seconds, bool last) {
  if (s.total == 0) return DumpProgressText(s.volumes, s.chunks, seconds);
  char text[200];
  const uint64_t whole = static_cast<uint64_t>(s.done);
  const double share = s.done / static_cast<double>(s.total);
  snprintf(text, sizeof text,
           "%" PRIu64 " of %" PRIu64 " volumes (%d%%), %" PRIu64 " chunk%s, %.0f chunks/s, %.1f s",
           whole, s.total, static_cast<int>(share * 100), s.chunks, s.chunks == 1 ? "" : "s",
           seconds > 0 ? static_cast<double>(s.chunks) / seconds : 0.0, seconds);
  std::string line = text;
  if (!last && s.done > 0 && share < 1)
    line += ", ETA " + ClockDuration(seconds * (1 - share) / share);
  return line;
}

std::string FeedLine(const ProgressState& s) {
  char text[128];
  snprintf(text, sizeof text, "%" PRIu64 " %" PRIu64 " %" PRIu64 " %.3f\n", s.volumes, s.chunks,
           s.total, s.done);
  return text;
}

bool ReadFeedLine(const std::string& line, ProgressState* s) {
  ProgressState read;
  int consumed = 0;
  if (sscanf(line.c_str(), "%" SCNu64 " %" SCNu64 " %" SCNu64 " %lf%n", &read.volumes, &read.chunks,
             &read.total, &read.done, &consumed) != 4 ||
      static_cast<size_t>(consumed) != line.size())
    return false;
  *s = read;
  return true;
}

ProgressFeed::ProgressFeed(const DumpProgress& progress, int fd) : m_progress(progress), m_fd(fd) {
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  try {
    m_thread = std::thread([this] {
      std::unique_lock<std::mutex> lock(m_mutex);
      while (!m_wake.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_stop; })) {
        lock.unlock();
        Send();
        lock.lock();
      }
    });
  } catch (const std::system_error&) {
    // The parent then shows no progress of this dump; the dump goes on.
  }
}

ProgressFeed::~ProgressFeed() { Stop(); }

void ProgressFeed::Stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
  Send();
}

void ProgressFeed::Send() {
  const std::string line = FeedLine(m_progress.State());
  // A line is far below PIPE_BUF: written whole or not at all.
  tzhost::RetryInterrupted([&] { return write(m_fd, line.data(), line.size()); });
}

}  // namespace tzcli
