// The fault sweep: tzrecon dumps a small library while the preload makes
// one call of one operation fail, for every call of that operation the dump
// makes in turn. After each run the dump must be one of:
//   - a true result with the complete row set;
//   - a true result whose only missing or changed rows are those the design
//     leaves out for that fault (an unreadable trailer drops its chunk, an
//     unreadable media label skips its volume, an unreadable chunk status
//     gives size 0), each accounted for by its level -1 message;
//   - a false result with a level -1 message.
// and the process must end by itself with status 0 or 1, without a signal
// or a sanitizer report.
#include <gtest/gtest.h>

#include <cstring>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "ReadFailure.h"
#include "SampleLibrary.h"
#include "TestSupport.h"

using tzfault::LogLine;
using tzfault::Row;
using tzfault::RunResult;

namespace {

constexpr int kMountPathId = 3;

enum class Kind { kDisk, kDiskSI, kCloud };

struct Scenario {
  Kind kind;
  const char* op;
  int error;
  // "": faults on any path but the log's; "log": only on the log file.
  const char* target = "";
};

std::string ErrnoName(int error) {
  switch (error) {
    case EIO: return "EIO";
    case ENOENT: return "ENOENT";
    case EINTR: return "EINTR";
    case ENOSPC: return "ENOSPC";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCES";
    default: return std::to_string(error);
  }
}

std::string KindName(Kind kind) {
  switch (kind) {
    case Kind::kDisk: return "Disk";
    case Kind::kDiskSI: return "DiskSI";
    case Kind::kCloud: return "Cloud";
  }
  return "?";
}

std::string ScenarioName(const Scenario& s) {
  std::string name = KindName(s.kind) + "_" + s.op;
  if (std::string(s.op) != "devfull") name += "_" + ErrnoName(s.error);
  if (*s.target != '\0') name += std::string("_") + s.target;
  return name;
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << ScenarioName(s); }

// The library every run dumps: three volumes of copy 7 with four chunks
// each, a volume of copy 8, a single-instanced volume of copy 7 and a folder
// that is no volume. The single-instanced volume's chunk folders are laid out
// as the sample generator does (folder n holds metadata 4n to 4n+3), so that
// walking it as a plain volume would find trailers for some of its folders.
struct SweepLibrary {
  tztest::SampleLibrary lib;
  std::map<std::pair<int32_t, int32_t>, Row> plainRows, siRows;

