#include "FaultSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <tuple>

extern char** environ;

namespace tzfault {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, strlen(prefix), prefix) == 0;
}

// Appends `extra` to the colon-separated option list in variable `name`.
std::string WithOptions(const char* name, const std::string& extra) {
  const char* old = getenv(name);
  return old != nullptr && *old != '\0' ? std::string(old) + ":" + extra : extra;
}

bool AllDigits(const std::string& text, size_t from, size_t count) {
  if (from + count > text.size()) return false;
  for (size_t i = from; i < from + count; ++i)
    if (text[i] < '0' || text[i] > '9') return false;
  return true;
}

// "2026-12-08T04:50:01.123456Z"
bool IsTimestamp(const std::string& t) {
  return t.size() == 27 && AllDigits(t, 0, 4) && t[4] == '-' && AllDigits(t, 5, 2) &&
         t[7] == '-' && AllDigits(t, 8, 2) && t[10] == 'T' && AllDigits(t, 11, 2) &&
         t[13] == ':' && AllDigits(t, 14, 2) && t[16] == ':' && AllDigits(t, 17, 2) &&
         t[19] == '.' && AllDigits(t, 20, 6) && t[26] == 'Z';
}

// A decimal integer in its plain form ("-" only before a non-zero digit).
bool ReadInteger(const std::string& text, long long& value) {
  if (text.empty() || text.size() > 20) return false;
  size_t i = text[0] == '-' ? 1 : 0;
  if (i == text.size() || !AllDigits(text, i, text.size() - i)) return false;
  if (text.size() - i > 1 && text[i] == '0') return false;
  if (i == 1 && text == "-0") return false;
  errno = 0;
  char* end = nullptr;
  value = strtoll(text.c_str(), &end, 10);
  return errno == 0 && *end == '\0';
}

}  // namespace

std::string RunResult::Describe() const {
  std::ostringstream s;
  s << (exited ? "exit status " : "killed by signal ") << code << "\n--- stdout:\n"
    << out << "--- stderr:\n"
    << err;
  return s.str();
}

pid_t StartTzrecon(const std::vector<std::string>& args, const Env& env,
                   const std::string& scratch, unsigned timeoutSeconds, long openFileLimit) {
  const std::string outPath = scratch + "/child.out", errPath = scratch + "/child.err";
  // Built before fork: the child only calls async-signal-safe functions.
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (StartsWith(entry, "TZRECON_") || StartsWith(entry, "TZFAULT_") ||
        StartsWith(entry, "LD_PRELOAD=") || StartsWith(entry, "ASAN_OPTIONS=") ||
        StartsWith(entry, "UBSAN_OPTIONS="))
      continue;
    environment.push_back(entry);
  }
  // The preload is not the first library of a sanitized process: tell the
  // sanitizer runtime that this is intended.
  environment.push_back("ASAN_OPTIONS=" +
                        WithOptions("ASAN_OPTIONS", "verify_asan_link_order=0:exitcode=" +
                                                        std::to_string(kSanitizerExit)));
  environment.push_back(
      "UBSAN_OPTIONS=" +
      WithOptions("UBSAN_OPTIONS", "halt_on_error=1:exitcode=" + std::to_string(kSanitizerExit)));
  for (const auto& [name, value] : env) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{TZRECON_BIN};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || in < 0) _exit(125);
    dup2(in, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    // The alarm survives exec: a hanging child ends with SIGALRM.
    signal(SIGALRM, SIG_DFL);
    alarm(timeoutSeconds);
    if (openFileLimit >= 0) {
      const rlimit limit = {static_cast<rlim_t>(openFileLimit), static_cast<rlim_t>(openFileLimit)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(124);
    }
    execve(TZRECON_BIN, argv.data(), envp.data());
    _exit(127);
  }
  return child;
}

RunResult FinishTzrecon(pid_t child, const std::string& scratch) {
  RunResult result;
  if (child < 0) {
    result.err = "fork failed";
    return result;
  }
  const std::string outPath = scratch + "/child.out", errPath = scratch + "/child.err";
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  result.exited = WIFEXITED(status);
  result.code = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  result.out = ReadOrEmpty(outPath);
  result.err = ReadOrEmpty(errPath);
  return result;
}

