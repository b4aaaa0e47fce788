#include "Dump.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <memory>

#include "Args.h"
#include "Progress.h"
#include "TzLibVolReconciliation.h"

namespace tzcli {

namespace {

const char kDumpHelp[] =
    "usage: tzrecon dump --mount-path-id N --copy-id N --dump-dir DIR [options]\n"
    "\n"
    "Writes the chunk-lister dump of one mount path and one copy into DIR and\n"
    "prints the dump file's path on the first line, then its rows, bytes and\n"
    "the time taken. Exit status: 0 done, 1 the dump failed (its failure lines\n"
    "from the log are shown on standard error), 2 a bad argument.\n"
    "\n"
    "options:\n"
    "  --mount-path-id N      the mount path's id in the registry (required)\n"
    "  --copy-id N            the copy whose volumes are listed (required)\n"
    "  --dump-dir DIR         an existing folder for the dump file (required)\n"
    "  --single-instanced     the copy is single-instanced (walks the volumes\n"
    "                         that carry the .tzsivolume marker)\n"
    "  --flags N              dumps to run, a sum of 2 (chunk lister),\n"
    "                         4 (SIDB primary), 8 (SIDB secondary); default 2\n"
    "  --cloud-host-param N   handed to the cloud lister (default 0)\n"
    "  --config FILE          mount path registry (sets TZRECON_CONFIG)\n"
    "  --log FILE             host log file (sets TZRECON_LOG; default: standard error)\n"
    "  --log-level N          host log level (sets TZRECON_LOG_LEVEL)\n"
    "\n"
    "On a terminal, progress (chunks written, rate) is shown on standard error.\n";

struct Request {
  int32_t mountPathId = 0;
  int32_t copyId = 0;
  std::string dumpDir;
  bool singleInstanced = false;
  uint32_t flags = DUMP_CHUNK_LISTER;
  int32_t cloudHostParam = 0;
};

Request ParseRequest(const ParsedArgs& parsed) {
  if (!parsed.positional.empty())
    throw UsageError("unexpected argument '" + parsed.positional[0] + "'");
  parsed.Require("--mount-path-id");
  parsed.Require("--copy-id");
  parsed.Require("--dump-dir");
  Request request;
  request.mountPathId =
      static_cast<int32_t>(parsed.Int("--mount-path-id", 0, INT32_MIN, INT32_MAX));
  request.copyId = static_cast<int32_t>(parsed.Int("--copy-id", 0, INT32_MIN, INT32_MAX));
  request.dumpDir = parsed.Text("--dump-dir");
  request.singleInstanced = parsed.Has("--single-instanced");
  request.flags = static_cast<uint32_t>(parsed.Unsigned("--flags", DUMP_CHUNK_LISTER, UINT32_MAX));
  request.cloudHostParam =
      static_cast<int32_t>(parsed.Int("--cloud-host-param", 0, INT32_MIN, INT32_MAX));
  parsed.Int("--log-level", 0, INT32_MIN, INT32_MAX);  // checked here, handed on as text

  struct stat st;
  if (stat(request.dumpDir.c_str(), &st) != 0)
    throw UsageError("--dump-dir: '" + request.dumpDir + "': " + std::strerror(errno));
  if (!S_ISDIR(st.st_mode))
    throw UsageError("--dump-dir: '" + request.dumpDir + "' is not a folder");
  if (parsed.Has("--config")) {
    const std::string config = parsed.Text("--config");
    if (stat(config.c_str(), &st) != 0 || access(config.c_str(), R_OK) != 0)
      throw UsageError("--config: cannot read '" + config + "': " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw UsageError("--config: '" + config + "' is not a file");
  }
  return request;
}

// The size of the file at `path`, or 0 when it is missing.
off_t SizeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : 0;
}

// Shows on standard error the lines that this process logged at level -1 in
// the log file `path` from byte `from` on. A log line is
// "<time> <pid> <tid> <level> <tag> <message>". Returns how many were shown.
int ShowFailureLines(const std::string& path, off_t from) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  // A log that shrank was replaced: its new lines start at the beginning.
  if (SizeOf(path) >= from) in.seekg(from);
  const std::string pid = std::to_string(getpid());
  int shown = 0;
  std::string line;
  while (std::getline(in, line)) {
    size_t fieldStart[4];
    size_t pos = 0;
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
      fieldStart[i] = pos;
      pos = line.find(' ', pos);
      if (pos == std::string::npos) {
        ok = false;
        break;
      }
      ++pos;
    }
    if (!ok) continue;
    if (line.compare(fieldStart[1], fieldStart[2] - fieldStart[1] - 1, pid) != 0) continue;
    if (line.compare(fieldStart[3], pos - fieldStart[3] - 1, "-1") != 0) continue;
    fprintf(stderr, "  %s\n", line.c_str());
    ++shown;
  }
  return shown;
}

