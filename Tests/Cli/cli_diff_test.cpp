// tzrecon diff: hand-written dumps for each kind of difference, malformed
// input with its line number, generated pairs checked against a reading of
// the files made here, and a disk dump against a folder-store cloud dump of
// the same library after a chunk is removed and another cut short. Each
// comparison runs in memory and again with --memory so small that the rows
// go to temporary files in many parts, which must give the same bytes; and
// the temporary files are gone however the diff ends.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <tuple>

#include "CliTestSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using clitest::Lines;
using clitest::Row;
using clitest::RunCli;

namespace {

const std::string kHeader = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume";
const std::string kOutputHeader =
    "Change,Volume-ID,Chunk-ID,Old-Size,New-Size,Old-SIVolume,New-SIVolume";

// A dump file: the header, then `rows` as given, each ended by `end`.
std::string Dump(const std::vector<std::string>& rows, const std::string& end = "\r\n") {
  std::string text = kHeader + end;
  for (const std::string& r : rows) text += r + end;
  return text;
}

// How a diff runs: in memory, or with the rows in temporary files.
struct Mode {
  const char* name;
  std::vector<std::string> args;
  clitest::Env env;
};
const Mode kInMemory = {"in memory", {}, {}};
// A limit that no row fits: every key is a part of its own.
const Mode kEveryKeyAPart = {"every key a part", {"--memory", "1"}, {}};
// Parts of about a thousand rows, each cut from a part that held more
// (three at a time), and the temporary files named for a moment.
const Mode kManyParts = {
    "many parts",
    {"--memory", "64K"},
    {{"TZRECON_DIFF_MAX_FANOUT", "3"}, {"TZRECON_DIFF_NAMED_TEMP", "1"}}};
const Mode kModes[] = {kInMemory, kEveryKeyAPart, kManyParts};

// The JSON summary without what tells how the diff ran (the memory it took,
// the time of its phases).
nlohmann::json WithoutRunFields(const std::string& out) {
  nlohmann::json j = nlohmann::json::parse(out);
  j.erase("memory");
  j.erase("phaseSeconds");
  return j;
}

struct Pair {
  tztest::TempDir tmp;
  std::string oldFile = tmp / "old.csv";
  std::string newFile = tmp / "new.csv";
  std::string out = tmp / "out.csv";
  Pair(const std::string& oldText, const std::string& newText) {
    tztest::WriteFile(oldFile, oldText);
    tztest::WriteFile(newFile, newText);
  }
  clitest::RunResult Diff(std::vector<std::string> extra = {}, const Mode& mode = kInMemory) const {
    std::vector<std::string> args = {"diff", oldFile, newFile};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), mode.args.begin(), mode.args.end());
    return RunCli(args, mode.env);
  }
  // The same with both files read from pipes (not mapped), the differences
  // written to `out`: the exit status and standard error.
  std::pair<int, std::string> DiffThroughPipes(const Mode& mode = kInMemory) const {
    const std::string err = tmp / "pipe.err";
    std::string script = "exec env";
    for (const auto& [name, value] : mode.env) script += " " + name + "=" + value;
    script += " '" + std::string(TZRECON_BIN) + "' diff <(cat '" + oldFile + "') <(cat '" + newFile +
              "') --output '" + out + "'";
    for (const std::string& arg : mode.args) script += " " + arg;
    script += " 2> '" + err + "'";
    const int status = system(("bash -c \"" + script + "\"").c_str());
    std::pair<int, std::string> result = {WEXITSTATUS(status), tztest::ReadFile(err)};
    fs::remove(err);
    return result;
  }
};

// ---- Each kind of difference, in small hand-written dumps. ----

struct KindCase {
  const char* name;
  std::vector<std::string> oldRows, newRows;
  std::vector<std::string> expected;  // difference rows, in order
};