  SweepLibrary() {
    int chunk = 1;
    for (int volume = 1; volume <= 3; ++volume) {
      const std::string name = "V_" + std::to_string(volume);
      lib.Volume(name, "7");
      for (int i = 0; i < 4; ++i, ++chunk) {
        const uint64_t size = 1000u * static_cast<uint64_t>(chunk) + 7;
        lib.Chunk(name, volume, chunk, size);
        plainRows[{volume, chunk}] = Row{kMountPathId, volume, chunk, size, 0};
      }
    }
    lib.Volume("V_4", "8");
    lib.Chunk("V_4", 4, 40, 4000);
    lib.Chunk("V_4", 4, 41, 4100);
    lib.Volume("V_5", "7", /*singleInstanced=*/true);
    const struct { int folder, meta; uint64_t size; } si[] = {{1, 4, 400}, {1, 5, 500}, {5, 20, 2000}};
    for (const auto& c : si) {
      lib.SIChunk("V_5", 5, c.folder, c.meta, c.size);
      siRows[{5, c.meta}] = Row{kMountPathId, 5, c.meta, c.size, 1};
    }
    tztest::MakeDirs(lib.root + "/other");
    tztest::WriteFile(lib.root + "/other/MEDIA_LABEL", tztest::MediaLabel("7"));
  }
};

// The volume and chunk ids a path under the mount path names:
// "<root>/V_<volume>/..._<chunk>" (the chunk id is 0 when there is none).
bool IdsOfPath(const std::string& root, const std::string& path, int32_t& volume,
               int32_t& chunk) {
  const std::string prefix = root + "/V_";
  if (path.compare(0, prefix.size(), prefix) != 0) return false;
  volume = std::atoi(path.c_str() + prefix.size());
  const size_t underscore = path.rfind('_');
  chunk = underscore > prefix.size() ? std::atoi(path.c_str() + underscore + 1) : 0;
  return true;
}

// The text between the first "[" (or "(") and the last "]" (or ")").
std::string Bracketed(const std::string& message, char open, char close) {
  const size_t start = message.find(open);
  const size_t end = message.rfind(close);
  if (start == std::string::npos || end == std::string::npos || end <= start) return "";
  return message.substr(start + 1, end - start - 1);
}

// What the level -1 messages of one run account for.
struct Accounts {
  std::set<std::pair<int32_t, int32_t>> droppedChunks, zeroSizes;
  std::set<int32_t> skippedVolumes;
  int unattributedDrops = 0;
  int failureLines = 0;
};

Accounts ReadAccounts(const std::vector<LogLine>& log, const std::string& root) {
  Accounts a;
  for (const LogLine& l : log) {
    if (l.level != -1) continue;
    ++a.failureLines;
    int32_t volume = 0, chunk = 0;
    if (l.tag == "ChunkListHelper::GetVolumeAndChunkIdFromCMT") {
      const std::string path = l.message.find('[') != std::string::npos &&
                                       l.message.rfind("Error :: Failed to open", 0) == 0
                                   ? Bracketed(l.message, '[', ']')
                                   : Bracketed(l.message, '(', ')');
      if (IdsOfPath(root, path, volume, chunk))
        a.droppedChunks.insert({volume, chunk});
      else
        ++a.unattributedDrops;  // a read failure or an id mismatch
    } else if (l.tag == "ChunkListHelper::VerifyVolume") {
      const std::string path = l.message.rfind("Error :: Failed to open", 0) == 0
                                   ? Bracketed(l.message, '[', ']')
                                   : Bracketed(l.message, '(', ')');
      if (IdsOfPath(root, path, volume, chunk)) a.skippedVolumes.insert(volume);
    } else if (l.tag == "ChunkListHelper::GetFileSize") {
      // "... error=error -1: stat failed for [<path>]: ..."
      const size_t start = l.message.find("for [");
      const size_t end = l.message.find("]: ", start);
      if (start != std::string::npos && end != std::string::npos &&
          IdsOfPath(root, l.message.substr(start + 5, end - start - 5), volume, chunk))
        a.zeroSizes.insert({volume, chunk});
    }
  }
  return a;
}

enum class Outcome { kComplete, kAccounted, kFailed, kViolation };

struct Verdict {
  Outcome outcome = Outcome::kViolation;
  std::string why;
};

// Judges one run against the rows a complete dump holds.
Verdict Judge(const RunResult& run, const std::string& logText, const std::string& root,
              const std::map<std::pair<int32_t, int32_t>, Row>& expected) {
  Verdict v;
  if (!tzfault::EndedCleanly(run)) {
    v.why = "tzrecon did not end cleanly";
    return v;
  }
  std::vector<LogLine> log;
  std::string problem;
  if (!tzfault::ParseLog(logText, log, problem)) {
    v.why = problem;
    return v;
  }
  const Accounts accounts = ReadAccounts(log, root);
  if (run.code == 1) {
    if (accounts.failureLines == 0) {
      v.why = "a false result without a level -1 message";
      return v;
    }
    v.outcome = Outcome::kFailed;
    return v;
  }
  std::vector<Row> rows;
  if (!tzfault::ParseDump(tzfault::ReadOrEmpty(tzfault::DumpPathOf(run)), rows, problem)) {
    v.why = "a true result with an unreadable dump: " + problem;
    return v;
  }
  std::ostringstream why;
  bool changed = false;
  std::set<std::pair<int32_t, int32_t>> seen;
  for (const Row& row : rows) {
    auto it = expected.find(row.Key());
    if (!seen.insert(row.Key()).second) {
      why << "row [" << row.Text() << "] appears twice; ";
    } else if (it == expected.end()) {
      why << "row [" << row.Text() << "] does not belong in the dump; ";
    } else if (!(row == it->second)) {
      changed = true;
      Row zero = it->second;
      zero.size = 0;
      if (!(row == zero) || accounts.zeroSizes.count(row.Key()) == 0)
        why << "row [" << row.Text() << "] should read [" << it->second.Text()
            << "] and no message accounts for it; ";
    }
  }
  int unattributed = accounts.unattributedDrops;
  for (const auto& [key, row] : expected) {
    if (seen.count(key)) continue;
    changed = true;
    if (accounts.droppedChunks.count(key) || accounts.skippedVolumes.count(key.first)) continue;
    if (unattributed > 0) {
      --unattributed;
      continue;
    }
    why << "row [" << row.Text() << "] is missing and no message accounts for it; ";
  }
  v.why = why.str();
  if (!v.why.empty()) return v;
  v.outcome = changed ? Outcome::kAccounted : Outcome::kComplete;
  return v;
}

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryCallFailedInTurnGivesACompleteOrAnnouncedOrFailedDump) {
  const Scenario s = GetParam();
  SweepLibrary library;
  const std::string& root = library.lib.root;
  const std::string dumps = library.lib.dir / "dumps";
  const std::string logPath = library.lib.dir / "tzrecon.log";
  const std::string report = library.lib.dir / "fault.report";
  tztest::MakeDirs(dumps);
  const std::string config =
      library.lib.Config(kMountPathId, s.kind == Kind::kCloud ? 7 : 4);
  const auto& expected = s.kind == Kind::kDiskSI ? library.siRows : library.plainRows;

  std::vector<std::string> args = {"dump",  "--mount-path-id", std::to_string(kMountPathId),
                                   "--copy-id", "7", "--dump-dir", dumps, "--config", config,
                                   "--log", logPath};
  if (s.kind == Kind::kDiskSI) args.push_back("--single-instanced");
  const bool logFaults = std::string(s.target) == "log";
  const std::string op = s.op;
  const bool dumpWriteFault =
      !logFaults && (op == "fwrite" || op == "fflush" || op == "fclose" || op == "devfull");
  static const char kWriteFailure[] = "Error :: Failed to write the dump file [";

  // Runs one dump failing call `n` (0: none); returns the calls counted and
  // the faults injected.
  auto run = [&](long n, RunResult& result, std::string& logText) {
    tztest::RemoveTree(dumps);
    tztest::MakeDirs(dumps);
    unlink(logPath.c_str());
    unlink(report.c_str());
    tzfault::Env env = {{"LD_PRELOAD", TZFAULT_SHIM},
                        {"TZFAULT_OP", s.op},
                        {"TZFAULT_N", std::to_string(n)},
                        {"TZFAULT_ERRNO", std::to_string(s.error)},
                        {"TZFAULT_REPORT", report}};
    if (logFaults) {
      env.push_back({"TZFAULT_PATH_SUBSTR", logPath});
      env.push_back({"TZRECON_LOG_LEVEL", "2"});
    } else {
      env.push_back({"TZFAULT_PATH_EXCLUDE", logPath});
    }
    result = tzfault::RunTzrecon(args, env, library.lib.dir.path());
    logText = tzfault::ReadOrEmpty(logPath);
    long calls = -1, injected = -1;
    std::istringstream(tzfault::ReadOrEmpty(report)) >> calls >> injected;
    return std::make_pair(calls, injected);
  };

  RunResult result;
  std::string logText;
  const auto [calls, none] = run(0, result, logText);
  {
    const Verdict baseline = Judge(result, logText, root, expected);
    ASSERT_EQ(baseline.outcome, Outcome::kComplete)
        << "the dump without a fault: " << baseline.why << "\n"
        << result.Describe() << logText;
  }
  ASSERT_GT(calls, 0) << "the dump makes no call of " << s.op;
  ASSERT_EQ(none, 0);

  int counts[4] = {0, 0, 0, 0};
  long injectedTotal = 0;
  for (long n = 1; n <= calls; ++n) {
    const auto [seen, injected] = run(n, result, logText);
    injectedTotal += injected > 0 ? injected : 0;
    EXPECT_EQ(injected, 1) << "call " << n << " of " << calls << " was not reached";
    const Verdict v = Judge(result, logText, root, expected);
    if (logFaults && v.outcome != Outcome::kComplete) {
      // A log that cannot be written must not change the dump.
      ADD_FAILURE() << ScenarioName(s) << ", call " << n
                    << ": a log fault changed the dump: " << v.why << "\n"
                    << result.Describe();
      ++counts[static_cast<int>(Outcome::kViolation)];
      continue;
    }
    if (dumpWriteFault) {
      // A write that fails is reported once, with its own error, however
      // many writes and the close fail after it.
      const std::string text = std::string("error=") +
                               (std::string(s.op) == "devfull" ? strerror(ENOSPC) : strerror(s.error));
      size_t lines = 0, withItsError = 0;
      for (size_t at = logText.find(kWriteFailure); at != std::string::npos;
           at = logText.find(kWriteFailure, at + 1)) {
        ++lines;
        withItsError += logText.compare(logText.find("error=", at), text.size(), text) == 0;
      }
      EXPECT_LE(lines, 1u) << ScenarioName(s) << ", call " << n << "\n" << logText;
      EXPECT_EQ(withItsError, lines) << ScenarioName(s) << ", call " << n << "\n" << logText;
    }
    ++counts[static_cast<int>(v.outcome)];
    if (v.outcome == Outcome::kViolation)
      ADD_FAILURE() << ScenarioName(s) << ", call " << n << " of " << calls << ": " << v.why
                    << "\n"
                    << result.Describe() << "--- log:\n"
                    << logText;
  }
  std::printf(
      "fault sweep %s: %ld calls, %ld faults injected: %d complete, %d complete with announced "
      "omissions, %d failed with a message, %d unaccounted\n",
      ScenarioName(s).c_str(), calls, injectedTotal, counts[0], counts[1], counts[2], counts[3]);
  RecordProperty("calls", static_cast<int>(calls));
  RecordProperty("complete", counts[0]);
  RecordProperty("announced", counts[1]);
  RecordProperty("failed", counts[2]);
  RecordProperty("unaccounted", counts[3]);
}

