// tzrecon diff OLD_DIR NEW_DIR: the names of dumps, then the command end to
// end on folders of hand-made dumps and records: which dump of a mount path
// is taken (newest complete; failed, disagreeing and unrecorded dumps), each
// case's table, JSON and diff files (the bytes of a single diff of the
// pair), the same with 1 and 4 jobs, exit statuses, refusals, and a stop
// signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "CliTestSupport.h"
#include "DumpPairing.h"
#include "DumpRecord.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using clitest::Lines;
using clitest::RunCli;
using nlohmann::json;

namespace {

// ---- Dump names. ----

struct NameCase {
  const char* name;
  bool ok;
  int32_t copyId, mountPathId;
  uint64_t time;
};

const NameCase kNameCases[] = {
    {"ChunkLister_7_1_1796718983.csv", true, 7, 1, 1796718983},
    {"ChunkLister_-3_-2147483648_0.csv", true, -3, INT32_MIN, 0},
    {"ChunkLister_2147483647_9_4294967295.csv", true, INT32_MAX, 9, 4294967295u},
    {"ChunkLister_7_1_1796718983.csv.json", false, 0, 0, 0},   // a record
    {".ChunkLister_7_1_1796718983.csv.partial", false, 0, 0, 0},
    {"ChunkLister_7_1.csv", false, 0, 0, 0},
    {"ChunkLister_7_1_5_6.csv", false, 0, 0, 0},
    {"ChunkLister_7_1_-5.csv", false, 0, 0, 0},
    {"ChunkLister__1_5.csv", false, 0, 0, 0},
    {"ChunkLister_2147483648_1_5.csv", false, 0, 0, 0},
    {"ChunkLister_+7_1_5.csv", false, 0, 0, 0},
    {"ChunkDiff_7_1.csv", false, 0, 0, 0},
};

TEST(DumpPairing, ReadsDumpNamesOnly) {
  for (const NameCase& c : kNameCases) {
    tzcli::DumpName n;
    n.copyId = 99;
    EXPECT_EQ(tzcli::ParseDumpName(c.name, &n), c.ok) << c.name;
    if (!c.ok) {
      EXPECT_EQ(n.copyId, 99) << c.name << ": changed on failure";
      continue;
    }
    EXPECT_EQ(n.copyId, c.copyId) << c.name;
    EXPECT_EQ(n.mountPathId, c.mountPathId) << c.name;
    EXPECT_EQ(n.time, c.time) << c.name;
  }
}

// ---- The command on folders of hand-made dumps. ----

const std::string kHeader = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";

// The rows of a dump: "A" the reference, "B" one size changed, "C" one chunk
// missing and one new, "M" not a dump at all.
std::string DumpText(char variant, int mp) {
  const std::string m = std::to_string(mp);
  std::vector<std::string> rows = {m + ", 1, 1, 100, 0", m + ", 1, 2, 200, 0", m + ", 2, 3, 300, 0"};
  if (variant == 'B') rows[1] = m + ", 1, 2, 201, 0";
  if (variant == 'C') {
    rows.pop_back();
    rows.push_back(m + ", 2, 4, 400, 1");
  }
  if (variant == 'M') return "not a dump\r\n";
  std::string text = kHeader;
  for (const std::string& r : rows) text += r + "\r\n";
  return text;
}

// kSameSize: a record of other bytes of the same size, which only the
// diff's SHA-256 tells from the file.
enum Record { kComplete, kFailed, kDisagrees, kSameSize, kNone };

struct DumpSpec {
  int side;  // 0 OLD, 1 NEW
  int32_t copy, mp;
  uint64_t time;
  char variant;
  Record record;
};

struct Expected {
  int32_t copy, mp;
  const char* outcome;
  uint64_t oldTime, newTime;  // of the dumps taken; 0: none
  const char* completeness;   // the table's column
  int missing, added, changed;  // -1: no counts
};

struct FolderCase {
  const char* name;
  std::vector<DumpSpec> dumps;
  std::vector<Expected> pairs;
  int status;
  std::vector<const char*> notes;  // in the output after the table
};

const FolderCase kFolderCases[] = {
    {"AllSame",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'A', kComplete},
      {0, 7, 2, 100, 'C', kComplete}, {1, 7, 2, 200, 'C', kComplete}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}, {7, 2, "same", 100, 200, "complete", 0, 0, 0}},
     0, {}},
    {"OneDiffers",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'B', kComplete},
      {0, 7, 2, 100, 'A', kComplete}, {1, 7, 2, 200, 'C', kComplete}},
     {{7, 1, "different", 100, 200, "complete", 0, 0, 1}, {7, 2, "different", 100, 200, "complete", 1, 1, 0}},
     1, {}},
    {"OnlyInOld",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'A', kComplete}, {0, 7, 3, 100, 'A', kComplete}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}, {7, 3, "only in OLD", 100, 0, "complete", -1, -1, -1}},
     1, {}},
    {"OnlyInNew",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'A', kComplete}, {1, 7, 4, 200, 'A', kNone}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}, {7, 4, "only in NEW", 0, 200, "NEW unknown", -1, -1, -1}},
     1, {"copy 7, mount path 4: NEW "}},
    {"NewestCompleteTaken",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'B', kComplete}, {1, 7, 1, 300, 'A', kComplete},
      {1, 7, 1, 250, 'C', kComplete}},
     {{7, 1, "same", 100, 300, "complete", 0, 0, 0}}, 0, {}},
    {"FailedPassedOverForOlderComplete",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 300, 'C', kFailed}, {1, 7, 1, 200, 'A', kComplete}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}}, 0,
     {"copy 7, mount path 1: passed over NEW ", "says the dump failed"}},
    {"DisagreeingPassedOverForOlderComplete",
     {{0, 7, 1, 300, 'B', kDisagrees}, {0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'A', kComplete}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}}, 0,
     {"copy 7, mount path 1: passed over OLD ", "bytes, its record says"}},
    {"SameSizeOtherBytesPassedOverByTheDiff",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 300, 'C', kSameSize}, {1, 7, 1, 200, 'A', kComplete}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}}, 0,
     {"copy 7, mount path 1: passed over NEW ", "the file's SHA-256 is not its record's"}},
    {"FailedWithoutCompleteIsReported",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 300, 'A', kFailed}, {0, 7, 2, 100, 'A', kComplete},
      {1, 7, 2, 200, 'A', kComplete}},
     {{7, 1, "failed", 100, 0, "complete", -1, -1, -1}, {7, 2, "same", 100, 200, "complete", 0, 0, 0}},
     2, {"passed over NEW "}},
    {"UnrecordedTakenWhenNoneComplete",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 300, 'B', kNone}, {1, 7, 1, 400, 'A', kFailed}},
     {{7, 1, "different", 100, 300, "NEW unknown", 0, 0, 1}}, 1,
     {"NEW ", "has no record: completeness unknown", "passed over NEW "}},
    {"UnrecordedPassedOverForComplete",
     {{0, 7, 1, 100, 'A', kNone}, {1, 7, 1, 300, 'C', kNone}, {1, 7, 1, 200, 'A', kComplete}},
     {{7, 1, "same", 100, 200, "OLD unknown", 0, 0, 0}}, 0,
     {"no record, and a complete dump is there"}},
    {"CopiesAreApart",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'A', kComplete}, {0, 8, 1, 100, 'A', kNone},
      {1, 8, 1, 200, 'B', kNone}},
     {{7, 1, "same", 100, 200, "complete", 0, 0, 0}, {8, 1, "different", 100, 200, "both unknown", 0, 0, 1}},
     1, {}},
    {"PairWithBadInputFails",
     {{0, 7, 1, 100, 'A', kComplete}, {1, 7, 1, 200, 'M', kNone}, {0, 7, 2, 100, 'A', kComplete},
      {1, 7, 2, 200, 'B', kComplete}},
     {{7, 1, "failed", 100, 200, "NEW unknown", -1, -1, -1}, {7, 2, "different", 100, 200, "complete", 0, 0, 1}},
     2, {}},
};