struct FileCount {
  bool ok = false;
  int error = 0;  // errno of the failure when not ok
  uint64_t lines = 0;
  uint64_t bytes = 0;
};

FileCount CountLines(const std::string& path) {
  FileCount count;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    count.error = errno;
    return count;
  }
  char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      count.error = errno;
      close(fd);
      return count;
    }
    if (n == 0) break;
    count.bytes += static_cast<uint64_t>(n);
    for (const char* p = buffer;
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(buffer + n - p)))) !=
         nullptr;
         ++p)
      ++count.lines;
  }
  close(fd);
  count.ok = true;
  return count;
}

}  // namespace

int RunDump(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(
      args, {{"--mount-path-id", true}, {"--copy-id", true}, {"--dump-dir", true},
             {"--single-instanced", false}, {"--flags", true}, {"--cloud-host-param", true},
             {"--config", true}, {"--log", true}, {"--log-level", true}});
  if (parsed.help) {
    fputs(kDumpHelp, stdout);
    return 0;
  }
  const Request request = ParseRequest(parsed);

  // The host's loggers read these when they are made, so they are set before
  // the library object exists.
  if (parsed.Has("--config")) setenv("TZRECON_CONFIG", parsed.Text("--config").c_str(), 1);
  if (parsed.Has("--log")) setenv("TZRECON_LOG", parsed.Text("--log").c_str(), 1);
  if (parsed.Has("--log-level"))
    setenv("TZRECON_LOG_LEVEL", parsed.Text("--log-level").c_str(), 1);
  const char* logEnv = getenv("TZRECON_LOG");
  const std::string logPath = logEnv != nullptr ? logEnv : "";
  const off_t logStart = logPath.empty() ? 0 : SizeOf(logPath);

  ChunkListInputs inputs;
  inputs.mountPathId = request.mountPathId;
  inputs.isSingleInstanced = request.singleInstanced;
  _TzLibVolReconInputParams params;
  params.dumpFlags = request.flags;
  params.dumpPath = request.dumpDir;
  params.copyId = request.copyId;
  params.cloudHostParam = request.cloudHostParam;
  params.chunkListInputs = &inputs;

  const bool listing = (request.flags & DUMP_CHUNK_LISTER) != 0;
  std::unique_ptr<DumpProgress> progress;
  if (listing && isatty(STDERR_FILENO) == 1)
    progress = std::make_unique<DumpProgress>(request.dumpDir, request.copyId,
                                              request.mountPathId, static_cast<int64_t>(time(nullptr)));

  const auto started = std::chrono::steady_clock::now();
  bool ok = false;
  std::string exceptionText;
  try {
    TzLibVolReconsiliation library;
    if (progress) progress->Start();
    ok = library.CreateMultipleDumps(params);
  } catch (const std::exception& e) {
    exceptionText = e.what();
  }
  if (progress) progress->Stop();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  if (!ok) {
    if (!exceptionText.empty())
      fprintf(stderr, "tzrecon dump: the library failed: %s\n", exceptionText.c_str());
    fprintf(stderr, "tzrecon dump: the dump failed after %.2f s\n", seconds);
    if (!logPath.empty()) {
      fprintf(stderr, "tzrecon dump: failure lines of the log %s:\n", logPath.c_str());
      if (ShowFailureLines(logPath, logStart) == 0) fputs("  (none)\n", stderr);
    }
    if (listing && !inputs.dumpFileName.empty())
      fprintf(stderr, "tzrecon dump: the dump file %s may be incomplete\n",
              inputs.dumpFileName.c_str());
    return 1;
  }

  if (!listing) {
    printf("dumps done (flags %u), %.2f s\n", request.flags, seconds);
    return 0;
  }
  printf("%s\n", inputs.dumpFileName.c_str());
  const FileCount count = CountLines(inputs.dumpFileName);
  if (!count.ok) {
    printf("rows unknown (cannot read the file: %s), %lld bytes, %.2f s\n", std::strerror(count.error),
           static_cast<long long>(inputs.dumpFileSize), seconds);
    return 0;
  }
  printf("%llu rows, %llu bytes, %.2f s\n",
         static_cast<unsigned long long>(count.lines > 0 ? count.lines - 1 : 0),
         static_cast<unsigned long long>(count.bytes), seconds);
  return 0;
}

}  // namespace tzcli