const Scenario kScenarios[] = {
    // A plain walk: every operation the library and the host make.
    {Kind::kDisk, "open", EIO},
    {Kind::kDisk, "open", ENOENT},
    {Kind::kDisk, "read", EIO},
    {Kind::kDisk, "read", EINTR},
    {Kind::kDisk, "close", EIO},
    {Kind::kDisk, "stat", EIO},
    {Kind::kDisk, "fstat", EIO},
    {Kind::kDisk, "opendir", EIO},
    {Kind::kDisk, "readdir", EIO},
    {Kind::kDisk, "closedir", EIO},
    {Kind::kDisk, "fdopen", ENOMEM},
    {Kind::kDisk, "fwrite", ENOSPC},
    {Kind::kDisk, "fflush", EIO},
    {Kind::kDisk, "fclose", EIO},
    {Kind::kDisk, "devfull", ENOSPC},
    // The log: whatever happens to it, the dump stays the same.
    {Kind::kDisk, "open", EIO, "log"},
    {Kind::kDisk, "write", EIO, "log"},
    // A single-instanced walk.
    {Kind::kDiskSI, "open", EIO},
    {Kind::kDiskSI, "read", EIO},
    {Kind::kDiskSI, "stat", EIO},
    {Kind::kDiskSI, "opendir", EIO},
    {Kind::kDiskSI, "readdir", EIO},
    {Kind::kDiskSI, "fwrite", ENOSPC},
    // A cloud mount path served by the folder store.
    {Kind::kCloud, "open", EIO},
    {Kind::kCloud, "open", ENOENT},
    {Kind::kCloud, "read", EIO},
    {Kind::kCloud, "stat", EIO},
    {Kind::kCloud, "fstat", EIO},
    {Kind::kCloud, "opendir", EIO},
    {Kind::kCloud, "readdir", EIO},
    {Kind::kCloud, "fwrite", ENOSPC},
    {Kind::kCloud, "devfull", ENOSPC},
};

