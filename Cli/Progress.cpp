#include "Progress.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace tzcli {

namespace {

// The time field of a dump file name "<prefix><digits>.csv", or -1 when the
// name has another form.
int64_t TimeOfName(const char* name, const std::string& prefix) {
  const size_t length = std::strlen(name);
  static const char kSuffix[] = ".csv";
  const size_t suffixLength = sizeof kSuffix - 1;
  if (length <= prefix.size() + suffixLength) return -1;
  if (std::strncmp(name, prefix.c_str(), prefix.size()) != 0) return -1;
  if (std::strcmp(name + length - suffixLength, kSuffix) != 0) return -1;
  int64_t value = 0;
  for (const char* p = name + prefix.size(); p < name + length - suffixLength; ++p) {
    if (*p < '0' || *p > '9' || value > (INT64_MAX - 9) / 10) return -1;
    value = value * 10 + (*p - '0');
  }
  return value;
}

}  // namespace

DumpProgress::DumpProgress(std::string dumpDir, int32_t copyId, int32_t mountPathId,
                           int64_t startTime)
    : m_dumpDir(std::move(dumpDir)),
      m_prefix("ChunkLister_" + std::to_string(copyId) + "_" + std::to_string(mountPathId) + "_"),
      // The library names the file with the low 32 bits of the time.
      m_startTime(static_cast<int64_t>(static_cast<uint32_t>(startTime))) {}

DumpProgress::~DumpProgress() { Stop(); }

void DumpProgress::Start() {
  m_started = std::chrono::steady_clock::now();
  m_thread = std::thread([this] { Run(); });
}

void DumpProgress::Stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

std::string DumpProgress::FindDumpFile() const {
  DIR* dir = opendir(m_dumpDir.c_str());
  if (dir == nullptr) return "";
  std::string best;
  int64_t bestTime = -1;
  while (struct dirent* entry = readdir(dir)) {
    const int64_t time = TimeOfName(entry->d_name, m_prefix);
    if (time >= m_startTime && time > bestTime) {
      bestTime = time;
      best = entry->d_name;
    }
  }
  closedir(dir);
  return best;
}

void DumpProgress::Run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_wake.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_stop; })) {
    lock.unlock();
    Tick();
    Show(false);
    lock.lock();
  }
  lock.unlock();
  // The dump has ended: count what the last look missed and end the line,
  // also for a dump that ended before the first look.
  Tick();
  Show(true);
}

void DumpProgress::Tick() {
  if (m_fd < 0) {
    const std::string name = FindDumpFile();
    if (name.empty()) return;
    std::string path = m_dumpDir;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) return;
    m_file = name;
    m_offset = 0;
    m_lines = 0;
  }
  struct stat st;
  if (fstat(m_fd, &st) == 0 && st.st_size < m_offset) {
    // Recreated under the same name: count again from the start.
    m_offset = 0;
    m_lines = 0;
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = pread(m_fd, buffer, sizeof buffer, m_offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (const char* p = buffer; (p = static_cast<const char*>(
                                      std::memchr(p, '\n', static_cast<size_t>(buffer + n - p)))) !=
                                 nullptr;
         ++p)
      ++m_lines;
    m_offset += n;
  }
}

void DumpProgress::Show(bool last) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
  const uint64_t chunks = m_lines > 0 ? m_lines - 1 : 0;  // the first line is the header
  const double rate = seconds > 0 ? static_cast<double>(chunks) / seconds : 0.0;
  if (m_fd < 0)
    fprintf(stderr, "\rtzrecon: %s, %.1f s\033[K",
            last ? "no dump file appeared" : "waiting for the dump file", seconds);
  else
    fprintf(stderr, "\rtzrecon: %llu chunks written, %.0f chunks/s, %.1f s\033[K",
            static_cast<unsigned long long>(chunks), rate, seconds);
  if (last) fputc('\n', stderr);
  fflush(stderr);
}

}  // namespace tzcli