void PrintTo(const FolderCase& c, std::ostream* os) { *os << c.name; }

std::string DumpName(int32_t copy, int32_t mp, uint64_t time) {
  return "ChunkLister_" + std::to_string(copy) + "_" + std::to_string(mp) + "_" +
         std::to_string(time) + ".csv";
}

// Two folders of dumps, and their records as tzrecon dump writes them.
struct Folders {
  tztest::TempDir tmp;
  std::string dirs[2] = {tmp / "old", tmp / "new"};

  Folders() {
    tztest::MakeDirs(dirs[0]);
    tztest::MakeDirs(dirs[1]);
  }
  std::string Path(int side, int32_t copy, int32_t mp, uint64_t time) const {
    return dirs[side] + "/" + DumpName(copy, mp, time);
  }
  void Add(const DumpSpec& d) const {
    const std::string path = Path(d.side, d.copy, d.mp, d.time);
    const std::string text = DumpText(d.variant, d.mp);
    tztest::WriteFile(path, text);
    if (d.record == kNone) return;
    // A record that disagrees was written for another content.
    std::string otherText = text + std::to_string(d.mp) + ", 9, 9, 9, 0\r\n";
    if (d.record == kSameSize) otherText = text.substr(0, text.size() - 6) + "1, 0\r\n";
    tztest::WriteFile(tmp / "other", otherText);
    const bool other = d.record == kDisagrees || d.record == kSameSize;
    const tzcli::FileDigest digest = tzcli::DigestFile(other ? tmp / "other" : path);
    ASSERT_TRUE(digest.ok) << digest.error;
    const json record = {{"ok", d.record != kFailed}, {"rows", digest.rows}, {"bytes", digest.bytes},
                         {"sha256", digest.sha256}};
    tztest::WriteFile(tzcli::RecordPath(path), record.dump());
  }
  clitest::RunResult Diff(const std::string& out, std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"diff", dirs[0], dirs[1], "--output", out};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunCli(args);
  }
};