const KindCase kKindCases[] = {
    {"EqualInAnotherOrder",
     {"1, 2, 3, 100, 0", "1, 1, 9, 50, 0", "1, 2, 1, 7, 1"},
     {"1, 2, 1, 7, 1", "1, 2, 3, 100, 0", "1, 1, 9, 50, 0"},
     {}},
    {"BothHeaderOnly", {}, {}, {}},
    {"Missing", {"1, 2, 3, 100, 0", "1, 2, 4, 200, 0"}, {"1, 2, 3, 100, 0"}, {"missing,2,4,200,,0,"}},
    {"New", {"1, 2, 3, 100, 0"}, {"1, 2, 4, 200, 1", "1, 2, 3, 100, 0"}, {"new,2,4,,200,,1"}},
    {"ChangedSizeAndFlag",
     {"1, 7, 1, 100, 0", "1, 7, 2, 100, 0", "1, 7, 3, 100, 0"},
     {"1, 7, 1, 101, 0", "1, 7, 2, 100, 1", "1, 7, 3, 100, 0"},
     {"changed,7,1,100,101,0,0", "changed,7,2,100,100,0,1"}},
    {"OldHeaderOnly", {}, {"4, 1, 1, 10, 0"}, {"new,1,1,,10,,0"}},
    {"NewHeaderOnly", {"4, 1, 1, 10, 0"}, {}, {"missing,1,1,10,,0,"}},
    // Numeric order, not text order; negative ids first; chunk within volume.
    {"NumericOrderWithNegativeIds",
     {"1, 10, 1, 1, 0", "1, 9, 20, 1, 0", "1, 9, 3, 1, 0", "1, -5, 7, 1, 0", "1, -2147483648, 2147483647, 1, 0"},
     {},
     {"missing,-2147483648,2147483647,1,,0,", "missing,-5,7,1,,0,", "missing,9,3,1,,0,",
      "missing,9,20,1,,0,", "missing,10,1,1,,0,"}},
    // Sizes from 1 GiB on are kept in a side table; all compare in full.
    {"SizesAroundTheSideTable",
     {"1, 1, 1, 1073741823, 0", "1, 1, 2, 18446744073709551615, 0", "1, 1, 3, 1073741823, 1",
      "1, 1, 4, 1073741824, 1", "1, 1, 5, 4611686018427387904, 0"},
     {"1, 1, 1, 1073741824, 0", "1, 1, 2, 18446744073709551615, 0", "1, 1, 3, 1073741823, 1",
      "1, 1, 4, 1073741824, 1", "1, 1, 5, 4611686018427387905, 0"},
     {"changed,1,1,1073741823,1073741824,0,0", "changed,1,5,4611686018427387904,4611686018427387905,0,0"}},
    // The first occurrence in file order gives the fields, however the keys
    // were sorted; a key repeated in one file is not compared further.
    {"DuplicateInOld",
     {"1, 3, 9, 1, 0", "1, 5, 1, 30, 0", "1, 2, 2, 1, 0", "1, 5, 1, 31, 0", "1, 5, 1, 32, 0"},
     {"1, 3, 9, 1, 0", "1, 2, 2, 1, 0", "1, 5, 1, 99, 0"},
     {"duplicate,5,1,30,,0,"}},
    {"DuplicateInNew",
     {"1, 5, 1, 30, 0"},
     {"1, 9, 9, 1, 0", "1, 5, 1, 40, 1", "1, 5, 1, 30, 0"},
     {"duplicate,5,1,,40,,1", "new,9,9,,1,,0"}},
    {"DuplicateInBoth",
     {"1, 5, 1, 30, 0", "1, 5, 1, 30, 0"},
     {"1, 5, 1, 41, 0", "1, 5, 1, 40, 0"},
     {"duplicate,5,1,30,41,0,0"}},
    // Numbers of every length the row parser reads eight digits at a time,
    // the same values with leading zeros (read the slow way past 10 or 19
    // digits).
    {"DigitsOfEveryLength",
     {"1, 7, 1, 1, 0", "1, 7, 12345678, 12345678, 0", "1, 7, 123456789, 123456789, 0",
      "1, 7, 2147483647, 1234567890123456, 1", "1, 7, -2147483648, 12345678901234567, 0",
      "1, 7, 5, 9999999999999999999, 0", "1, 7, 6, 18446744073709551615, 1"},
     {"01, 7, 0000001, 00000001, 0", "1, 07, 012345678, 0012345678, 0",
      "1, 0000000007, 00123456789, 123456789, 0", "1, 7, 2147483647, 01234567890123456, 1",
      "1, 7, -02147483648, 12345678901234567, 0", "1, 7, 5, 09999999999999999999, 0",
      "1, 7, 6, 000018446744073709551615, 1"},
     {}},
    {"OtherLastDigits",
     {"1, 3, 123456789, 1000000000000000001, 0", "1, 3, 1234567890, 17, 0"},
     {"1, 3, 123456789, 1000000000000000002, 0", "1, 3, 1234567891, 17, 0"},
     {"changed,3,123456789,1000000000000000001,1000000000000000002,0,0", "missing,3,1234567890,17,,0,",
      "new,3,1234567891,,17,,0"}},
    // A row that starts as the row before ("1, 5, ") is of its volume, unless
    // a row of another volume came between, or the volume only starts alike.
    {"RowsOfAVolumeAroundAnother",
     {"1, 5, 1, 10, 0", "1, 6, 2, 18446744073709551615, 0", "1, 5, 3, 10, 0", "1, 55, 4, 10, 0",
      "1, 5, 5, 10, 0"},
     {"1, 55, 4, 10, 0", "1, 5, 5, 10, 0", "1, 5, 3, 10, 0", "1, 5, 1, 10, 0",
      "1, 6, 2, 18446744073709551615, 0"},
     {}},
    {"RowStartsLongerThan16Bytes",
     {"-2147483648, 2147483647, 1, 2, 0", "-2147483648, 2147483647, 2, 2, 0"},
     {"-2147483648, 2147483647, 2, 2, 0", "-2147483648, 2147483647, 1, 3, 0"},
     {"changed,2147483647,1,2,3,0,0"}},
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class CliDiffKinds : public testing::TestWithParam<KindCase> {};

TEST_P(CliDiffKinds, WritesEachDifferenceOnceInKeyOrder) {
  const KindCase& c = GetParam();
  for (const char* end : {"\r\n", "\n"}) {
    const Pair pair(Dump(c.oldRows, end), Dump(c.newRows, end));
    std::string summary;  // in memory
    for (const Mode& mode : kModes) {
      SCOPED_TRACE(std::string(end[0] == '\r' ? "CR LF, " : "LF, ") + mode.name);
      const clitest::RunResult r = pair.Diff({}, mode);
      EXPECT_EQ(r.status, c.expected.empty() ? 0 : 1) << r.err;
      // The summary too is the same, byte for byte.
      if (summary.empty()) summary = r.err;
      EXPECT_EQ(r.err, summary);
      std::vector<std::string> expected = {kOutputHeader};
      expected.insert(expected.end(), c.expected.begin(), c.expected.end());
      EXPECT_EQ(Lines(r.out), expected);
      EXPECT_EQ(r.out.find('\r'), std::string::npos);
      EXPECT_EQ(r.err.find('\r'), std::string::npos) << "progress shown without a terminal";
      // The summary names the rows of each file.
      EXPECT_NE(r.err.find(pair.oldFile + ": " + std::to_string(c.oldRows.size()) + " rows"),
                std::string::npos) << r.err;
      EXPECT_NE(r.err.find(pair.newFile + ": " + std::to_string(c.newRows.size()) + " rows"),
                std::string::npos) << r.err;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CliDiffKinds, testing::ValuesIn(kKindCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliDiff, MountPathIdsThatDifferAreNamedNotCompared) {
  const Pair pair(Dump({"1, 2, 3, 100, 0", "1, 2, 4, 5, 0"}),
                  Dump({"8, 2, 4, 5, 0", "8, 2, 3, 100, 0"}));
  clitest::RunResult r = pair.Diff();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("mount path ids differ (1 and 8)"), std::string::npos) << r.err;
  r = pair.Diff({"--json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(WithoutRunFields(pair.Diff({"--json"}, kEveryKeyAPart).out), WithoutRunFields(r.out));
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["old"]["mountPathId"], 1);
  EXPECT_EQ(j["new"]["mountPathId"], 8);
  EXPECT_TRUE(j["mountPathIdsDiffer"]);
  EXPECT_FALSE(j["new"]["mixedMountPathIds"]);
}

// ---- Bad input: exit 2, the file, line and text, and FILE untouched. ----

struct BadCase {
  const char* name;
  std::string text;  // the whole file
  int line;
  const char* reason;
  const char* shown;  // the offending text as the message shows it
};

const BadCase kBadCases[] = {
    {"Empty", "", 1, "the file is empty", ""},
    {"OtherHeader", "Volume-ID , Chunk-ID\r\n", 1, "not the dump header", "Volume-ID , Chunk-ID"},
    {"HeaderWithRowSeparators", "MountPath-ID, Volume-ID, Chunk-ID, Chunk-Size, SIVolume\r\n", 1,
     "not the dump header", "MountPath-ID, Volume-ID"},
    {"FourFields", Dump({"1, 2, 3, 4, 0", "1, 2, 3, 4"}), 3, "4 fields where a row has 5", "1, 2, 3, 4"},
    {"SixFields", Dump({"1, 2, 3, 4, 0, 0"}), 2, "6 fields", "1, 2, 3, 4, 0, 0"},
    {"EmptyLine", Dump({"1, 2, 3, 4, 0", ""}), 3, "an empty line", ""},
    {"Letters", Dump({"1, 2, x3, 4, 0"}), 2, "field 3 (Chunk-ID) is not a decimal integer", "1, 2, x3, 4, 0"},
    {"TrailingBlank", Dump({"1, 2, 3, 4, 0 "}), 2, "field 5 (SIVolume) is not a decimal integer", "1, 2, 3, 4, 0 "},
    {"NoBlankAfterComma", Dump({"1,2, 3, 4, 0"}), 2, "field 2 (Volume-ID) does not follow ', '", "1,2, 3, 4, 0"},
    {"VolumeBeyond32Bits", Dump({"1, 2147483648, 3, 4, 0"}), 2, "field 2 (Volume-ID) is beyond the 32-bit range", "2147483648"},
    {"ChunkBelow32Bits", Dump({"1, 2, -2147483649, 4, 0"}), 2, "field 3 (Chunk-ID) is beyond the 32-bit range", "-2147483649"},
    {"NegativeSize", Dump({"1, 2, 3, -4, 0"}), 2, "field 4 (Chunk-Size) is not an unsigned decimal integer", "-4"},
    {"SizeBeyond64Bits", Dump({"1, 2, 3, 18446744073709551616, 0"}), 2, "field 4 (Chunk-Size) is beyond 64 bits", "18446744073709551616"},
    {"FlagTwo", Dump({"1, 2, 3, 4, 0", "1, 2, 3, 4, 2"}), 3, "field 5 (SIVolume) is neither 0 nor 1", "1, 2, 3, 4, 2"},
    {"ControlByte", Dump({std::string("1, 2, 3\0, 4, 0", 14)}), 2, "field 3 (Chunk-ID)", "3\\x00"},
    {"CutShort", Dump({"1, 2, 3, 4, 0"}) + "1, 2, 3, 40", 3, "the last line has no line end", "1, 2, 3, 40"},
    {"HeaderOnlyCutShort", kHeader, 1, "the last line has no line end", "MountPath-ID"},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class CliDiffBadInput : public testing::TestWithParam<BadCase> {};

TEST_P(CliDiffBadInput, NamesFileLineAndTextAndWritesNothing) {
  const BadCase& c = GetParam();
  const std::string good = Dump({"1, 2, 3, 4, 0"});
  for (const bool badIsNew : {false, true}) {
    const Pair pair(badIsNew ? good : c.text, badIsNew ? c.text : good);
    std::string message;  // in memory
    for (const Mode& mode : kModes) {
      SCOPED_TRACE(std::string(badIsNew ? "NEW is bad, " : "OLD is bad, ") + mode.name);
      const clitest::RunResult r = pair.Diff({"--output", pair.out}, mode);
      EXPECT_EQ(r.status, 2);
      if (message.empty()) message = r.err;
      EXPECT_EQ(r.err, message);
      const std::string where = std::string(badIsNew ? "NEW '" + pair.newFile : "OLD '" + pair.oldFile) +
                                "' line " + std::to_string(c.line) + ": ";
      EXPECT_NE(r.err.find(where), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
      EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
      EXPECT_EQ(r.out, "");
      // FILE, made for the run, is removed again: only the inputs are left.
      EXPECT_EQ(std::distance(fs::directory_iterator(pair.tmp.path()), fs::directory_iterator()), 2);
      // Read from a pipe, the same line and reason.
      const auto [status, err] = pair.DiffThroughPipes(mode);
      EXPECT_EQ(status, 2);
      EXPECT_NE(err.find("line " + std::to_string(c.line) + ": " + c.reason), std::string::npos) << err;
      EXPECT_FALSE(fs::exists(pair.out));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CliDiffBadInput, testing::ValuesIn(kBadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CliDiff, FilesThatCannotBeReadOrWrittenGiveStatus2) {
  const Pair pair(Dump({"1, 2, 3, 4, 0"}), Dump({"1, 2, 3, 5, 0"}));
  // An output that exists is refused, an input above all (by any name).
  const std::string taken = pair.tmp / "taken.csv", alias = pair.tmp / "alias.csv";
  tztest::WriteFile(taken, "kept\n");
  fs::create_symlink(pair.newFile, alias);
  const struct {
    std::vector<std::string> args;
    const char* message;
    clitest::Env env = {};
  } cases[] = {
      {{"diff", pair.tmp / "none.csv", pair.newFile}, "OLD '"},  // named before NEW is read
      {{"diff", pair.oldFile, pair.tmp / "none.csv"}, "none.csv': cannot open: No such file"},
      {{"diff", pair.oldFile, pair.tmp.path()}, "is a folder"},
      {{"diff", pair.oldFile, pair.newFile, "--output", pair.tmp / "no/such/out.csv"}, "--output"},
      {{"diff", pair.oldFile}, "needs two dump files"},
      {{"diff", pair.oldFile, pair.newFile, pair.newFile}, "unexpected argument"},
      {{"diff", pair.oldFile, pair.newFile, "--output", pair.oldFile}, "is OLD, an input"},
      {{"diff", pair.oldFile, pair.newFile, "--output", alias}, "is NEW, an input"},
      {{"diff", pair.oldFile, pair.newFile, "--output", taken}, "exists; give a new file name"},
      {{"diff", pair.oldFile, pair.newFile, "--memory", "0"}, "--memory: '0' is out of range"},
      {{"diff", pair.oldFile, pair.newFile, "--memory", "12X"}, "--memory: '12X' is not a size"},
      {{"diff", pair.oldFile, pair.newFile, "--memory", "-1M"}, "is not a size"},
      {{"diff", pair.oldFile, pair.newFile, "--memory", "M"}, "is not a size"},
      {{"diff", pair.oldFile, pair.newFile, "--memory", "99999999999T"}, "out of range"},
      {{"diff", pair.oldFile, pair.newFile, "--temp-dir", pair.tmp / "none"}, "--temp-dir '"},
      {{"diff", pair.oldFile, pair.newFile, "--temp-dir", taken}, "not a folder"},
      // $TMPDIR is used (and found wanting) only once the rows go to parts.
      {{"diff", pair.oldFile, pair.newFile, "--memory", "1", "--output", pair.out},
       "cannot make a temporary file in '/nonexistent/tmp': No such file or directory",
       {{"TMPDIR", "/nonexistent/tmp"}}},
  };
  for (const auto& c : cases) {
    const clitest::RunResult r = RunCli(c.args, c.env);
    EXPECT_EQ(r.status, 2) << c.args.back();
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(tztest::ReadFile(pair.oldFile), Dump({"1, 2, 3, 4, 0"}));
  EXPECT_EQ(tztest::ReadFile(pair.newFile), Dump({"1, 2, 3, 5, 0"}));
  EXPECT_EQ(tztest::ReadFile(taken), "kept\n");
  EXPECT_FALSE(fs::exists(pair.out));
  EXPECT_EQ(RunCli({"diff", pair.oldFile, pair.newFile}, {{"TMPDIR", "/nonexistent/tmp"}}).status, 1);
  // Standard output on a full device: the rows cannot be written.
  const std::string script = std::string(TZRECON_BIN) + " diff '" + pair.oldFile + "' '" +
                             pair.newFile + "' > /dev/full 2> '" + (pair.tmp / "err") + "'";
  EXPECT_EQ(WEXITSTATUS(system(script.c_str())), 2);
  EXPECT_NE(tztest::ReadFile(pair.tmp / "err").find("cannot write the differences to standard output"),
            std::string::npos);
}

TEST(CliDiff, MemorySizesInBytesOrWithAUnit) {
  const Pair pair(Dump({"1, 2, 3, 4, 0"}), Dump({"1, 2, 3, 4, 0"}));
  const std::pair<const char*, uint64_t> sizes[] = {
      {"1048576", 1048576},    {"512M", 512ull << 20}, {"2G", 2ull << 30}, {"64KiB", 64ull << 10},
      {"3kb", 3ull << 10},     {"1t", 1ull << 40},     {"100B", 100},      {"1", 1}};
  for (const auto& [text, bytes] : sizes) {
    const clitest::RunResult r = pair.Diff({"--json", "--memory", text});
    EXPECT_EQ(r.status, 0) << text << ": " << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["memory"]["limit"], bytes) << text;
  }
  // Without --memory, a quarter of the physical memory.
  const auto memory = nlohmann::json::parse(pair.Diff({"--json"}).out)["memory"];
  EXPECT_EQ(memory["limit"], static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE) / 4);
  EXPECT_FALSE(memory["partitioned"]);
}

// ---- Generated pairs against a reading of the files made here. ----

using Key = std::pair<int32_t, int32_t>;

// The difference rows the two dumps must give, worked out from their rows.
std::vector<std::string> ExpectedDifferences(const std::string& oldFile, const std::string& newFile) {
  // Rows of each file by key, in file order (DumpRows sorts, so read again).
  std::map<Key, std::vector<Row>> rows[2];
  const std::string files[2] = {oldFile, newFile};
  for (int k = 0; k < 2; ++k) {
    const std::vector<std::string> lines = Lines(tztest::ReadFile(files[k]));
    for (size_t i = 1; i < lines.size(); ++i) {
      Row row{};
      unsigned long long size = 0;
      EXPECT_EQ(sscanf(lines[i].c_str(), "%d, %d, %d, %llu, %d", &row.mountPathId, &row.volumeId,
                       &row.chunkId, &size, &row.siVolume), 5) << lines[i];
      row.size = size;
      rows[k][{row.volumeId, row.chunkId}].push_back(row);
    }
  }
  std::map<Key, int> keys;
  for (auto& side : rows)
    for (auto& [key, list] : side) keys[key] = 0;
  const auto fields = [](const std::vector<Row>* list, bool show) {
    if (!show || list == nullptr) return std::make_pair(std::string(), std::string());
    return std::make_pair(std::to_string(list->front().size), std::to_string(list->front().siVolume));
  };
  std::vector<std::string> out;
  for (const auto& [key, unused] : keys) {
    const auto o = rows[0].find(key);
    const auto n = rows[1].find(key);
    const std::vector<Row>* ol = o == rows[0].end() ? nullptr : &o->second;
    const std::vector<Row>* nl = n == rows[1].end() ? nullptr : &n->second;
    const bool oldTwice = ol && ol->size() > 1, newTwice = nl && nl->size() > 1;
    std::string kind;
    std::pair<std::string, std::string> of = fields(ol, true), nf = fields(nl, true);
    if (oldTwice || newTwice) {
      kind = "duplicate";
      of = fields(ol, oldTwice);
      nf = fields(nl, newTwice);
    } else if (!nl) {
      kind = "missing";
    } else if (!ol) {
      kind = "new";
    } else if (of != nf) {
      kind = "changed";
    } else {
      continue;
    }
    out.push_back(kind + "," + std::to_string(key.first) + "," + std::to_string(key.second) + "," +
                  of.first + "," + nf.first + "," + of.second + "," + nf.second);
  }
  return out;
}

// The rows tzrecon wrote, without the header; checks the header.
std::vector<std::string> DiffRows(const std::string& file) {
  std::vector<std::string> lines = Lines(tztest::ReadFile(file));
  EXPECT_FALSE(lines.empty());
  if (lines.empty()) return lines;
  EXPECT_EQ(lines[0], kOutputHeader);
  lines.erase(lines.begin());
  return lines;
}

// Sample dumps of `rows` rows with about 3 % changes of each kind, and three
// rows of NEW repeated, one of them with another size.
void MakeGeneratedPair(const std::string& oldFile, const std::string& newFile, int rows) {
  for (const auto& [file, extra] :
       {std::make_pair(oldFile, std::vector<std::string>{}),
        std::make_pair(newFile, std::vector<std::string>{"--changes", "3", "--mount-path-id", "2"})}) {
    std::vector<std::string> args = {"sample", "--dump-only", file, "--rows", std::to_string(rows),
                                     "--chunks-per-volume", "150", "--seed", "5"};
    args.insert(args.end(), extra.begin(), extra.end());
    const clitest::RunResult r = RunCli(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  const std::vector<std::string> newLines = Lines(tztest::ReadFile(newFile));
  std::string extraRows = newLines[100] + "\n" + newLines[7000] + "\n";
  int32_t mountPathId = 0, volumeId = 0, chunkId = 0;
  ASSERT_EQ(sscanf(newLines[5].c_str(), "%d, %d, %d", &mountPathId, &volumeId, &chunkId), 3);
  extraRows += "2, " + std::to_string(volumeId) + ", " + std::to_string(chunkId) + ", 1, 1\r\n";
  tztest::WriteFile(newFile, tztest::ReadFile(newFile) + extraRows);
}

TEST(CliDiffGenerated, SampleDumpsWithChangesMatchAReadingOfTheFiles) {
  tztest::TempDir tmp;
  const std::string oldFile = tmp / "old.csv", newFile = tmp / "new.csv", out = tmp / "out.csv";
  const int rows = 20000;
  MakeGeneratedPair(oldFile, newFile, rows);
  // Every chunk of the sample, once, in the dump's exact form.
  const std::vector<Row> oldRows = clitest::DumpRows(oldFile);
  ASSERT_EQ(oldRows.size(), static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) EXPECT_EQ(oldRows[static_cast<size_t>(i)].chunkId, i + 1);

  const std::vector<std::string> expected = ExpectedDifferences(oldFile, newFile);
  const clitest::RunResult r = RunCli({"diff", oldFile, newFile, "--output", out, "--json"});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(DiffRows(out), expected);

  // About 3 % of the rows of each kind; the counts agree with the rows.
  const auto j = nlohmann::json::parse(r.out);
  std::map<std::string, uint64_t> counts;
  for (const std::string& line : expected) ++counts[line.substr(0, line.find(','))];
  for (const char* kind : {"missing", "new", "changed", "duplicate"})
    EXPECT_EQ(j["kinds"][kind]["count"], counts[kind]) << kind;
  for (const char* kind : {"missing", "new", "changed"}) {
    EXPECT_GT(counts[kind], rows * 2 / 100) << kind;
    EXPECT_LT(counts[kind], rows * 4 / 100) << kind;
  }
  EXPECT_EQ(counts["duplicate"], 3u);
  EXPECT_EQ(j["differences"], expected.size());
  EXPECT_EQ(j["old"]["rows"], rows);
  EXPECT_TRUE(j["mountPathIdsDiffer"]);
  EXPECT_EQ(j["output"], out);

  // The ten volumes with the most bytes missing, worked out from the rows.
  std::map<int32_t, uint64_t> missingBytes;
  for (const std::string& line : expected)
    if (line.rfind("missing,", 0) == 0) {
      int32_t volume = 0;
      unsigned long long size = 0;
      sscanf(line.c_str(), "missing,%d,%*d,%llu", &volume, &size);
      missingBytes[volume] += size;
    }
  std::vector<std::pair<uint64_t, int32_t>> ranked;
  for (const auto& [volume, bytes] : missingBytes) ranked.push_back({bytes, -volume});
  std::sort(ranked.rbegin(), ranked.rend());
  ASSERT_GE(ranked.size(), 10u);
  ASSERT_EQ(j["topMissingVolumes"].size(), 10u);
  for (size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(j["topMissingVolumes"][i]["volumeId"], -ranked[i].second);
    EXPECT_EQ(j["topMissingVolumes"][i]["missing"]["oldBytes"], ranked[i].first);
  }
  EXPECT_FALSE(j["memory"]["partitioned"]);
  EXPECT_EQ(j["memory"]["tempBytesWritten"], 0);
}

TEST(CliDiffGenerated, InManyPartsTheSameRowsAndSummary) {
  tztest::TempDir tmp;
  const std::string oldFile = tmp / "old.csv", newFile = tmp / "new.csv", out = tmp / "out.csv";
  const int rows = 20000;
  MakeGeneratedPair(oldFile, newFile, rows);
  const clitest::RunResult r = RunCli({"diff", oldFile, newFile, "--output", out, "--json"});
  EXPECT_EQ(r.status, 1) << r.err;
  // The parts cut again, three at a time.
  const std::string partsOut = tmp / "parts.csv";
  const clitest::RunResult parts = RunCli(
      {"diff", oldFile, newFile, "--output", partsOut, "--json", "--memory", "64K"}, kManyParts.env);
  EXPECT_EQ(parts.status, 1) << parts.err;
  EXPECT_EQ(tztest::ReadFile(partsOut), tztest::ReadFile(out));
  nlohmann::json same = WithoutRunFields(parts.out);
  same["output"] = out;
  EXPECT_EQ(same, WithoutRunFields(r.out));
  const auto run = nlohmann::json::parse(parts.out)["memory"];
  EXPECT_TRUE(run["partitioned"]) << run.dump();
  EXPECT_EQ(run["limit"], 65536);
  EXPECT_GT(run["parts"], 10) << run.dump();
  EXPECT_GT(run["partsCutAgain"], 2) << run.dump();
  EXPECT_GE(run["tempBytesWritten"], 12 * 2 * rows) << run.dump();
  EXPECT_GT(run["tempPeakBytes"], 0) << run.dump();
  for (const char* phase : {"partition", "split", "diff"})
    EXPECT_GE(nlohmann::json::parse(parts.out)["phaseSeconds"][phase], 0.0) << phase;
  EXPECT_EQ(RunCli({"diff", oldFile, newFile, "--memory", "64K"}, kManyParts.env).err,
            RunCli({"diff", oldFile, newFile}).err);
}

// Random keys over chosen bit ranges, in random order with repeats (or each
// volume's rows together, in random order within it, as dumps list them):
// the sort must order every key width and keep the first of equal keys, and
// so must the parts of a diff that does not fit.
struct SweepCase {
  int rows;
  uint32_t volumeMask, chunkMask;
  bool grouped = false;
};

void PrintTo(const SweepCase& c, std::ostream* os) {
  *os << c.rows << " rows, volume mask " << c.volumeMask << ", chunk mask " << c.chunkMask
      << (c.grouped ? ", grouped by volume" : "");
}

class CliDiffSweep : public testing::TestWithParam<SweepCase> {};

TEST_P(CliDiffSweep, RandomDumpsMatchAReadingOfTheFiles) {
  const SweepCase c = GetParam();
  std::mt19937_64 random(c.rows ^ c.volumeMask ^ (uint64_t{c.chunkMask} << 7) ^ c.grouped);
  // Each row with its volume, for grouping; now and then another mount path.
  std::vector<std::pair<int32_t, std::string>> sides[2];
  for (int i = 0; i < c.rows; ++i) {
    const int32_t volume = static_cast<int32_t>(static_cast<uint32_t>(random()) & c.volumeMask);
    const int32_t chunk = static_cast<int32_t>(static_cast<uint32_t>(random()) & c.chunkMask);
    const uint64_t size = random() % 8 == 0 ? random() : random() % 1000;
    const std::string row = std::to_string(volume) + ", " + std::to_string(chunk) + ", ";
    const uint64_t where = random() % 10;  // both, OLD only, NEW only, another size
    const std::string mount = random() % 50 == 0 ? "7, " : "1, ";
    if (where != 2) sides[0].push_back({volume, mount + row + std::to_string(size) + ", 0"});
    if (where != 1)
      sides[1].push_back({volume, "1, " + row + std::to_string(where == 3 ? size + 1 : size) + ", 0"});
  }
  std::map<int32_t, uint64_t> volumeOrder;
  for (auto& side : sides) {
    std::shuffle(side.begin(), side.end(), random);
    if (!c.grouped) continue;
    for (const auto& [volume, row] : side) volumeOrder.emplace(volume, random());
    std::stable_sort(side.begin(), side.end(), [&](const auto& x, const auto& y) {
      return volumeOrder[x.first] < volumeOrder[y.first];
    });
  }
  std::vector<std::string> rows[2];
  for (int k = 0; k < 2; ++k)
    for (const auto& [volume, row] : sides[k]) rows[k].push_back(row);
  const Pair pair(Dump(rows[0]), Dump(rows[1]));
  const std::vector<std::string> expected = ExpectedDifferences(pair.oldFile, pair.newFile);
  std::string summary;
  for (const Mode& mode : {kInMemory, kManyParts}) {
    SCOPED_TRACE(mode.name);
    fs::remove(pair.out);
    const clitest::RunResult r = pair.Diff({"--output", pair.out}, mode);
    EXPECT_EQ(r.status, expected.empty() ? 0 : 1) << r.err;
    EXPECT_EQ(DiffRows(pair.out), expected);
    if (summary.empty()) summary = r.err;
    EXPECT_EQ(r.err, summary);
    // Through pipes the files come in reads of a few KiB, lines cut between.
    fs::remove(pair.out);
    EXPECT_EQ(pair.DiffThroughPipes(mode).first, r.status);
    EXPECT_EQ(DiffRows(pair.out), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keys, CliDiffSweep,
    testing::Values(SweepCase{1, 0xffffffffu, 0xffffffffu}, SweepCase{3000, 0xffu, 0x3u},
                    SweepCase{20000, 0xffffffffu, 0xffffffffu}, SweepCase{20000, 0, 0xffffffffu},
                    SweepCase{20000, 0xffffffffu, 0}, SweepCase{20000, 0x80000fffu, 0x80000001u},
                    SweepCase{20000, 0xfffu, 0xffffffffu, true}, SweepCase{20000, 0x3fu, 0x3ffu, true},
                    SweepCase{3000, 0x7u, 0x1ffu, true}),
    [](const auto& info) {
      char name[80];
      snprintf(name, sizeof name, "Rows%d_Volumes%08x_Chunks%08x%s", info.param.rows,
               info.param.volumeMask, info.param.chunkMask, info.param.grouped ? "_Grouped" : "");
      return std::string(name);
    });

// ---- Temporary files: gone however the diff ends. ----

size_t Entries(const std::string& dir) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Whether process `pid` has a file in `dir` open (a temporary file, which
// has no name there).
bool HoldsFileIn(pid_t pid, const std::string& dir) {
  std::error_code ec;
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  for (const fs::directory_entry& e : fs::directory_iterator(fds, ec)) {
    std::error_code ignored;
    if (fs::read_symlink(e.path(), ignored).string().rfind(dir + "/", 0) == 0) return true;
  }
  return false;
}

// Dumps of 100000 rows (several pieces of 1 MiB, so that rows are in
// temporary files before a bad line in the middle of NEW is read), and
// the arguments of a diff of OLD and `newInput` in parts of 1 MiB.
struct PartsPair {
  tztest::TempDir tmp;
  std::string oldFile = tmp / "old.csv", newFile = tmp / "new.csv", temp = tmp / "temp";
  std::string out = tmp / "out.csv";
  static constexpr int kRows = 100000;
  PartsPair() {
    tztest::MakeDirs(temp);
    for (const auto& [file, changes] : {std::make_pair(oldFile, "0"), std::make_pair(newFile, "1")}) {
      const clitest::RunResult r = RunCli({"sample", "--dump-only", file, "--rows",
                                           std::to_string(kRows), "--chunks-per-volume", "1000",
                                           "--changes", changes});
      EXPECT_EQ(r.status, 0) << r.err;
    }
  }
  std::vector<std::string> Args(const std::string& newInput) const {
    return {"diff", oldFile, newInput, "--memory", "1M", "--temp-dir", temp, "--output", out};
  }
};

const clitest::Env kTempModes[] = {{}, {{"TZRECON_DIFF_NAMED_TEMP", "1"}}};

TEST(CliDiffTemporaryFiles, GoneAfterSuccessFailureAndBadInput) {
  const PartsPair pair;
  std::vector<std::string> lines = Lines(tztest::ReadFile(pair.newFile));
  lines[80000 - 1] = "1, 2, x3, 4, 0";
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  const std::string badFile = pair.tmp / "bad.csv", notADump = pair.tmp / "notadump.csv";
  tztest::WriteFile(badFile, text);
  tztest::WriteFile(notADump, "Volume-ID , Chunk-ID\r\n1, 2\r\n");
  for (const clitest::Env& env : kTempModes) {
    SCOPED_TRACE(env.empty() ? "unnamed" : "named for a moment");
    // Success: the rows went through temporary files, and none is left.
    std::vector<std::string> withJson = pair.Args(pair.newFile);
    withJson.push_back("--json");
    clitest::RunResult r = RunCli(withJson, env);
    EXPECT_EQ(r.status, 1) << r.err;
    const auto memory = nlohmann::json::parse(r.out)["memory"];
    EXPECT_TRUE(memory["partitioned"]);
    EXPECT_GE(memory["tempBytesWritten"], 12 * 2 * PartsPair::kRows);
    EXPECT_EQ(memory["tempDir"], pair.temp);
    EXPECT_EQ(Entries(pair.temp), 0u);
    EXPECT_TRUE(fs::remove(pair.out));
    // A malformed line in the middle of NEW, and a NEW that is not a dump:
    // the in-memory path's message, no FILE, no temporary file.
    for (const std::string& bad : {badFile, notADump}) {
      r = RunCli(pair.Args(bad), env);
      EXPECT_EQ(r.status, 2);
      EXPECT_EQ(r.err, RunCli({"diff", pair.oldFile, bad}).err);
      EXPECT_FALSE(fs::exists(pair.out));
      EXPECT_EQ(Entries(pair.temp), 0u);
    }
    EXPECT_NE(r.err.find("line 1: not the dump header"), std::string::npos) << r.err;
  }
}

TEST(CliDiffTemporaryFiles, GoneAfterAStopSignalMidDiff) {
  const PartsPair pair;
  const std::string fifo = pair.tmp / "new.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::tuple<const clitest::Env*, int, const char*> cases[] = {
      {&kTempModes[0], SIGTERM, "SIGTERM"}, {&kTempModes[1], SIGTERM, "SIGTERM"},
      {&kTempModes[0], SIGINT, "SIGINT"},   {&kTempModes[1], SIGHUP, "SIGHUP"}};
  for (const auto& [env, sig, name] : cases) {
    SCOPED_TRACE(std::string(name) + (env->empty() ? ", unnamed" : ", named for a moment"));
    // NEW is a pipe that never ends: the signal comes while it is read and
    // OLD's rows are in temporary files.
    const pid_t child =
        clitest::StartCli(pair.Args(fifo), pair.tmp / "log.out", pair.tmp / "log.err", *env);
    int writer = -1;
    ASSERT_TRUE(clitest::WaitUntil([&] {
      writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      return writer >= 0;
    }));
    EXPECT_TRUE(clitest::WaitUntil([&] { return HoldsFileIn(child, pair.temp); }));
    EXPECT_TRUE(fs::exists(pair.out));
    kill(child, sig);
    EXPECT_EQ(clitest::WaitCli(child), 128 + sig);
    close(writer);
    EXPECT_EQ(Entries(pair.temp), 0u);
    EXPECT_FALSE(fs::exists(pair.out));
    EXPECT_EQ(tztest::ReadFile(pair.tmp / "log.err"),
              std::string("tzrecon diff: interrupted by ") + name + "\n");
  }
}

// ---- A disk dump against a folder-store cloud dump of the same library. ----

TEST(CliDiffDoneWhen, CloudCopyMissingOneChunkAndCutShortAnother) {
  tztest::TempDir dir;
  const std::string disk = dir / "disk", cloud = dir / "cloud";
  // The same arguments and seed make the same library twice.
  for (const std::string& library : {disk, cloud}) {
    const clitest::RunResult made = RunCli({"sample", library, "--volumes", "3", "--chunks-per-volume",
                                            "40", "--copy-id", "9", "--seed", "3"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  const std::string removed = cloud + "/V_2/CHUNK_47";
  const std::string cut = cloud + "/V_3/CHUNK_90";
  ASSERT_TRUE(fs::exists(removed));
  const uint64_t cutFrom = fs::file_size(cut);
  ASSERT_GT(cutFrom, 10u);
  fs::remove(removed);
  fs::resize_file(cut, 10);
  tztest::WriteFile(dir / "registry.json", "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + disk +
                                               "\"}, {\"id\": 2, \"path\": \"" + cloud +
                                               "\", \"type\": 7}]}");
  tztest::MakeDirs(dir / "dumps");
  std::string files[2];
  for (int id : {1, 2}) {
    const clitest::RunResult run =
        RunCli({"dump", "--mount-path-id", std::to_string(id), "--copy-id", "9", "--dump-dir",
                dir / "dumps", "--config", dir / "registry.json", "--log", dir / "host.log"});
    ASSERT_EQ(run.status, 0) << run.err << tztest::ReadFile(dir / "host.log");
    files[id - 1] = Lines(run.out).at(0);
  }
  const clitest::RunResult r = RunCli({"diff", files[0], files[1]});
  EXPECT_EQ(r.status, 1) << r.err;
  const std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  EXPECT_EQ(lines[0], kOutputHeader);
  // 47 is in volume 2 and 90 in volume 3 (40 chunks a volume, from 1).
  const std::string missingSize = std::to_string(fs::file_size(disk + "/V_2/CHUNK_47"));
  EXPECT_EQ(lines[1], "missing,2,47," + missingSize + ",,0,");
  EXPECT_EQ(lines[2], "changed,3,90," + std::to_string(cutFrom) + ",10,0,0");
  EXPECT_NE(r.err.find("120 rows"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("119 rows"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("mount path ids differ (1 and 2)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 missing (" + missingSize + " bytes)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("1 changed"), std::string::npos) << r.err;
  // Both dumps were checked against the records tzrecon dump left.
  EXPECT_EQ(Lines(r.err).at(0), "OLD " + files[0] + ": 120 rows, mount path id 1 (complete: its record agrees)");
  EXPECT_EQ(Lines(r.err).at(1), "NEW " + files[1] + ": 119 rows, mount path id 2 (complete: its record agrees)");
}

// ---- The records of dump files: what makes the diff refuse an input. ----

struct RecordCase {
  const char* name;
  std::function<void(std::string& dump, nlohmann::json& record, bool& keepRecord)> change;
  const char* state;   // the NEW file's completeness
  const char* reason;  // in the refusal ("" when not refused)
};

// One character of the last row's size, replaced (`grow`: one added).
void EditLastSize(std::string& dump, bool grow) {
  const size_t at = dump.rfind(", ", dump.rfind(", ") - 1) + 2;  // the size's first digit
  if (grow) dump.insert(at, "1");
  else dump[at] = dump[at] == '9' ? '8' : static_cast<char>(dump[at] + 1);
}

const RecordCase kRecordCases[] = {
    {"AsRecorded", [](std::string&, nlohmann::json&, bool&) {}, "complete", ""},
    {"NoRecord", [](std::string&, nlohmann::json&, bool& keep) { keep = false; }, "unknown", ""},
    {"FailedDump", [](std::string&, nlohmann::json& r, bool&) { r["ok"] = false; }, "failed",
     "is a failed dump: its record"},
    {"RowCut", [](std::string& d, nlohmann::json&, bool&) { d.erase(d.rfind("\n", d.size() - 2) + 1); },
     "disagrees", "the file has 39 rows, its record says 40"},
    {"SizeGrown", [](std::string& d, nlohmann::json&, bool&) { EditLastSize(d, true); }, "disagrees",
     "bytes, its record says"},
    {"SameSizeOtherBytes", [](std::string& d, nlohmann::json&, bool&) { EditLastSize(d, false); },
     "disagrees", "the file's SHA-256 is not its record's"},
    {"NotARecord", [](std::string&, nlohmann::json& r, bool&) { r = nlohmann::json::array(); },
     "disagrees", "is not a dump record"},
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

class CliDiffRecords : public testing::TestWithParam<RecordCase> {};

TEST_P(CliDiffRecords, AnIncompleteInputIsRefusedUnlessAllowed) {
  const RecordCase& c = GetParam();
  tztest::TempDir dir;
  const clitest::RunResult made = RunCli({"sample", dir / "mp", "--volumes", "2", "--chunks-per-volume",
                                          "20", "--config-out", dir / "registry.json"});
  ASSERT_EQ(made.status, 0) << made.err;
  const clitest::RunResult dumped = RunCli({"dump", "--mount-path-id", "1", "--copy-id", "1",
                                            "--dump-dir", dir.path(), "--config", dir / "registry.json",
                                            "--quiet"});
  ASSERT_EQ(dumped.status, 0) << dumped.err;
  const std::string oldFile = Lines(dumped.out).at(0), newFile = dir / "new.csv", out = dir / "out.csv";
  std::string dump = tztest::ReadFile(oldFile);
  nlohmann::json record = nlohmann::json::parse(tztest::ReadFile(oldFile + ".json"));
  bool keepRecord = true;
  c.change(dump, record, keepRecord);
  tztest::WriteFile(newFile, dump);
  if (keepRecord) tztest::WriteFile(newFile + ".json", record.dump());

  const clitest::RunResult refused = RunCli({"diff", oldFile, newFile, "--output", out});
  const clitest::RunResult allowed = RunCli({"diff", oldFile, newFile, "--json", "--allow-incomplete"});
  const bool refuse = c.reason[0] != '\0';
  EXPECT_EQ(refused.status == 2, refuse) << refused.err;
  EXPECT_EQ(fs::exists(out), !refuse);
  const std::string advice = "; give --allow-incomplete to compare it anyway\n";
  EXPECT_EQ(refused.err.rfind("tzrecon diff: NEW '" + newFile + "' ", 0) == 0, refuse) << refused.err;
  EXPECT_EQ(refused.err.find(advice) == refused.err.size() - advice.size(), refuse) << refused.err;
  EXPECT_NE(refused.err.find(c.reason), std::string::npos) << refused.err;
  EXPECT_NE(allowed.status, 2) << allowed.err;
  const nlohmann::json j = nlohmann::json::parse(allowed.out);
  EXPECT_EQ(j["old"]["completeness"], "complete");
  EXPECT_EQ(j["new"]["completeness"], c.state);
  EXPECT_EQ(j["new"]["completenessReason"].is_null(), c.state == std::string("complete")) << j.dump();
}

INSTANTIATE_TEST_SUITE_P(Cases, CliDiffRecords, testing::ValuesIn(kRecordCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
