#include "StorageLayout.h"
#include "TestSupport.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace tztest {

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/tzrecon-test-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + tmpl);
  m_path = tmpl;
}

TempDir::~TempDir() { RemoveTree(m_path); }

std::string TempDir::operator/(const std::string& relative) const {
  return m_path + "/" + relative;
}

void MakeDirs(const std::string& path) { fs::create_directories(path); }

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error("cannot write " + path);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("short write to " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  // Make every folder writable and searchable first so that tests which took
  // permissions away still clean up.
  for (auto it = fs::recursive_directory_iterator(
           path, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
  }
  chmod(path.c_str(), 0700);
  fs::remove_all(path, ec);
}

namespace {
// The ids of the user "nobody", or false when the system has none.
bool NobodyIds(uid_t& uid, gid_t& gid) {
  const passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) return false;
  uid = nobody->pw_uid;
  gid = nobody->pw_gid;
  return true;
}
}  // namespace

ChildRun RunUnprivileged(const std::function<int()>& operation) {
  ChildRun run;
  // Looked up before the fork: a child of a process with threads may call
  // only what cannot take a lock another thread held.
  uid_t uid = 0;
  gid_t gid = 0;
  const bool root = geteuid() == 0;
  if (root && !NobodyIds(uid, gid)) {
    ADD_FAILURE() << "running as root, and there is no user \"nobody\" to drop to";
    return run;
  }
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return run;
  }
  // What this process has buffered would be written twice, once by the child.
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child == 0) {
    close(fds[0]);
    dup2(fds[1], STDOUT_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    if (root && (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
      std::fprintf(stderr, "cannot switch to the user nobody: %s\n", strerror(errno));
      _exit(125);
    }
    const int code = operation();
    std::fflush(stdout);
    std::fflush(stderr);
    _exit(code);
  }
  close(fds[1]);
  if (child < 0) {
    close(fds[0]);
    ADD_FAILURE() << "fork: " << strerror(errno);
    return run;
  }
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n > 0)
      run.output.append(buffer, static_cast<size_t>(n));
    else if (errno != EINTR)
      break;
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "waitpid: " << strerror(errno);
      return run;
    }
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

void GiveToUnprivileged(const std::string& path) {
  uid_t uid = 0;
  gid_t gid = 0;
  if (geteuid() != 0 || !NobodyIds(uid, gid)) return;  // RunUnprivileged says so
  std::error_code ec;
  if (lchown(path.c_str(), uid, gid) != 0)
    throw std::runtime_error("cannot hand " + path + " to nobody: " + strerror(errno));
  for (auto it = fs::recursive_directory_iterator(path, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (lchown(it->path().c_str(), uid, gid) != 0)
      throw std::runtime_error("cannot hand " + it->path().string() + " to nobody: " +
                               strerror(errno));
  }
  if (ec) throw std::runtime_error("cannot list " + path + ": " + ec.message());
}

std::string MediaLabel(const std::string& copyIdText, size_t size) {
  constexpr size_t at = tzrecon::layout::kLabelCopyIdOffset;
  std::string label(size, 'L');
  for (size_t i = 0; i < copyIdText.size() && at + i < size; ++i) label[at + i] = copyIdText[i];
  if (at + copyIdText.size() < size) label[at + copyIdText.size()] = '\n';
  return label;
}

std::string Trailer(int volumeId, int chunkId, size_t size) {
  std::string t = "VolumeId " + std::to_string(volumeId) + "\nChunkId " +
                  std::to_string(chunkId) + "\n";
  if (t.size() < size) t.append(size - t.size(), '#');
  return t;
}

namespace {
bool SaveEnv(const char* name, std::string& value) {
  const char* v = getenv(name);
  if (v) value = v;
  return v != nullptr;
}
void RestoreEnv(const char* name, bool had, const std::string& value) {
  if (had)
    setenv(name, value.c_str(), 1);
  else
    unsetenv(name);
}
}  // namespace

LogCapture::LogCapture(int level) {
  m_path = m_dir / "host.log";
  m_hadLog = SaveEnv("TZRECON_LOG", m_oldLog);
  m_hadLevel = SaveEnv("TZRECON_LOG_LEVEL", m_oldLevel);
  setenv("TZRECON_LOG", m_path.c_str(), 1);
  setenv("TZRECON_LOG_LEVEL", std::to_string(level).c_str(), 1);
}

LogCapture::~LogCapture() {
  RestoreEnv("TZRECON_LOG", m_hadLog, m_oldLog);
  RestoreEnv("TZRECON_LOG_LEVEL", m_hadLevel, m_oldLevel);
}

// A log line: "<time> <pid> <tid> <level> <tag> <message>".
std::vector<LogLine> LogCapture::Lines() const {
  std::vector<LogLine> lines;
  if (!Exists(m_path)) return lines;
  std::istringstream in(ReadFile(m_path));
  std::string line;
  while (std::getline(in, line)) {
    size_t pos = 0;
    std::string field[5];
    bool ok = true;
    for (int i = 0; i < 5; ++i) {
      size_t sp = line.find(' ', pos);
      if (sp == std::string::npos) {
        ok = false;
        break;
      }
      field[i] = line.substr(pos, sp - pos);
      pos = sp + 1;
    }
    if (!ok) {
      ADD_FAILURE() << "malformed log line: " << line;
      continue;
    }
    LogLine l;
    l.level = std::stoi(field[3]);
    l.tag = field[4];
    l.message = line.substr(pos);
    lines.push_back(l);
  }
  return lines;
}

bool LogCapture::Has(const std::string& tag, int level, const std::string& message) const {
  for (const LogLine& l : Lines())
    if (l.tag == tag && l.level == level && l.message == message) return true;
  return false;
}

int LogCapture::Count(const std::string& message) const {
  int n = 0;
  for (const LogLine& l : Lines())
    if (l.message == message) ++n;
  return n;
}

std::string LogCapture::Dump() const { return Exists(m_path) ? ReadFile(m_path) : "<no log>"; }

ConfigScope::ConfigScope(const std::string& path) {
  m_had = SaveEnv("TZRECON_CONFIG", m_old);
  setenv("TZRECON_CONFIG", path.c_str(), 1);
}

ConfigScope::~ConfigScope() { RestoreEnv("TZRECON_CONFIG", m_had, m_old); }

}  // namespace tztest
