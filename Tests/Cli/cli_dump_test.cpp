// tzrecon sample, then tzrecon dump on it: the dump holds one row per chunk
// that the sample wrote (read back from disk on its own), a failing dump
// shows its failure lines, and progress appears only on a terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "CliTestSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using clitest::Lines;
using clitest::Row;
using clitest::RunCli;

namespace {

const std::string kHeader = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";

// A sample library with its registry, in a folder of its own.
struct Sample {
  tztest::TempDir tmp;
  std::string mountPath = tmp / "mp";
  std::string registry = tmp / "registry.json";

  void Make(std::vector<std::string> options) {
    std::vector<std::string> args = {"sample", mountPath, "--config-out", registry};
    args.insert(args.end(), options.begin(), options.end());
    const clitest::RunResult r = RunCli(args);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
  }
  // A fresh, empty dump folder.
  std::string DumpDir(const std::string& name) {
    const std::string dir = tmp / name;
    tztest::MakeDirs(dir);
    return dir;
  }
  std::vector<std::string> DumpArgs(const std::string& dumpDir, const std::string& copyId,
                                    bool si) {
    std::vector<std::string> a = {"dump",       "--mount-path-id", "4",      "--copy-id", copyId,
                                  "--dump-dir", dumpDir,           "--config", registry};
    if (si) a.push_back("--single-instanced");
    return a;
  }
};

class CliRoundTrip : public testing::TestWithParam<bool> {};

TEST_P(CliRoundTrip, DumpHoldsOneRowPerChunkOfTheSample) {
  const bool si = GetParam();
  Sample sample;
  ASSERT_NO_FATAL_FAILURE(sample.Make({"--volumes", "5", "--chunks-per-volume", si ? "60" : "300",
                                       "--copy-id", "3", "--mount-path-id", "4", "--seed", "11",
                                       si ? "--single-instanced" : "--threads=2"}));

  // What a dump must list, read from the tree itself.
  const std::vector<Row> expected = clitest::ExpectedRows(sample.mountPath, 4, 3, si);
  std::set<int32_t> ids;
  for (const Row& r : expected) ids.insert(r.chunkId);
  EXPECT_EQ(ids.size(), expected.size()) << "chunk ids repeat across volumes";
  if (si) {
    EXPECT_GE(expected.size(), 300u);  // one to three metadata files a chunk
    EXPECT_LE(expected.size(), 900u);
    EXPECT_GT(expected.size(), 300u) << "every chunk has exactly one metadata file";
  } else {
    EXPECT_EQ(expected.size(), 1500u);
    EXPECT_TRUE(std::any_of(expected.begin(), expected.end(),
                            [](const Row& r) { return r.size > (4ULL << 30); }))
        << "no chunk above 4 GiB";
  }

  // The variables are overridden by the options.
  const std::string dumpDir = sample.DumpDir("dumps");
  const std::string log = sample.tmp / "host.log";
  std::vector<std::string> args = sample.DumpArgs(dumpDir, "3", si);
  args.insert(args.end(), {"--log", log, "--log-level", "2"});
  const clitest::RunResult r =
      RunCli(args, {{"TZRECON_CONFIG", sample.tmp / "nowhere.json"},
                 {"TZRECON_LOG", sample.tmp / "other.log"}, {"TZRECON_LOG_LEVEL", "-1"}});
  ASSERT_EQ(r.status, 0) << r.err << tztest::ReadFile(log);
  EXPECT_EQ(r.err, "") << "output on standard error although it is not a terminal";
  EXPECT_FALSE(fs::exists(sample.tmp / "other.log"));
  EXPECT_NE(tztest::ReadFile(log).find(" 2 TzLibVolReconsiliation::GetChunkListerDump "),
            std::string::npos)
      << "--log-level 2 did not reach the host log";

  const std::vector<std::string> out = Lines(r.out);
  ASSERT_GE(out.size(), 2u) << r.out;
  const std::string& dumpFile = out[0];
  EXPECT_EQ(fs::path(dumpFile).parent_path(), fs::path(dumpDir));
  EXPECT_EQ(fs::path(dumpFile).filename().string().rfind("ChunkLister_3_4_", 0), 0u) << dumpFile;
  ASSERT_TRUE(fs::is_regular_file(dumpFile)) << dumpFile;
  const std::vector<Row> dumped = clitest::DumpRows(dumpFile);
  EXPECT_EQ(dumped.size(), expected.size());
  EXPECT_TRUE(dumped == expected) << "the dump's rows differ from the sample's chunks";
  EXPECT_NE(out[1].find(std::to_string(expected.size()) + " rows, " +
                        std::to_string(fs::file_size(dumpFile)) + " bytes"),
            std::string::npos)
      << out[1];

  // Another copy, and the other single-instance mode, match no volume.
  for (const auto& [copyId, mode] : {std::pair<std::string, bool>{"9", si}, {"3", !si}}) {
    const std::string otherDir = sample.DumpDir("dumps-" + copyId + (mode ? "-si" : ""));
    const clitest::RunResult other = RunCli(sample.DumpArgs(otherDir, copyId, mode));
    ASSERT_EQ(other.status, 0) << other.err;
    const std::vector<std::string> lines = Lines(other.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(tztest::ReadFile(lines[0]), kHeader);
    EXPECT_EQ(lines[1].rfind("0 rows, 61 bytes", 0), 0u) << lines[1];
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, CliRoundTrip, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return p.param ? "SingleInstanced" : "Plain";
                         });

TEST(CliDump, FailureShowsTheLogsFailureLinesOnStandardError) {
  tztest::TempDir tmp;
  const std::string registry = tmp / "registry.json";
  tztest::WriteFile(registry, "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + tmp.path() + "\"}]}");
  const std::string log = tmp / "host.log";
  // A failure of an earlier run must not be shown again.
  const std::string earlier =
      "2020-01-01T00:00:00.000000Z 1 1 -1 Earlier::Run an earlier failure\n";
  tztest::WriteFile(log, earlier);

  const clitest::RunResult r =
      RunCli({"dump", "--mount-path-id", "99", "--copy-id", "1", "--dump-dir", tmp.path(),
           "--config", registry, "--log", log, "--log-level", "2"},
          {{"TZRECON_LOG", tmp / "other.log"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(fs::exists(tmp / "other.log"));

  const std::string text = tztest::ReadFile(log);
  ASSERT_EQ(text.rfind(earlier, 0), 0u);
  int failures = 0;
  for (const std::string& line : Lines(text.substr(earlier.size()))) {
    // "<time> <pid> <tid> <level> <tag> <message>"
    std::istringstream fields(line);
    std::string time, pid, tid, level;
    fields >> time >> pid >> tid >> level;
    if (level == "-1") {
      ++failures;
      EXPECT_NE(r.err.find(line), std::string::npos) << "not shown: " << line << "\n" << r.err;
    } else {
      EXPECT_EQ(r.err.find(line), std::string::npos) << "level " << level << " shown: " << line;
    }
  }
  EXPECT_GE(failures, 1) << text;
  EXPECT_NE(r.err.find("Failed to fetch mountpath ID - [99]"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("an earlier failure"), std::string::npos) << r.err;
}

TEST(CliDump, FlagsWithoutTheChunkListerWriteNoDumpFile) {
  tztest::TempDir tmp;
  const std::string registry = tmp / "registry.json";
  tztest::WriteFile(registry, "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + tmp.path() + "\"}]}");
  const std::string dumpDir = tmp / "dumps";
  tztest::MakeDirs(dumpDir);
  const clitest::RunResult r = RunCli({"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir",
                                    dumpDir, "--config", registry, "--flags", "12"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find(".csv"), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(dumpDir));
}

TEST(CliDump, ProgressOnATerminalCountsTheRows) {
  Sample sample;
  ASSERT_NO_FATAL_FAILURE(
      sample.Make({"--volumes", "3", "--chunks-per-volume", "400", "--mount-path-id", "4"}));
  const std::string dumpDir = sample.DumpDir("dumps");
  std::vector<std::string> args = sample.DumpArgs(dumpDir, "1", false);
  args.insert(args.end(), {"--log", sample.tmp / "host.log"});
  const clitest::RunResult r = clitest::RunOnTerminal(args);
  ASSERT_EQ(r.status, 0) << r.err;
  // The status line is rewritten in place; the last one, written when the
  // dump has ended, counts the rows of the file.
  EXPECT_NE(r.err.find("\rtzrecon: 1200 chunks written, "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1200 rows"), std::string::npos) << r.err;
}

}  // namespace