// The files a folder holds, by name, with their contents.
std::map<std::string, std::string> Contents(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    files[e.path().filename().string()] = tztest::ReadFile(e.path().string());
  return files;
}

class CliDiffFolders : public testing::TestWithParam<FolderCase> {};

TEST_P(CliDiffFolders, PairsTakeTheRightDumpsAndGiveTheSingleDiffs) {
  const FolderCase& c = GetParam();
  Folders f;
  for (const DumpSpec& d : c.dumps) ASSERT_NO_FATAL_FAILURE(f.Add(d));
  // Each expected diff file, made by a single diff of the pair.
  std::map<std::string, std::string> expectedFiles;
  for (const Expected& e : c.pairs) {
    if (e.missing < 0) continue;
    const std::string name = "ChunkDiff_" + std::to_string(e.copy) + "_" + std::to_string(e.mp) + ".csv";
    const clitest::RunResult single =
        RunCli({"diff", f.Path(0, e.copy, e.mp, e.oldTime), f.Path(1, e.copy, e.mp, e.newTime), "--output",
                f.tmp / "single.csv"});
    ASSERT_EQ(single.status, std::string(e.outcome) == "same" ? 0 : 1) << single.err;
    expectedFiles[name] = tztest::ReadFile(f.tmp / "single.csv");
    fs::remove(f.tmp / "single.csv");
  }

  std::string jsonOut[2];
  std::map<std::string, std::string> filesOut[2];
  for (int run = 0; run < 2; ++run) {
    const std::string jobs = run == 0 ? "1" : "4";
    SCOPED_TRACE("--jobs " + jobs);
    const std::string out = f.tmp / ("out" + jobs);
    const clitest::RunResult r = f.Diff(out, {"--json", "--jobs", jobs});
    EXPECT_EQ(r.status, c.status) << r.err << r.out;
    const json array = json::parse(r.out);
    ASSERT_EQ(array.size(), c.pairs.size()) << r.out;
    for (size_t i = 0; i < c.pairs.size(); ++i) {
      const Expected& e = c.pairs[i];
      const json& j = array[i];
      SCOPED_TRACE(j.dump());
      EXPECT_EQ(j["copyId"], e.copy);
      EXPECT_EQ(j["mountPathId"], e.mp);
      EXPECT_EQ(j["outcome"], e.outcome);
      EXPECT_EQ(j["oldFile"], e.oldTime ? json(f.Path(0, e.copy, e.mp, e.oldTime)) : json());
      EXPECT_EQ(j["newFile"], e.newTime ? json(f.Path(1, e.copy, e.mp, e.newTime)) : json());
      const auto count = [](int n) { return n < 0 ? json() : json(n); };
      EXPECT_EQ(j["missing"], count(e.missing));
      EXPECT_EQ(j["new"], count(e.added));
      EXPECT_EQ(j["changed"], count(e.changed));
      EXPECT_EQ(j["error"].is_null(), std::string(e.outcome) != "failed");
      if (std::string(e.outcome) == "failed") {
        EXPECT_NE(r.err.find(j["error"].get<std::string>()), std::string::npos);
      }
      EXPECT_EQ(j["diffFile"].is_null(), e.missing < 0);
      if (e.missing >= 0) {
        EXPECT_EQ(j["summary"]["output"], j["diffFile"]);
      }
    }
    // The diffs' own measures (memory, time of each phase) vary from run to run.
    json stable = array;
    for (json& pair : stable) {
      if (!pair.contains("summary") || !pair["summary"].is_object()) continue;
      pair["summary"].erase("memory");
      pair["summary"].erase("phaseSeconds");
    }
    jsonOut[run] = stable.dump();
    filesOut[run] = Contents(out);
    EXPECT_EQ(filesOut[run], expectedFiles) << "the diff files, and nothing else";
    // Written under --jobs 1 and 4 alike, but for the folder's name.
    const std::string folder = out + "/";
    for (size_t at; (at = jsonOut[run].find(folder)) != std::string::npos;)
      jsonOut[run].replace(at, folder.size(), "OUT/");
  }
  EXPECT_EQ(jsonOut[0], jsonOut[1]);

  // The table: a header, a row per pair, the notes, a count.
  const clitest::RunResult table = f.Diff(f.tmp / "table");
  EXPECT_EQ(table.status, c.status) << table.err;
  const std::vector<std::string> lines = Lines(table.out);
  ASSERT_GE(lines.size(), c.pairs.size() + 2) << table.out;
  EXPECT_NE(lines[0].find("copy  mount path  outcome"), std::string::npos) << lines[0];
  for (size_t i = 0; i < c.pairs.size(); ++i) {
    const Expected& e = c.pairs[i];
    std::istringstream row(lines[i + 1]);
    std::string copy, mp, outcome;
    row >> copy >> mp >> outcome;
    std::string word;
    for (size_t n = std::count(e.outcome, e.outcome + strlen(e.outcome), ' '); n > 0; --n) {
      row >> word;
      outcome += " " + word;
    }
    EXPECT_EQ(copy, std::to_string(e.copy));
    EXPECT_EQ(mp, std::to_string(e.mp));
    EXPECT_EQ(outcome, e.outcome);
    EXPECT_NE(lines[i + 1].find("  " + std::string(e.completeness) + "  "), std::string::npos) << lines[i + 1];
  }
  for (const char* note : c.notes)
    EXPECT_NE(table.out.find(note), std::string::npos) << note << "\n" << table.out;
  EXPECT_EQ(lines.back().find(std::to_string(c.pairs.size()) + " mount paths: "), 0u) << lines.back();
}

