// Helpers shared by the test suites: temporary folders, files on disk, and a
// captured host log.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tztest {

// A fresh folder under $TMPDIR (or /tmp), removed with its content at the end
// of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  // path() + "/" + relative
  std::string operator/(const std::string& relative) const;

 private:
  std::string m_path;
};

void MakeDirs(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);
void RemoveTree(const std::string& path);

// Permissions deny nothing to root, which the suites often run as (CI
// does). A test that takes a permission away runs the operation that must
// be denied in a child process: as the user "nobody" when this process runs
// as root, as this process's own user otherwise.
struct ChildRun {
  int exitCode = -1;   // what the operation returned; -1: the child was killed or never ran
  std::string output;  // what the child wrote to its standard output and error
};
ChildRun RunUnprivileged(const std::function<int()>& operation);
// Hands `path`, and everything under it, to the user RunUnprivileged's
// child runs as (when this process runs as root), modes unchanged: the
// child reaches the test's files and folders, and is denied what the test
// took away.
void GiveToUnprivileged(const std::string& path);

// The media label of a volume: `copyIdText` at byte 1007, padded to `size`.
std::string MediaLabel(const std::string& copyIdText, size_t size = 2048);
// A chunk map trailer naming the volume and the chunk, padded to `size`.
std::string Trailer(int volumeId, int chunkId, size_t size = 1024);

// One line of the host log.
struct LogLine {
  int level = 0;
  std::string tag;
  std::string message;
};

// Points TZRECON_LOG at a fresh file (and TZRECON_LOG_LEVEL at `level`) for
// the life of the object, and restores the previous settings afterwards.
class LogCapture {
 public:
  explicit LogCapture(int level = 2);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::string& path() const { return m_path; }
  std::vector<LogLine> Lines() const;
  // True when a line with exactly this tag, level and message was logged.
  bool Has(const std::string& tag, int level, const std::string& message) const;
  // How many lines carry exactly this message.
  int Count(const std::string& message) const;
  std::string Dump() const;  // the whole log, for failure messages

 private:
  TempDir m_dir;
  std::string m_path;
  std::string m_oldLog, m_oldLevel;
  bool m_hadLog, m_hadLevel;
};

// Points TZRECON_CONFIG at `path` for the life of the object.
class ConfigScope {
 public:
  explicit ConfigScope(const std::string& path);
  ~ConfigScope();
  ConfigScope(const ConfigScope&) = delete;
  ConfigScope& operator=(const ConfigScope&) = delete;

 private:
  std::string m_old;
  bool m_had;
};

}  // namespace tztest
