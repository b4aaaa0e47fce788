// tzrecon diff: hand-written dumps for each kind of difference, malformed
// input with its line number, generated pairs checked against a reading of
// the files made here, and a disk dump against a folder-store cloud dump of
// the same library after a chunk is removed and another cut short.
#include <gtest/gtest.h>
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

struct Pair {
  tztest::TempDir tmp;
  std::string oldFile = tmp / "old.csv";
  std::string newFile = tmp / "new.csv";
  std::string out = tmp / "out.csv";
  Pair(const std::string& oldText, const std::string& newText) {
    tztest::WriteFile(oldFile, oldText);
    tztest::WriteFile(newFile, newText);
  }
  clitest::RunResult Diff(std::vector<std::string> extra = {}) const {
    std::vector<std::string> args = {"diff", oldFile, newFile};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunCli(args);
  }
  // The same with both files read from pipes (not mapped), the differences
  // written to `out`: the exit status and standard error.
  std::pair<int, std::string> DiffThroughPipes() const {
    const std::string err = tmp / "pipe.err";
    const std::string script = "exec '" + std::string(TZRECON_BIN) + "' diff <(cat '" + oldFile +
                               "') <(cat '" + newFile + "') --output '" + out + "' 2> '" + err + "'";
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
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.name; }

class CliDiffKinds : public testing::TestWithParam<KindCase> {};

TEST_P(CliDiffKinds, WritesEachDifferenceOnceInKeyOrder) {
  const KindCase& c = GetParam();
  for (const char* end : {"\r\n", "\n"}) {
    SCOPED_TRACE(end[0] == '\r' ? "CR LF" : "LF");
    const Pair pair(Dump(c.oldRows, end), Dump(c.newRows, end));
    const clitest::RunResult r = pair.Diff();
    EXPECT_EQ(r.status, c.expected.empty() ? 0 : 1) << r.err;
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
    SCOPED_TRACE(badIsNew ? "NEW is bad" : "OLD is bad");
    const Pair pair(badIsNew ? good : c.text, badIsNew ? c.text : good);
    const clitest::RunResult r = pair.Diff({"--output", pair.out});
    EXPECT_EQ(r.status, 2);
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
    const auto [status, err] = pair.DiffThroughPipes();
    EXPECT_EQ(status, 2);
    EXPECT_NE(err.find("line " + std::to_string(c.line) + ": " + c.reason), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(pair.out));
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
  };
  for (const auto& c : cases) {
    const clitest::RunResult r = RunCli(c.args);
    EXPECT_EQ(r.status, 2) << c.args.back();
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  EXPECT_EQ(tztest::ReadFile(pair.oldFile), Dump({"1, 2, 3, 4, 0"}));
  EXPECT_EQ(tztest::ReadFile(pair.newFile), Dump({"1, 2, 3, 5, 0"}));
  EXPECT_EQ(tztest::ReadFile(taken), "kept\n");
  // Standard output on a full device: the rows cannot be written.
  const std::string script = std::string(TZRECON_BIN) + " diff '" + pair.oldFile + "' '" +
                             pair.newFile + "' > /dev/full 2> '" + (pair.tmp / "err") + "'";
  EXPECT_EQ(WEXITSTATUS(system(script.c_str())), 2);
  EXPECT_NE(tztest::ReadFile(pair.tmp / "err").find("cannot write the differences to standard output"),
            std::string::npos);
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

TEST(CliDiffGenerated, SampleDumpsWithChangesMatchAReadingOfTheFiles) {
  tztest::TempDir tmp;
  const std::string oldFile = tmp / "old.csv", newFile = tmp / "new.csv", out = tmp / "out.csv";
  const int rows = 20000;
  for (const auto& [file, extra] :
       {std::make_pair(oldFile, std::vector<std::string>{}),
        std::make_pair(newFile, std::vector<std::string>{"--changes", "3", "--mount-path-id", "2"})}) {
    std::vector<std::string> args = {"sample", "--dump-only", file, "--rows", std::to_string(rows),
                                     "--chunks-per-volume", "150", "--seed", "5"};
    args.insert(args.end(), extra.begin(), extra.end());
    const clitest::RunResult r = RunCli(args);
    ASSERT_EQ(r.status, 0) << r.err;
  }
  // Every chunk of the sample, once, in the dump's exact form.
  const std::vector<Row> oldRows = clitest::DumpRows(oldFile);
  ASSERT_EQ(oldRows.size(), static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) EXPECT_EQ(oldRows[static_cast<size_t>(i)].chunkId, i + 1);
  // Repeat some rows of NEW, one of them with another size.
  const std::vector<std::string> newLines = Lines(tztest::ReadFile(newFile));
  std::string extraRows = newLines[100] + "\n" + newLines[7000] + "\n";
  int32_t mountPathId = 0, volumeId = 0, chunkId = 0;
  ASSERT_EQ(sscanf(newLines[5].c_str(), "%d, %d, %d", &mountPathId, &volumeId, &chunkId), 3);
  extraRows += "2, " + std::to_string(volumeId) + ", " + std::to_string(chunkId) + ", 1, 1\r\n";
  tztest::WriteFile(newFile, tztest::ReadFile(newFile) + extraRows);

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
}

// Random keys over chosen bit ranges, in random order with repeats: the sort
// must order every key width and keep the first of equal keys.
struct SweepCase {
  int rows;
  uint32_t volumeMask, chunkMask;
};

void PrintTo(const SweepCase& c, std::ostream* os) {
  *os << c.rows << " rows, volume mask " << c.volumeMask << ", chunk mask " << c.chunkMask;
}

class CliDiffSweep : public testing::TestWithParam<SweepCase> {};

TEST_P(CliDiffSweep, RandomDumpsMatchAReadingOfTheFiles) {
  const SweepCase c = GetParam();
  std::mt19937_64 random(c.rows ^ c.volumeMask ^ (uint64_t{c.chunkMask} << 7));
  std::vector<std::string> sides[2];
  for (int i = 0; i < c.rows; ++i) {
    const int32_t volume = static_cast<int32_t>(static_cast<uint32_t>(random()) & c.volumeMask);
    const int32_t chunk = static_cast<int32_t>(static_cast<uint32_t>(random()) & c.chunkMask);
    const uint64_t size = random() % 8 == 0 ? random() : random() % 1000;
    const std::string row = std::to_string(volume) + ", " + std::to_string(chunk) + ", ";
    const uint64_t where = random() % 10;  // both, OLD only, NEW only, another size
    if (where != 2) sides[0].push_back("1, " + row + std::to_string(size) + ", 0");
    if (where != 1) sides[1].push_back("1, " + row + std::to_string(where == 3 ? size + 1 : size) + ", 0");
  }
  for (auto& side : sides) std::shuffle(side.begin(), side.end(), random);
  const Pair pair(Dump(sides[0]), Dump(sides[1]));
  const clitest::RunResult r = pair.Diff({"--output", pair.out});
  const std::vector<std::string> expected = ExpectedDifferences(pair.oldFile, pair.newFile);
  EXPECT_EQ(r.status, expected.empty() ? 0 : 1) << r.err;
  EXPECT_EQ(DiffRows(pair.out), expected);
  // Through pipes the files come in reads of a few KiB, lines cut between.
  fs::remove(pair.out);
  EXPECT_EQ(pair.DiffThroughPipes().first, r.status);
  EXPECT_EQ(DiffRows(pair.out), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, CliDiffSweep,
    testing::Values(SweepCase{1, 0xffffffffu, 0xffffffffu}, SweepCase{3000, 0xffu, 0x3u},
                    SweepCase{20000, 0xffffffffu, 0xffffffffu}, SweepCase{20000, 0, 0xffffffffu},
                    SweepCase{20000, 0xffffffffu, 0}, SweepCase{20000, 0x80000fffu, 0x80000001u}),
    [](const auto& info) {
      char name[64];
      snprintf(name, sizeof name, "Rows%d_Volumes%08x_Chunks%08x", info.param.rows,
               info.param.volumeMask, info.param.chunkMask);
      return std::string(name);
    });

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