INSTANTIATE_TEST_SUITE_P(Operations, FaultSweep, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                           return ScenarioName(info.param);
                         });

// ---------------------------------------------------------------------------
// What a file that cannot be read means for the dump: left out when it is
// absent or unreadable by its nature, a failed dump when the process or
// the system failed. Every errno of the walk's rule, and one it does not
// name, on every read the rule decides.

struct ErrnoCase {
  int error;
  bool leftOut;  // on the disk walk
};

// Written out here, not taken from the library: the test says what each
// errno must mean to whoever acts on the dump.
const ErrnoCase kErrnoCases[] = {
    {ENOENT, true},   {ENOTDIR, true},  {EACCES, true},  {EPERM, true},
    {ELOOP, true},    {EISDIR, true},   {ENXIO, true},   {ENODEV, true},
    {EMFILE, false},  {ENFILE, false},  {ENOMEM, false}, {ENOBUFS, false},
    {EIO, false},     {EAGAIN, false},  {ETIMEDOUT, false}, {ESTALE, false},
    {EOVERFLOW, false},  // not named by the rule: the system's failure
};

struct ReadTarget {
  const char* name;
  Kind kind;
  const char* op;
  const char* path;  // under the mount path
  const char* substr;  // what the call names (trailers are opened relative to their folder)
  bool wholeVolume;  // the fault leaves out volume 2, not chunk 6
};