INSTANTIATE_TEST_SUITE_P(Cases, CliDiffFolders, testing::ValuesIn(kFolderCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Refusals: bad input is status 2, and nothing is written. ----

TEST(CliDiffFolders, AnExistingDiffFileIsNeverWrittenOver) {
  Folders f;
  for (int32_t mp : {1, 2}) {
    f.Add({0, 7, mp, 100, 'A', kComplete});
    f.Add({1, 7, mp, 200, 'B', kComplete});
  }
  const std::string out = f.tmp / "out";
  tztest::MakeDirs(out);
  tztest::WriteFile(out + "/ChunkDiff_7_2.csv", "kept\n");
  const clitest::RunResult r = f.Diff(out);
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("holds " + out + "/ChunkDiff_7_2.csv already; give a new folder"), std::string::npos)
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Contents(out), (std::map<std::string, std::string>{{"ChunkDiff_7_2.csv", "kept\n"}}));
  // A second run into the folder of a first is refused whole.
  const std::string again = f.tmp / "again";
  EXPECT_EQ(f.Diff(again).status, 1);
  const auto first = Contents(again);
  EXPECT_EQ(first.size(), 2u);
  const clitest::RunResult second = f.Diff(again, {"--json"});
  EXPECT_EQ(second.status, 2);
  EXPECT_NE(second.err.find("and 1 more diff files already"), std::string::npos) << second.err;
  EXPECT_EQ(Contents(again), first);
}

