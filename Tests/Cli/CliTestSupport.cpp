#include "CliTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

#include "StorageLayout.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
namespace layout = tzrecon::layout;

namespace clitest {

namespace {

constexpr int kTimeoutMs = 300000;

[[noreturn]] void ExecChild(const std::vector<std::string>& args, const Env& env) {
  unsetenv("TZRECON_CONFIG");
  unsetenv("TZRECON_LOG");
  unsetenv("TZRECON_LOG_LEVEL");
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(TZRECON_BIN));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(TZRECON_BIN, argv.data());
  _exit(127);
}

// Reads `fds` until each reports end of file, into `sinks`.
void Drain(std::vector<int> fds, std::vector<std::string*> sinks, pid_t child) {
  std::vector<bool> open(fds.size(), true);
  char buffer[65536];
  while (std::count(open.begin(), open.end(), true) > 0) {
    std::vector<pollfd> polls;
    std::vector<size_t> which;
    for (size_t i = 0; i < fds.size(); ++i)
      if (open[i]) {
        polls.push_back({fds[i], POLLIN, 0});
        which.push_back(i);
      }
    const int ready = poll(polls.data(), polls.size(), kTimeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      ADD_FAILURE() << "tzrecon did not finish in time";
      kill(child, SIGKILL);
      return;
    }
    for (size_t k = 0; k < polls.size(); ++k) {
      if (polls[k].revents == 0) continue;
      const ssize_t n = read(polls[k].fd, buffer, sizeof buffer);
      if (n > 0)
        sinks[which[k]]->append(buffer, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        open[which[k]] = false;  // EOF, or EIO from a pty whose child has gone
    }
  }
}

// As from an interactive shell: a test runner may ignore SIGINT.
void ResetStopSignals() {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, SIG_DFL);
}

int Wait(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int64_t ParseId(const std::string& text) {
  // Names in a sample are plain decimal with no sign or leading zero.
  static const std::regex kDecimal("0|[1-9][0-9]{0,9}");
  if (!std::regex_match(text, kDecimal)) return -1;
  const long long value = std::stoll(text);
  return value <= INT32_MAX ? value : -1;
}

// The number after `prefix` in `name`, or -1.
int64_t IdAfter(const std::string& name, const std::string& prefix) {
  if (name.compare(0, prefix.size(), prefix) != 0) return -1;
  return ParseId(name.substr(prefix.size()));
}

// The trailer of `id` must name the volume and the id in its first 1024 bytes.
void CheckTrailer(const fs::path& volume, int64_t volumeId, int64_t id) {
  const fs::path trailer = volume / (layout::kTrailerPrefix + std::to_string(id));
  ASSERT_TRUE(fs::is_regular_file(trailer)) << trailer;
  EXPECT_GE(fs::file_size(trailer), 1024u) << trailer;
  const std::string text = tztest::ReadFile(trailer.string()).substr(0, 1024);
  const std::string records =
      "VolumeId " + std::to_string(volumeId) + "\nChunkId " + std::to_string(id) + "\n";
  EXPECT_EQ(text.substr(0, records.size()), records) << trailer;
  // Nothing after the records may read as another record.
  EXPECT_EQ(text.find_first_of(" \n", records.size()), std::string::npos) << trailer;
}

}  // namespace

RunResult RunCli(const std::vector<std::string>& args, const Env& env) {
  return RunCliToFile("", args, env);
}

RunResult RunCliToFile(const std::string& stdoutPath, const std::vector<std::string>& args,
                       const Env& env) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t child = fork();
  if (child == 0) {
    const int out =
        stdoutPath.empty() ? outPipe[1] : open(stdoutPath.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    const int devnull = open("/dev/null", O_RDONLY);
    dup2(devnull, STDIN_FILENO);
    ExecChild(args, env);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  RunResult result;
  Drain({outPipe[0], errPipe[0]}, {&result.out, &result.err}, child);
  close(outPipe[0]);
  close(errPipe[0]);
  result.status = Wait(child);
  return result;
}

pid_t StartOnTerminal(const std::vector<std::string>& args, int* master) {
  const pid_t child = forkpty(master, nullptr, nullptr, nullptr);
  if (child == 0) {
    ResetStopSignals();
    ExecChild(args, {});
  }
  EXPECT_GT(child, 0) << "forkpty failed";
  return child;
}

RunResult RunOnTerminal(const std::vector<std::string>& args, const Env& env) {
  int master = -1;
  const pid_t child = forkpty(&master, nullptr, nullptr, nullptr);
  if (child < 0) {
    ADD_FAILURE() << "forkpty failed";
    return {};
  }
  if (child == 0) ExecChild(args, env);
  RunResult result;
  Drain({master}, {&result.err}, child);
  close(master);
  result.status = Wait(child);
  return result;
}

pid_t StartCli(const std::vector<std::string>& args, const std::string& outPath,
               const std::string& errPath, const Env& env) {
  const pid_t child = fork();
  if (child == 0) {
    ResetStopSignals();
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || in < 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    dup2(in, STDIN_FILENO);
    ExecChild(args, env);
  }
  EXPECT_GT(child, 0) << "fork failed";
  return child;
}

int WaitCli(pid_t child) { return Wait(child); }

std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> children;
  for (const fs::directory_entry& e : fs::directory_iterator("/proc")) {
    const std::string name = e.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // "pid (comm) state ppid ...": the name in parentheses may hold blanks.
    std::ifstream file(e.path().string() + "/stat");
    std::string stat;
    if (!std::getline(file, stat)) continue;  // ended meanwhile
    const size_t close = stat.rfind(')');
    char state = 0;
    int ppid = 0;
    if (close != std::string::npos &&
        sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent)
      children.push_back(static_cast<pid_t>(std::stoi(name)));
  }
  return children;
}

bool Ended(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

bool WaitUntil(const std::function<bool()>& done) {
  for (int i = 0; i < kTimeoutMs / 10; ++i) {
    if (done()) return true;
    usleep(10000);
  }
  return done();
}

bool Row::operator<(const Row& o) const {
  return std::tie(mountPathId, volumeId, chunkId, size, siVolume) <
         std::tie(o.mountPathId, o.volumeId, o.chunkId, o.size, o.siVolume);
}
bool Row::operator==(const Row& o) const { return !(*this < o) && !(o < *this); }

std::string ToString(const Row& r) {
  char text[128];
  snprintf(text, sizeof text, "%d, %d, %d, %llu, %d", r.mountPathId, r.volumeId, r.chunkId,
           static_cast<unsigned long long>(r.size), r.siVolume);
  return text;
}

std::vector<Row> ExpectedRows(const std::string& mountPath, int32_t mountPathId,
                              int32_t copyId, bool singleInstanced) {
  std::vector<Row> rows;
  for (const fs::directory_entry& volume : fs::directory_iterator(mountPath)) {
    const std::string volumeName = volume.path().filename().string();
    const int64_t volumeId = IdAfter(volumeName, layout::kVolumePrefix);
    if (volumeId < 0 || !volume.is_directory()) {
      ADD_FAILURE() << "unexpected entry in the mount path: " << volumeName;
      continue;
    }
    // The label holds the copy id as decimal text at byte 1007.
    constexpr size_t at = layout::kLabelCopyIdOffset;
    const std::string label = tztest::ReadFile((volume.path() / layout::kMediaLabel).string());
    EXPECT_GE(label.size(), layout::kLabelReadSize) << volumeName;
    const size_t digitsEnd = label.find_first_not_of("-0123456789", at);
    if (label.size() < layout::kLabelReadSize || digitsEnd == std::string::npos ||
        digitsEnd == at || std::stoll(label.substr(at, digitsEnd - at)) != copyId)
      continue;
    if (fs::exists(volume.path() / layout::kSIMarker) != singleInstanced) continue;

    for (const fs::directory_entry& entry : fs::directory_iterator(volume.path())) {
      const std::string name = entry.path().filename().string();
      if (name == layout::kMediaLabel || name == layout::kSIMarker ||
          name.rfind(layout::kTrailerPrefix, 0) == 0)
        continue;
      const int64_t chunkId = IdAfter(name, layout::kChunkPrefix);
      EXPECT_GE(chunkId, 0) << "unexpected entry " << entry.path();
      if (chunkId < 0) continue;
      if (!singleInstanced) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
        CheckTrailer(volume.path(), volumeId, chunkId);
        rows.push_back({mountPathId, static_cast<int32_t>(volumeId),
                        static_cast<int32_t>(chunkId), fs::file_size(entry.path()), 0});
        continue;
      }
      EXPECT_TRUE(entry.is_directory()) << entry.path();
      int metadataFiles = 0;
      for (const fs::directory_entry& file : fs::directory_iterator(entry.path())) {
        const std::string fileName = file.path().filename().string();
        constexpr size_t suffix = sizeof layout::kIndexSuffix - 1;
        if (fileName.size() > suffix &&
            fileName.compare(fileName.size() - suffix, suffix, layout::kIndexSuffix) == 0) {
          EXPECT_TRUE(fs::exists(entry.path() / fileName.substr(0, fileName.size() - suffix)))
              << "index without metadata file: " << file.path();
          continue;
        }
        const int64_t number = IdAfter(fileName, layout::kMetadataPrefix);
        EXPECT_GE(number, 0) << "unexpected entry " << file.path();
        if (number < 0) continue;
        EXPECT_TRUE(fs::exists(entry.path() / (fileName + layout::kIndexSuffix))) << file.path();
        CheckTrailer(volume.path(), volumeId, number);
        rows.push_back({mountPathId, static_cast<int32_t>(volumeId), static_cast<int32_t>(number),
                        fs::file_size(file.path()), 1});
        ++metadataFiles;
      }
      EXPECT_GE(metadataFiles, 1) << "chunk folder without metadata: " << entry.path();
    }
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<Row> DumpRows(const std::string& dumpFile) {
  const std::string text = tztest::ReadFile(dumpFile);
  const std::string header = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
  EXPECT_EQ(header.size(), 61u);
  EXPECT_EQ(text.substr(0, header.size()), header);
  std::vector<Row> rows;
  size_t pos = header.size();
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      ADD_FAILURE() << "row without CR LF at byte " << pos;
      break;
    }
    const std::string line = text.substr(pos, end - pos);
    Row row{};
    unsigned long long size = 0;
    if (sscanf(line.c_str(), "%d, %d, %d, %llu, %d", &row.mountPathId, &row.volumeId,
               &row.chunkId, &size, &row.siVolume) != 5) {
      ADD_FAILURE() << "malformed row: " << line;
    } else {
      row.size = size;
      EXPECT_EQ(ToString(row), line) << "row not in its exact form";
      rows.push_back(row);
    }
    pos = end + 2;
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace clitest