RunResult RunTzrecon(const std::vector<std::string>& args, const Env& env,
                     const std::string& scratch, unsigned timeoutSeconds, long openFileLimit) {
  return FinishTzrecon(StartTzrecon(args, env, scratch, timeoutSeconds, openFileLimit), scratch);
}

bool EndedCleanly(const RunResult& run) {
  if (!run.exited || (run.code != 0 && run.code != 1)) return false;
  return run.err.find("Sanitizer") == std::string::npos &&
         run.err.find("runtime error:") == std::string::npos;
}

std::string Row::Text() const {
  char text[128];
  snprintf(text, sizeof text, "%d, %d, %d, %llu, %d", mountPathId, volumeId, chunkId,
           static_cast<unsigned long long>(size), si);
  return text;
}

bool Row::operator<(const Row& o) const {
  return std::tie(mountPathId, volumeId, chunkId, size, si) <
         std::tie(o.mountPathId, o.volumeId, o.chunkId, o.size, o.si);
}

bool Row::operator==(const Row& o) const { return !(*this < o) && !(o < *this); }

bool ParseDump(const std::string& text, std::vector<Row>& rows, std::string& problem) {
  static const std::string kHeader =
      "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
  rows.clear();
  if (text.compare(0, kHeader.size(), kHeader) != 0) {
    problem = "the dump does not start with its header";
    return false;
  }
  size_t pos = kHeader.size();
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      problem = "row without CR LF at byte " + std::to_string(pos);
      return false;
    }
    const std::string line = text.substr(pos, end - pos);
    // Five fields separated by ", ".
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
      const size_t comma = line.find(", ", start);
      fields.push_back(line.substr(start, comma - start));
      if (comma == std::string::npos) break;
      start = comma + 2;
    }
    long long v[4] = {0, 0, 0, 0};
    bool ok = fields.size() == 5;
    for (int i = 0; ok && i < 4; ++i) ok = ReadInteger(fields[i], v[i]);
    ok = ok && (fields[4] == "0" || fields[4] == "1") && v[3] >= 0;
    for (int i = 0; ok && i < 3; ++i) ok = v[i] >= INT32_MIN && v[i] <= INT32_MAX;
    if (!ok) {
      problem = "malformed row: [" + line + "]";
      return false;
    }
    Row row;
    row.mountPathId = static_cast<int32_t>(v[0]);
    row.volumeId = static_cast<int32_t>(v[1]);
    row.chunkId = static_cast<int32_t>(v[2]);
    row.size = static_cast<uint64_t>(v[3]);
    row.si = fields[4] == "1";
    rows.push_back(row);
    pos = end + 2;
  }
  return true;
}

bool ParseLog(const std::string& text, std::vector<LogLine>& lines, std::string& problem) {
  lines.clear();
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find('\n', pos);
    if (end == std::string::npos) {
      problem = "log line without a line feed at byte " + std::to_string(pos);
      return false;
    }
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    // Five blank-separated fields, then the message (which may hold blanks).
    std::string field[5];
    size_t at = 0;
    bool ok = true;
    for (int i = 0; i < 5 && ok; ++i) {
      const size_t blank = line.find(' ', at);
      ok = blank != std::string::npos && blank > at;
      if (ok) {
        field[i] = line.substr(at, blank - at);
        at = blank + 1;
      }
    }
    long long pid = 0, tid = 0, level = 0;
    ok = ok && IsTimestamp(field[0]) && ReadInteger(field[1], pid) && pid > 0 &&
         ReadInteger(field[2], tid) && tid > 0 && ReadInteger(field[3], level) && level >= -1;
    // Control bytes are escaped: none may appear in a line.
    for (unsigned char c : line) ok = ok && c >= 0x20 && c != 0x7f;
    if (!ok) {
      problem = "malformed log line: [" + line + "]";
      return false;
    }
    LogLine parsed;
    parsed.time = field[0];
    parsed.pid = static_cast<long>(pid);
    parsed.tid = static_cast<long>(tid);
    parsed.level = static_cast<int>(level);
    parsed.tag = field[4];
    parsed.message = line.substr(at);
    lines.push_back(std::move(parsed));
  }
  return true;
}

std::string ReadOrEmpty(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string DumpPathOf(const RunResult& run) {
  return run.out.substr(0, run.out.find('\n'));
}

}  // namespace tzfault
