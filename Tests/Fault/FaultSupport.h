// Helpers of the fault suite: running tzrecon in a child process (with or
// without the fault-injecting preload), and reading back what it left: the
// dump's rows and the log's lines, both checked for their exact form.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tzfault {

using Env = std::vector<std::pair<std::string, std::string>>;

struct RunResult {
  bool exited = false;  // false: killed by a signal
  int code = -1;        // exit status, or the signal number
  std::string out;
  std::string err;
  std::string Describe() const;
};

// Runs TZRECON_BIN with `args` in a child process whose environment is this
// one without TZRECON_* and TZFAULT_* variables and LD_PRELOAD, plus `env`.
// Standard output and error go through files in `scratch`. Sanitizer
// reports get exit codes of their own (see kSanitizerExit), so that they are
// never taken for the "dump failed" status 1. A child still running after
// `timeoutSeconds` is killed with SIGALRM. With `openFileLimit` of 0 or
// more the child may hold at most that many descriptors (RLIMIT_NOFILE).
RunResult RunTzrecon(const std::vector<std::string>& args, const Env& env,
                     const std::string& scratch, unsigned timeoutSeconds = 120,
                     long openFileLimit = -1);
// The same in two steps, for a test that acts on the child while it runs:
// the child's pid (-1 when fork failed), then its result once it ended.
pid_t StartTzrecon(const std::vector<std::string>& args, const Env& env,
                   const std::string& scratch, unsigned timeoutSeconds = 120,
                   long openFileLimit = -1);
RunResult FinishTzrecon(pid_t child, const std::string& scratch);
constexpr int kSanitizerExit = 86;

// True when `run` ended the way every tzrecon dump must end: exit status 0
// or 1, and no sanitizer report on standard error.
bool EndedCleanly(const RunResult& run);

// A dump row, parsed from its exact text form "%d, %d, %d, %llu, %d".
struct Row {
  int32_t mountPathId = 0, volumeId = 0, chunkId = 0;
  uint64_t size = 0;
  int si = 0;
  std::pair<int32_t, int32_t> Key() const { return {volumeId, chunkId}; }
  std::string Text() const;
  bool operator<(const Row& o) const;
  bool operator==(const Row& o) const;
};

// Parses a dump file: the header, then rows each ending in CR LF. Any byte
// out of place is reported in `problem` (and false returned).
bool ParseDump(const std::string& text, std::vector<Row>& rows, std::string& problem);

// One line of the host log: "<time> <pid> <tid> <level> <tag> <message>".
struct LogLine {
  std::string time;
  long pid = 0, tid = 0;
  int level = 0;
  std::string tag, message;
};

// Parses a log file line by line. Lines that do not have the form above are
// reported in `problem` (and false returned); the time must read
// YYYY-MM-DDTHH:MM:SS.uuuuuuZ, the tag must hold no blank.
bool ParseLog(const std::string& text, std::vector<LogLine>& lines, std::string& problem);

// The text of `path`, or "" when it cannot be read.
std::string ReadOrEmpty(const std::string& path);

// The dump file's path: the first line of tzrecon's standard output.
std::string DumpPathOf(const RunResult& run);

}  // namespace tzfault
