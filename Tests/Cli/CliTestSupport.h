// Runs the tzrecon binary in a child process, and reads a sample mount path
// back from disk on its own (without the generator's code).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace clitest {

struct RunResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error (with a pty: everything the terminal got)
};

using Env = std::vector<std::pair<std::string, std::string>>;

// Runs TZRECON_BIN with `args`, standard output and error on pipes. The child
// starts without TZRECON_CONFIG, TZRECON_LOG and TZRECON_LOG_LEVEL, then gets
// `env`.
RunResult RunCli(const std::vector<std::string>& args, const Env& env = {});
// The same with standard output written to the file `stdoutPath` (such as
// /dev/full) instead of a pipe; `out` stays empty.
RunResult RunCliToFile(const std::string& stdoutPath, const std::vector<std::string>& args,
                       const Env& env = {});
// The same with a pseudo-terminal as standard input, output and error.
RunResult RunOnTerminal(const std::vector<std::string>& args, const Env& env = {});

// Starts TZRECON_BIN with `args` in the background (environment as RunCli),
// standard output and error into the files `outPath` and `errPath`.
pid_t StartCli(const std::vector<std::string>& args, const std::string& outPath,
               const std::string& errPath, const Env& env = {});
// The same on a new pseudo-terminal (standard input, output and error);
// `*master` is the terminal's other side, to read what it shows.
pid_t StartOnTerminal(const std::vector<std::string>& args, int* master);
// Waits for a child started by StartCli or StartOnTerminal: its exit status, or 128 + signal.
int WaitCli(pid_t child);
// The processes whose parent is `parent`.
std::vector<pid_t> ChildrenOf(pid_t parent);
// Whether `pid` has ended (gone, or a zombie that nobody has reaped yet).
bool Ended(pid_t pid);
// Waits (polling, up to a generous limit) until `done` holds; false if it
// never did.
bool WaitUntil(const std::function<bool()>& done);

// One dump row.
struct Row {
  int32_t mountPathId, volumeId, chunkId;
  uint64_t size;
  int siVolume;
  bool operator<(const Row& o) const;
  bool operator==(const Row& o) const;
};
std::string ToString(const Row& row);

// Walks a sample mount path with std::filesystem and returns, sorted, the
// rows a dump of (mountPathId, copyId, singleInstanced) must hold. Every
// volume and chunk it finds must be well formed (media label, trailer,
// marker, .idx file); problems are reported as test failures.
std::vector<Row> ExpectedRows(const std::string& mountPath, int32_t mountPathId,
                              int32_t copyId, bool singleInstanced);

// Parses a dump file: checks the header and the exact form of every row, and
// returns the rows sorted.
std::vector<Row> DumpRows(const std::string& dumpFile);

std::vector<std::string> Lines(const std::string& text);

}  // namespace clitest