TEST(CliDiffFolders, BadInputGivesStatus2) {
  Folders f;
  f.Add({0, 7, 1, 100, 'A', kComplete});
  f.Add({1, 7, 1, 200, 'A', kComplete});
  const std::string empty = f.tmp / "empty", file = f.tmp / "file";
  tztest::MakeDirs(empty);
  tztest::WriteFile(empty + "/ChunkLister_7_1_100.csv.json", "{}");  // a record alone is no dump
  tztest::WriteFile(file, "");
  const std::string out = f.tmp / "out";
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"diff", f.dirs[0], empty, "--output", out}, "NEW '"},
      {{"diff", empty, f.dirs[1], "--output", out}, "' holds no dump file (ChunkLister_"},
      {{"diff", f.dirs[0], f.dirs[1]}, "two folders need --output OUT_DIR"},
      {{"diff", f.dirs[0], f.dirs[1], "--output", file}, "' is not a folder"},
      {{"diff", f.dirs[0], f.dirs[1], "--output", file + "/sub"}, "cannot make the folder: Not a directory"},
      {{"diff", f.dirs[0], f.dirs[1], "--output", out, "--allow-incomplete"},
       "--allow-incomplete goes with two dump files"},
      {{"diff", f.dirs[0], f.dirs[1], "--output", out, "--jobs", "0"}, "--jobs: '0' is out of range (1 to 256)"},
      {{"diff", f.dirs[0], f.dirs[1], "--output", out, "--jobs", "257"}, "out of range"},
      {{"diff", f.dirs[0], f.dirs[1], f.dirs[1], "--output", out}, "unexpected argument"},
      {{"diff", f.Path(0, 7, 1, 100), f.Path(1, 7, 1, 200), "--jobs", "2"},
       "is not a folder: --jobs goes with two folders"},
  };
  for (const auto& c : cases) {
    const clitest::RunResult r = RunCli(c.args);
    EXPECT_EQ(r.status, 2) << c.message << ": " << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << c.message;
  }
  EXPECT_FALSE(fs::exists(out)) << "made before the inputs were known good";
  // A folder that cannot be listed (by a user who may not read it).
  const std::string closed = f.tmp / "closed";
  tztest::MakeDirs(closed);
  tztest::GiveToUnprivileged(f.tmp.path());
  chmod(closed.c_str(), 0300);
  const std::string command = std::string(TZRECON_BIN) + " diff '" + f.dirs[0] + "' '" + closed +
                              "' --output '" + out + "' 2> '" + (f.tmp / "err") + "'";
  const tztest::ChildRun denied = tztest::RunUnprivileged([&] {
    const int status = system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  });
  EXPECT_EQ(denied.exitCode, 2) << denied.output;
  EXPECT_NE(tztest::ReadFile(f.tmp / "err").find("NEW '" + closed + "': cannot list: Permission denied"),
            std::string::npos)
      << tztest::ReadFile(f.tmp / "err");
  // Files are still the single diff's, and --help tells of both.
  EXPECT_EQ(RunCli({"diff", f.Path(0, 7, 1, 100), f.Path(1, 7, 1, 200)}).status, 0);
  const clitest::RunResult help = RunCli({"diff", f.dirs[0], f.dirs[1], "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("tzrecon diff OLD_DIR NEW_DIR --output OUT_DIR [--jobs N] [--json]"),
            std::string::npos);
  EXPECT_NE(help.out.find("--jobs N"), std::string::npos);
}