const ReadTarget kReadTargets[] = {
    {"trailer open", Kind::kDisk, "open", "/V_2/CHUNKMAP_TRAILER_6", "CHUNKMAP_TRAILER_6", false},
    {"trailer read", Kind::kDisk, "read", "/V_2/CHUNKMAP_TRAILER_6", "CHUNKMAP_TRAILER_6", false},
    {"label open", Kind::kDisk, "open", "/V_2/MEDIA_LABEL", "/V_2/MEDIA_LABEL", true},
    {"label read", Kind::kDisk, "read", "/V_2/MEDIA_LABEL", "/V_2/MEDIA_LABEL", true},
    // The cloud component's error values tell only absence from failure.
    {"cloud label open", Kind::kCloud, "open", "/V_2/MEDIA_LABEL", "/V_2/MEDIA_LABEL", true},
};

TEST(ReadFailureRule, EveryRowOfTheRuleIsTested) {
  for (size_t i = 0; i < tzrecon::kErrnoRuleCount; ++i) {
    const tzrecon::ErrnoRule& rule = tzrecon::kErrnoRules[i];
    const ErrnoCase* tested = nullptr;
    for (const ErrnoCase& c : kErrnoCases)
      if (c.error == rule.error) tested = &c;
    ASSERT_NE(tested, nullptr) << "errno " << rule.error << " has no case here";
    EXPECT_EQ(tested->leftOut, rule.failure == tzrecon::ReadFailure::kLeftOut)
        << strerror(rule.error);
  }
}

TEST(ReadFailureRule, AbsentIsLeftOutAndFailingFailsTheDump) {
  SweepLibrary library;
  const std::string& root = library.lib.root;
  const std::string dumps = library.lib.dir / "dumps";
  const std::string logPath = library.lib.dir / "tzrecon.log";
  for (const ReadTarget& target : kReadTargets) {
    const bool cloud = target.kind == Kind::kCloud;
    const std::string config = library.lib.Config(kMountPathId, cloud ? 7 : 4);
    const std::string path = root + target.path;
    for (const ErrnoCase& c : kErrnoCases) {
      SCOPED_TRACE(std::string(target.name) + ", " + strerror(c.error));
      tztest::RemoveTree(dumps);
      tztest::MakeDirs(dumps);
      unlink(logPath.c_str());
      const tzfault::Env env = {{"LD_PRELOAD", TZFAULT_SHIM},
                                {"TZFAULT_OP", target.op},
                                {"TZFAULT_N", "1"},
                                {"TZFAULT_TIMES", "1000"},
                                {"TZFAULT_ERRNO", std::to_string(c.error)},
                                {"TZFAULT_PATH_SUBSTR", target.substr}};
      const RunResult run = tzfault::RunTzrecon(
          {"dump", "--mount-path-id", std::to_string(kMountPathId), "--copy-id", "7",
           "--dump-dir", dumps, "--config", config, "--log", logPath},
          env, library.lib.dir.path());
      const std::string logText = tzfault::ReadOrEmpty(logPath);
      const bool leftOut = cloud ? c.error == ENOENT || c.error == ENOTDIR : c.leftOut;
      ASSERT_TRUE(run.exited) << run.Describe();
      if (!leftOut) {
        EXPECT_EQ(run.code, 1) << run.Describe() << logText;
        const std::string named = cloud ? "Error :: Cloud store failed on [" + path + "]"
                                        : "Error :: Failed to read [" + path + "], error=";
        EXPECT_NE(logText.find(named), std::string::npos) << logText;
        continue;
      }
      ASSERT_EQ(run.code, 0) << run.Describe() << logText;
      std::vector<Row> rows;
      std::string problem;
      ASSERT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(tzfault::DumpPathOf(run)), rows,
                                     problem))
          << problem;
      std::set<std::pair<int32_t, int32_t>> expected;
      for (const auto& [key, row] : library.plainRows)
        if (key.first != 2 || (!target.wholeVolume && key.second != 6)) expected.insert(key);
      std::set<std::pair<int32_t, int32_t>> got;
      for (const Row& row : rows) got.insert(row.Key());
      EXPECT_EQ(got, expected);
      EXPECT_NE(logText.find(path), std::string::npos) << "the log names what was left out\n"
                                                       << logText;
    }
  }
}

}  // namespace
