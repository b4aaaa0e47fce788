#include "TestSupport.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
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

std::string MediaLabel(const std::string& copyIdText, size_t size) {
  std::string label(size, 'L');
  for (size_t i = 0; i < copyIdText.size() && 1007 + i < size; ++i)
    label[1007 + i] = copyIdText[i];
  if (1007 + copyIdText.size() < size) label[1007 + copyIdText.size()] = '\n';
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
