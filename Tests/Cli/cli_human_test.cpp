// Numbers for people: sizes in binary units, the status line's totals and
// ETA, and the progress a child sends its parent; and what --human changes
// on the command line (the summaries) and what it leaves alone (--json, and
// every output on a pipe without it). Also diff's standard input.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "CliTestSupport.h"
#include "DumpProgress.h"
#include "Human.h"
#include "TestSupport.h"

namespace {

TEST(CliHuman, SizesInBinaryUnitsBesideTheBytes) {
  const struct {
    uint64_t bytes;
    const char* binary;
    const char* text;  // SizeText with human sizes
  } cases[] = {
      {0, "0 bytes", "0 bytes"},
      {1, "1 bytes", "1 bytes"},
      {1023, "1023 bytes", "1023 bytes"},
      {1024, "1.0 KiB", "1.0 KiB (1024 bytes)"},
      {231549, "226.1 KiB", "226.1 KiB (231549 bytes)"},
      {1048575, "1.0 MiB", "1.0 MiB (1048575 bytes)"},  // never "1024.0 KiB"
      {42223732691, "39.3 GiB", "39.3 GiB (42223732691 bytes)"},
      {17975582445120, "16.3 TiB", "16.3 TiB (17975582445120 bytes)"},
      {UINT64_MAX, "16.0 EiB", "16.0 EiB (18446744073709551615 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(tzcli::BinarySize(c.bytes), c.binary);
    tzcli::SetHumanSizes(true);
    EXPECT_EQ(tzcli::SizeText(c.bytes), c.text);
    tzcli::SetHumanSizes(false);
    EXPECT_EQ(tzcli::SizeText(c.bytes), std::to_string(c.bytes) + " bytes");
  }
  tzcli::SetHumanSizes(true);
  EXPECT_EQ(tzcli::HumanKindText("missing", 3, true, 2048, false, 0), "3 missing: 2.0 KiB (2048 bytes)");
  EXPECT_EQ(tzcli::HumanKindText("new", 1, false, 0, true, 10), "1 new: 10 bytes");
  EXPECT_EQ(tzcli::HumanKindText("changed", 2, true, 1024, true, 5),
            "2 changed: 1.0 KiB (1024 bytes) in OLD, 5 bytes in NEW");
  tzcli::SetHumanSizes(false);
  for (const auto& [seconds, text] : {std::pair<double, const char*>{0, "0:00"}, {-3, "0:00"},
                                      {42.4, "0:42"}, {725, "12:05"}, {3723, "1:02:03"}})
    EXPECT_EQ(tzcli::ClockDuration(seconds), text) << seconds;
}

TEST(CliHuman, StatusLineWithAndWithoutATotal) {
  tzcli::ProgressState s;
  s.volumes = 12;
  s.chunks = 6000;
  // Before the root is listed: the line of old.
  EXPECT_EQ(tzcli::ProgressText(s, 2, false), "12 volumes, 6000 chunks, 3000 chunks/s, 2.0 s");
  s.total = 40;
  s.done = 11.5;
  EXPECT_EQ(tzcli::ProgressText(s, 2, false),
            "11 of 40 volumes (28%), 6000 chunks, 3000 chunks/s, 2.0 s, ETA 0:05");
  EXPECT_EQ(tzcli::ProgressText(s, 2, true), "11 of 40 volumes (28%), 6000 chunks, 3000 chunks/s, 2.0 s");
  s.done = 0;  // nothing done yet: no ETA
  EXPECT_EQ(tzcli::ProgressText(s, 2, false), "0 of 40 volumes (0%), 6000 chunks, 3000 chunks/s, 2.0 s");

  // What a child sends its parent reads back; anything else is not taken.
  s.done = 11.5;
  tzcli::ProgressState back;
  std::string line = tzcli::FeedLine(s);
  ASSERT_EQ(line.back(), '\n');
  line.pop_back();
  ASSERT_TRUE(tzcli::ReadFeedLine(line, &back)) << line;
  EXPECT_EQ(back.volumes, 12u);
  EXPECT_EQ(back.chunks, 6000u);
  EXPECT_EQ(back.total, 40u);
  EXPECT_DOUBLE_EQ(back.done, 11.5);
  for (const char* bad : {"", "1 2 3", "1 2 3 x", "1 2 3 4.0 5", "a 2 3 4"})
    EXPECT_FALSE(tzcli::ReadFeedLine(bad, &back)) << bad;
}

// A sample of 3 volumes, and a dump command line on it.
struct HumanSample {
  tztest::TempDir tmp;
  std::vector<std::string> Dump(const std::string& dir, std::vector<std::string> extra) {
    tztest::MakeDirs(tmp / dir);
    std::vector<std::string> args = {"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir",
                                     tmp / dir, "--config", tmp / "registry.json"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  HumanSample() {
    const clitest::RunResult r = clitest::RunCli(
        {"sample", tmp / "lib", "--volumes", "3", "--chunks-per-volume", "40", "--config-out",
         tmp / "registry.json"});
    EXPECT_EQ(r.status, 0) << r.err;
  }
};

TEST(CliHuman, HumanChangesTheSummaryOnlyAndJsonNever) {
  HumanSample sample;
  const std::regex plain("^[^\n]+\\.csv\n120 rows, ([0-9]+) bytes, [0-9.]+ s \\(mount path 1, copy 1\\)\n$");
  const std::regex human(
      "^[^\n]+\\.csv\n120 rows, [0-9]+\\.[0-9] KiB \\(([0-9]+) bytes\\), [0-9.]+ s \\(mount path 1, "
      "copy 1\\); the chunks hold [0-9]+\\.[0-9] [KMGT]iB \\([0-9]+ bytes\\)\n$");
  const clitest::RunResult onPipe = clitest::RunCli(sample.Dump("a", {}));
  ASSERT_EQ(onPipe.status, 0) << onPipe.err;
  EXPECT_TRUE(std::regex_match(onPipe.out, plain)) << onPipe.out;
  const clitest::RunResult asked = clitest::RunCli(sample.Dump("b", {"--human"}));
  ASSERT_EQ(asked.status, 0) << asked.err;
  EXPECT_TRUE(std::regex_match(asked.out, human)) << asked.out;

  // --json is the same object with --human: byte counts, no units.
  const clitest::RunResult json = clitest::RunCli(sample.Dump("c", {"--json"}));
  const clitest::RunResult jsonHuman = clitest::RunCli(sample.Dump("d", {"--json", "--human"}));
  ASSERT_EQ(json.status, 0);
  ASSERT_EQ(jsonHuman.status, 0);
  nlohmann::json a = nlohmann::json::parse(json.out), b = nlohmann::json::parse(jsonHuman.out);
  for (const char* differs : {"dumpFile", "seconds", "log", "record"}) {
    a.erase(differs);
    b.erase(differs);
  }
  EXPECT_EQ(a, b);
  EXPECT_EQ(jsonHuman.out.find("KiB"), std::string::npos) << jsonHuman.out;
  EXPECT_TRUE(a.at("chunkBytes").is_number_unsigned()) << json.out;

  // --all-mount-paths: the table's bytes column.
  tztest::MakeDirs(sample.tmp / "e");
  const clitest::RunResult table =
      clitest::RunCli({"dump", "--all-mount-paths", "--copy-id", "1", "--dump-dir", sample.tmp / "e",
                       "--config", sample.tmp / "registry.json", "--human"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_TRUE(std::regex_search(table.out, std::regex("\n +1  disk   done  +120  +[0-9]+\\.[0-9] KiB ")))
      << table.out;
}

// diff reads "-" as standard input, a pipe or a file, as OLD or NEW, and
// finds what it finds in the files themselves.
TEST(CliDiffStandardInput, ReadsAsTheFileWould) {
  tztest::TempDir tmp;
  const std::string header = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
  tztest::WriteFile(tmp / "old.csv", header + "1, 2, 3, 100, 0\r\n1, 2, 4, 7, 0\r\n");
  tztest::WriteFile(tmp / "new.csv", header + "1, 2, 3, 101, 0\r\n1, 2, 5, 9, 1\r\n");
  const std::string bin = TZRECON_BIN;
  const clitest::RunResult files =
      clitest::RunCli({"diff", tmp / "old.csv", tmp / "new.csv", "--output", tmp / "files.out"});
  ASSERT_EQ(files.status, 1) << files.err;
  const struct {
    const char* name;
    std::string command;
  } cases[] = {
      {"OLD from a pipe", "cat '" + tmp / "old.csv" + "' | '" + bin + "' diff - '" + tmp / "new.csv" + "'"},
      {"NEW from a file", "'" + bin + "' diff '" + tmp / "old.csv" + "' - < '" + tmp / "new.csv" + "'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string out = tmp / "stdin.out";
    const int status = system(("bash -c \"" + c.command + " --output '" + out + "' 2> '" + tmp / "err" + "'\"").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1) << tztest::ReadFile(tmp / "err");
    EXPECT_EQ(tztest::ReadFile(out), tztest::ReadFile(tmp / "files.out"));
    EXPECT_NE(tztest::ReadFile(tmp / "err").find(" -: 2 rows, mount path id 1 (completeness unknown: "
                                                 "no record)"),
              std::string::npos)
        << tztest::ReadFile(tmp / "err");
    std::remove(out.c_str());
  }
}

}  // namespace
