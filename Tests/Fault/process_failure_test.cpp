// The dump process itself failing: out of descriptors, killed, or on a file
// system that takes no unnamed files. Whatever happens, nothing incomplete
// is ever found at a dump's name.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FaultSupport.h"
#include "SampleLibrary.h"
#include "TestSupport.h"

using tzfault::LogLine;
using tzfault::Row;
using tzfault::RunResult;

namespace {

constexpr int kMountPathId = 3;

// A library of `volumes` volumes of copy 7 with `chunks` chunks each.
std::set<std::pair<int32_t, int32_t>> Populate(tztest::SampleLibrary& lib, int volumes,
                                               int chunks) {
  std::set<std::pair<int32_t, int32_t>> keys;
  for (int v = 1; v <= volumes; ++v) {
    lib.Volume("V_" + std::to_string(v));
    for (int c = 1; c <= chunks; ++c) {
      lib.Chunk("V_" + std::to_string(v), v, v * 1000 + c, static_cast<uint64_t>(c));
      keys.insert({v, v * 1000 + c});
    }
  }
  return keys;
}

std::vector<std::string> DumpArgs(tztest::SampleLibrary& lib, const std::string& dumps,
                                  const std::string& logPath) {
  return {"dump", "--mount-path-id", std::to_string(kMountPathId), "--copy-id", "7",
          "--dump-dir", dumps, "--config", lib.Config(kMountPathId), "--log", logPath};
}

// The names in `folder` that a dump or its stand-in may take.
std::vector<std::string> DumpNamesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* e = readdir(dir))
    if (std::strstr(e->d_name, "ChunkLister_") != nullptr) names.push_back(e->d_name);
  closedir(dir);
  return names;
}

TEST(ProcessFailures, OutOfDescriptorsNeverGivesADumpWithChunksLeftOut) {
  tztest::SampleLibrary lib;
  const auto keys = Populate(lib, 3, 5);
  const std::string dumps = lib.dir / "dumps";
  const std::string logPath = lib.dir / "tzrecon.log";
  int failedForDescriptors = 0;
  for (long limit = 4; limit <= 40; ++limit) {
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
    tztest::RemoveTree(dumps);
    tztest::MakeDirs(dumps);
    unlink(logPath.c_str());
    const RunResult run =
        tzfault::RunTzrecon(DumpArgs(lib, dumps, logPath), {}, lib.dir.path(), 120, limit);
    ASSERT_TRUE(run.exited) << run.Describe();
    if (run.code == 127) continue;  // the loader could not open tzrecon's libraries
    // The undefined-behaviour sanitizer checks an object's type by reading
    // its memory through a pipe, which a process out of descriptors cannot
    // make: it then takes every object it checks for a wrong one. Such a run
    // says nothing of the dump.
    if (run.err.find("does not point to an object of type") != std::string::npos) continue;
    if (run.code == 0) {
      // Enough descriptors: the whole dump, nothing left out.
      std::vector<Row> rows;
      std::string problem;
      ASSERT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(tzfault::DumpPathOf(run)), rows, problem))
          << problem;
      std::set<std::pair<int32_t, int32_t>> got;
      for (const Row& r : rows) got.insert(r.Key());
      EXPECT_EQ(got, keys) << tzfault::ReadOrEmpty(logPath);
      continue;
    }
    // Too few: tzrecon cannot start (2) or the dump fails (1), saying why.
    EXPECT_TRUE(run.code == 1 || run.code == 2) << run.Describe();
    const std::string said = run.err + tzfault::ReadOrEmpty(logPath);
    EXPECT_NE(said.find(strerror(EMFILE)), std::string::npos) << run.Describe() << said;
    failedForDescriptors += run.code == 1;
  }
  EXPECT_GT(failedForDescriptors, 0) << "no limit let the walk start and then run out";
}

TEST(ProcessFailures, AKilledDumpLeavesNothingAtADumpName) {
  tztest::TempDir dir;
  const std::string root = dir / "lib", config = dir / "registry.json";
  const RunResult made = tzfault::RunTzrecon(
      {"sample", root, "--volumes", "8", "--chunks-per-volume", "2500", "--copy-id", "7",
       "--config-out", config, "--mount-path-id", std::to_string(kMountPathId)},
      {}, dir.path());
  ASSERT_EQ(made.code, 0) << made.Describe();
  const std::string dumps = dir / "dumps";
  const std::string logPath = dir / "tzrecon.log";
  tztest::MakeDirs(dumps);
  const std::vector<std::string> args = {
      "dump", "--mount-path-id", std::to_string(kMountPathId), "--copy-id", "7", "--dump-dir",
      dumps,  "--config",        config,  "--log",       logPath, "--log-level", "2"};
  const pid_t child = tzfault::StartTzrecon(args, {}, dir.path());
  ASSERT_GT(child, 0);
  // Killed once the walk is in its third volume, rows behind it.
  const std::string third = root + "/V_3/";
  bool reached = false;
  std::string seen;  // the log's bytes read so far, from the last line on
  std::ifstream log;
  for (int i = 0; i < 6000 && !reached; ++i) {
    if (!log.is_open()) log.open(logPath, std::ios::binary);
    std::string more((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    log.clear();
    seen = seen.substr(seen.size() - std::min(seen.size(), third.size())) + more;
    reached = seen.find(third) != std::string::npos;
    if (!reached) usleep(2000);
  }
  kill(child, SIGKILL);
  const RunResult run = tzfault::FinishTzrecon(child, dir.path());
  ASSERT_TRUE(reached) << "the walk never reached its third volume\n" << run.Describe();
  ASSERT_FALSE(run.exited) << "the dump ended before it was killed\n" << run.Describe();
  EXPECT_EQ(DumpNamesIn(dumps), std::vector<std::string>{});
}

TEST(ProcessFailures, AFolderWithoutUnnamedFilesGetsAHiddenStandIn) {
  tztest::SampleLibrary lib;
  const auto keys = Populate(lib, 2, 3);
  const std::string dumps = lib.dir / "dumps";
  const std::string logPath = lib.dir / "tzrecon.log";
  tztest::MakeDirs(dumps);
  // The first open in the dump folder is the unnamed file's: refused, as
  // some network and FUSE file systems do.
  const tzfault::Env env = {{"LD_PRELOAD", TZFAULT_SHIM},   {"TZFAULT_OP", "open"},
                            {"TZFAULT_N", "1"},             {"TZFAULT_ERRNO", std::to_string(EOPNOTSUPP)},
                            {"TZFAULT_PATH_SUBSTR", dumps}, {"TZRECON_LOG_LEVEL", "2"}};
  const RunResult run = tzfault::RunTzrecon(DumpArgs(lib, dumps, logPath), env, lib.dir.path());
  ASSERT_EQ(run.code, 0) << run.Describe();
  const std::string logText = tzfault::ReadOrEmpty(logPath);
  const std::string dumpPath = tzfault::DumpPathOf(run);
  const std::string name = dumpPath.substr(dumpPath.rfind('/') + 1);
  EXPECT_NE(logText.find("takes no unnamed file; the dump is written as [" + dumps + "/." + name +
                         ".partial] until it ends"),
            std::string::npos)
      << logText;
  std::vector<Row> rows;
  std::string problem;
  ASSERT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(dumpPath), rows, problem)) << problem;
  EXPECT_EQ(rows.size(), keys.size());
  const std::vector<std::string> names = DumpNamesIn(dumps);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{name, name + ".json"}))
      << "the dump and its record; the stand-in is gone";
}


}  // namespace