// ---- A stop signal: passed on to the running diffs, no partial file left. ----

TEST(CliDiffFoldersSignals, SigtermStopsEveryDiffAndLeavesNoPartialFile) {
  Folders f;
  // Eight pairs of large dumps (links to one pair of files), two at a time.
  const std::string oldFile = f.tmp / "old.csv", newFile = f.tmp / "new.csv";
  for (const auto& [file, extra] : {std::make_pair(oldFile, std::vector<std::string>{}),
                                    std::make_pair(newFile, std::vector<std::string>{"--changes", "1"})}) {
    std::vector<std::string> args = {"sample", "--dump-only", file, "--rows", "3000000", "--seed", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    const clitest::RunResult made = RunCli(args);
    ASSERT_EQ(made.status, 0) << made.err;
  }
  for (int32_t mp = 1; mp <= 8; ++mp) {
    fs::create_hard_link(oldFile, f.Path(0, 1, mp, 100));
    fs::create_hard_link(newFile, f.Path(1, 1, mp, 200));
  }
  const std::string out = f.tmp / "out";
  const pid_t pid = clitest::StartCli({"diff", f.dirs[0], f.dirs[1], "--output", out, "--jobs", "2", "--json"},
                                      f.tmp / "stdout", f.tmp / "stderr");
  ASSERT_GT(pid, 0);
  std::vector<pid_t> children;
  ASSERT_TRUE(clitest::WaitUntil([&] {
    children = clitest::ChildrenOf(pid);
    return children.size() == 2;
  }));
  kill(pid, SIGTERM);
  EXPECT_EQ(clitest::WaitCli(pid), 128 + SIGTERM);
  EXPECT_TRUE(clitest::WaitUntil(
      [&] { return std::all_of(children.begin(), children.end(), clitest::Ended); }));
  const json array = json::parse(tztest::ReadFile(f.tmp / "stdout"));
  ASSERT_EQ(array.size(), 8u);
  size_t interrupted = 0;
  for (const json& j : array) {
    if (j["outcome"] == "interrupted") {
      ++interrupted;
      EXPECT_EQ(j["interrupted"], "SIGTERM");
      EXPECT_TRUE(j["diffFile"].is_null());
    } else {
      EXPECT_EQ(j["outcome"], "different") << j.dump();  // ended before the signal
    }
  }
  EXPECT_GE(interrupted, 6u);
  // Only whole diff files are left: no hidden partial file.
  for (const auto& [name, text] : Contents(out)) {
    EXPECT_NE(name[0], '.') << name;
    EXPECT_EQ(name.rfind("ChunkDiff_1_", 0), 0u) << name;
  }
  EXPECT_NE(tztest::ReadFile(f.tmp / "stderr")
                .find("tzrecon: interrupted by SIGTERM; not compared: copy 1, mount path "),
            std::string::npos)
      << tztest::ReadFile(f.tmp / "stderr");
}

}  // namespace
