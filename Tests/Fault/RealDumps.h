// The dumps of the real-fault tests: one dump of a sample library through
// tzrecon in a child process, held to what every dump must satisfy whatever
// the tree looks like, and what the tests read from it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "FaultSupport.h"
#include "SampleLibrary.h"
#include "TestSupport.h"

namespace tzfault {

inline constexpr int kMountPathId = 3;

struct Dumped {
  RunResult run;
  std::vector<Row> rows;  // a true result's rows
  std::vector<LogLine> log;
  std::string logText;
};

// Runs one dump of `lib` through tzrecon and checks what every dump must
// satisfy, whatever the tree looks like.
inline Dumped DumpOf(tztest::SampleLibrary& lib, bool cloud, bool singleInstanced = false,
              const std::string& root = "", int logLevel = 1) {
  Dumped d;
  const std::string dumps = lib.dir / "dumps";
  const std::string logPath = lib.dir / "tzrecon.log";
  tztest::RemoveTree(dumps);
  tztest::MakeDirs(dumps);
  unlink(logPath.c_str());
  std::vector<std::string> args = {"dump", "--mount-path-id", std::to_string(kMountPathId),
                                   "--copy-id", "7", "--dump-dir", dumps,
                                   "--config", lib.Config(kMountPathId, cloud ? 7 : 4, root),
                                   "--log", logPath, "--log-level", std::to_string(logLevel)};
  if (singleInstanced) args.push_back("--single-instanced");
  d.run = tzfault::RunTzrecon(args, {}, lib.dir.path());
  d.logText = tzfault::ReadOrEmpty(logPath);
  EXPECT_TRUE(tzfault::EndedCleanly(d.run)) << d.run.Describe();
  std::string problem;
  EXPECT_TRUE(tzfault::ParseLog(d.logText, d.log, problem)) << problem;
  if (d.run.exited && d.run.code == 1) {
    bool announced = false;
    for (const LogLine& l : d.log) announced |= l.level == -1;
    EXPECT_TRUE(announced) << "a false result without a level -1 message\n" << d.logText;
  } else if (d.run.exited && d.run.code == 0) {
    EXPECT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(tzfault::DumpPathOf(d.run)), d.rows,
                                   problem))
        << problem;
  }
  return d;
}

inline bool Logged(const Dumped& d, const std::string& tag, const std::string& messageStart) {
  for (const LogLine& l : d.log)
    if (l.level == -1 && l.tag == tag && l.message.rfind(messageStart, 0) == 0) return true;
  return false;
}

inline std::multiset<std::string> Texts(const std::vector<Row>& rows) {
  std::multiset<std::string> texts;
  for (const Row& r : rows) texts.insert(r.Text());
  return texts;
}

inline std::string RowText(int32_t volume, int32_t chunk, uint64_t size, int si = 0) {
  return Row{kMountPathId, volume, chunk, size, si}.Text();
}

}  // namespace tzfault
