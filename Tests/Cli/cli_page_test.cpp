// tzrecon report: bad inputs leave no page; good ones give a page whose
// data block says what the inputs hold, whatever bytes their paths carry.
// (What the page draws of it is checked in a browser: browser/.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "CliTestSupport.h"
#include "PageReasons.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using clitest::RunCli;

namespace {

const std::string kDumpHeader = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
const std::string kDiffHeader = "Change,Volume-ID,Chunk-ID,Old-Size,New-Size,Old-SIVolume,New-SIVolume\n";

// The files of a folder, by name.
std::vector<std::string> Names(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The page's data block, parsed.
nlohmann::json PageData(const std::string& page) {
  const std::string html = tztest::ReadFile(page);
  const std::string open = "<script type=\"application/json\" id=\"page-data\">";
  const size_t begin = html.find(open);
  const size_t end = html.find("</script>", begin);
  EXPECT_NE(begin, std::string::npos);
  // Two script elements, each closed once: no text of the data closed one early.
  size_t closings = 0;
  for (size_t at = html.find("</script"); at != std::string::npos; at = html.find("</script", at + 1)) ++closings;
  EXPECT_EQ(closings, 2u);
  return nlohmann::json::parse(html.substr(begin + open.size(), end - begin - open.size()));
}

struct Files {
  tztest::TempDir tmp;
  std::string Write(const std::string& name, const std::string& text) {
    tztest::WriteFile(tmp / name, text);
    return tmp / name;
  }
};

TEST(CliPage, BadInputsExit2AndLeaveNoPage) {
  struct Case {
    const char* name;
    std::function<std::vector<std::string>(Files&)> inputs;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"an unknown first line", [](Files& f) { return std::vector<std::string>{f.Write("a.csv", "hello\n")}; },
       "neither a dump's header nor a difference file's: 'hello'"},
      {"a missing file", [](Files& f) { return std::vector<std::string>{f.tmp / "none.csv"}; },
       "cannot open"},
      {"an empty file", [](Files& f) { return std::vector<std::string>{f.Write("e.csv", "")}; }, "empty"},
      {"a record given for its dump",
       [](Files& f) { return std::vector<std::string>{f.Write("d.csv.json", "{\"ok\": true}\n")}; },
       "a record goes beside its dump"},
      {"an empty folder",
       [](Files& f) { tztest::MakeDirs(f.tmp / "dumps"); return std::vector<std::string>{f.tmp / "dumps"}; },
       "a folder without a dump file"},
      {"a malformed row",
       [](Files& f) { return std::vector<std::string>{f.Write("d.csv", kDumpHeader + "1, 2, x, 4, 0\r\n")}; },
       "line 2: field 3 (Chunk-ID) is not a decimal integer"},
      {"a row cut short",
       [](Files& f) { return std::vector<std::string>{f.Write("d.csv", kDumpHeader + "1, 2, 3, 4, 0")}; },
       "no line end"},
      {"a difference file with one dump",
       [](Files& f) {
         return std::vector<std::string>{f.Write("x.csv", kDiffHeader), f.Write("d.csv", kDumpHeader)};
       },
       "alone or with its two dumps"},
      {"a malformed difference row",
       [](Files& f) { return std::vector<std::string>{f.Write("x.csv", kDiffHeader + "missing,1,2,,5,,0\n")}; },
       "with the wrong sides given"},
      {"dumps that are not the difference file's",
       [](Files& f) {
         // Given in the wrong order: the chunk "missing" from NEW is in NEW only.
         return std::vector<std::string>{f.Write("x.csv", kDiffHeader + "missing,1,2,10,,0,\n"),
                                         f.Write("new.csv", kDumpHeader),
                                         f.Write("old.csv", kDumpHeader + "1, 1, 2, 10, 0\r\n")};
       },
       "are not the difference file's OLD and NEW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Files f;
    std::vector<std::string> args = {"report"};
    for (const std::string& input : c.inputs(f)) args.push_back(input);
    const std::vector<std::string> before = Names(f.tmp.path());
    args.insert(args.end(), {"--output", f.tmp / "page.html"});
    const clitest::RunResult r = RunCli(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(Names(f.tmp.path()), before);  // no page, no temporary file
  }
}

TEST(CliPage, AnOutputThatExistsOrIsAnInputIsRefusedAndKept) {
  Files f;
  const std::string dump = f.Write("d.csv", kDumpHeader + "1, 2, 3, 4, 0\r\n");
  const std::string page = f.Write("page.html", "mine");
  for (const std::string& output : {page, dump}) {
    const clitest::RunResult r = RunCli({"report", dump, "--output", output});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find("give a new file name"), std::string::npos) << r.err;
  }
  EXPECT_EQ(tztest::ReadFile(page), "mine");
  EXPECT_EQ(RunCli({"report", dump}).status, 2);  // --output is required
  const clitest::RunResult help = RunCli({"report", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: tzrecon report INPUT... --output PAGE.html"), std::string::npos);
}

// A difference file alone: every kind counted, the volumes' own figures
// unknown; and a dump whose record says it failed shows "failed".
TEST(CliPage, DifferencesAloneAndAFailedDump) {
  Files f;
  const std::string diff = f.Write("x.csv", kDiffHeader +
                                                "missing,1,2,10,,0,\nnew,1,3,,7,,1\nchanged,2,4,5,6,0,0\n"
                                                "duplicate,2,5,8,,1,\nmissing,2,9,4294967296,,0,\n");
  ASSERT_EQ(RunCli({"report", diff, "--output", f.tmp / "diff.html"}).status, 0);
  const nlohmann::json d = PageData(f.tmp / "diff.html");
  EXPECT_EQ(d["mode"], "diff");
  EXPECT_EQ(d["totals"]["kinds"]["missing"]["count"], 2);
  EXPECT_EQ(d["totals"]["kinds"]["missing"]["oldBytes"], 4294967306u);
  EXPECT_EQ(d["totals"]["kinds"]["new"]["newBytes"], 7);
  EXPECT_EQ(d["totals"]["kinds"]["changed"]["count"], 1);
  EXPECT_TRUE(d["totals"]["rows"]["old"].is_null());
  EXPECT_EQ(d["volumes"].size(), 2u);
  EXPECT_EQ(d["chunks"]["missing"]["rows"][0][6], 5);  // reason unknown: no NEW, no log

  const std::string dump = f.Write("ChunkLister_7_1_100.csv", kDumpHeader + "1, 2, 3, 4, 0\r\n");
  f.Write("ChunkLister_7_1_100.csv.json", R"({"ok": false, "notices": []})");
  ASSERT_EQ(RunCli({"report", dump, "--output", f.tmp / "failed.html"}).status, 0);
  const nlohmann::json failed = PageData(f.tmp / "failed.html");
  EXPECT_EQ(failed["inputs"][0]["state"], "failed");
  EXPECT_EQ(failed["totals"]["rows"], 1);
}

// Paths with markup, quotes and bytes that are not UTF-8 reach the page as
// text in its data, and nothing of them as markup.
TEST(CliPage, PathsOfAnyBytesStayText) {
  Files f;
  const std::string folder = f.tmp / "a</script><!--<b>&\"'\xff";
  tztest::MakeDirs(folder);
  tztest::WriteFile(folder + "/ChunkLister_7_3_200.csv", kDumpHeader + "3, 9, 1, 100, 0\r\n");
  tztest::WriteFile(folder + "/ChunkLister_7_3_100.csv", kDumpHeader + "3, 9, 1, 50, 0\r\n");
  ASSERT_EQ(RunCli({"report", folder, "--output", f.tmp / "page.html"}).status, 0);
  const std::string html = tztest::ReadFile(f.tmp / "page.html");
  EXPECT_EQ(html.find("<b>"), std::string::npos);
  EXPECT_EQ(html.find("<!--<"), std::string::npos);
  const nlohmann::json d = PageData(f.tmp / "page.html");
  ASSERT_EQ(d["inputs"].size(), 1u);  // the newest dump of the mount path
  EXPECT_EQ(d["inputs"][0]["path"], f.tmp / "a</script><!--<b>&\"'\xEF\xBF\xBD/ChunkLister_7_3_200.csv");
  EXPECT_EQ(d["totals"]["bytes"], 100);
  EXPECT_NE(d["notes"][0].get<std::string>().find("ChunkLister_7_3_100.csv"), std::string::npos);
}

// The folder of a real --all-mount-paths run: one group of volumes a mount
// path, each dump complete by its record.
TEST(CliPage, AFolderOfAllMountPaths) {
  tztest::TempDir tmp;
  for (const char* lib : {"lib1", "lib2"})
    ASSERT_EQ(RunCli({"sample", tmp / lib, "--volumes", "3", "--chunks-per-volume", "4", "--copy-id", "7"}).status, 0);
  tztest::WriteFile(tmp / "reg.json", R"({"mountPaths": [{"id": 1, "path": "lib1"}, {"id": 2, "path": "lib2"}]})");
  tztest::MakeDirs(tmp / "dumps");
  ASSERT_EQ(RunCli({"dump", "--all-mount-paths", "--copy-id", "7", "--dump-dir", tmp / "dumps", "--config",
                    tmp / "reg.json", "--quiet"}).status, 0);
  ASSERT_EQ(RunCli({"report", tmp / "dumps", "--output", tmp / "page.html"}).status, 0);
  const nlohmann::json d = PageData(tmp / "page.html");
  ASSERT_EQ(d["inputs"].size(), 2u);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(d["inputs"][i]["state"], "complete");
    EXPECT_EQ(d["inputs"][i]["mountPathIds"][0], i + 1);
    EXPECT_EQ(d["inputs"][i]["rows"], 12);
  }
  EXPECT_EQ(d["totals"]["rows"], 24);
  EXPECT_EQ(d["volumes"].size(), 6u);
}

}  // namespace

namespace {

// The reasons of missing chunks come from the dump's own lines of a log
// that other processes and earlier runs share: its pid, its seconds.
TEST(CliPageReasons, TakesTheDumpsOwnLinesOfASharedLog) {
  tztest::TempDir tmp;
  tztest::MakeDirs(tmp / "d");
  const std::string in = "2026-01-02T03:04:05.000001Z ", before = "2026-01-02T03:04:03.000001Z ";
  const std::string trailerTag = " -1 ChunkListHelper::GetVolumeAndChunkIdFromCMT ";
  tztest::WriteFile(tmp / "d/tzrecon.log",
      in + "42 42" + trailerTag + "Error :: Failed to open volume label file [/mp/V_2/CHUNKMAP_TRAILER_5]\n" +
      in + "42 42" + trailerTag + "Chunk Id in chunk map trailer [99] and in chunk file name [9] do not match\n" +
      in + "42 42" + trailerTag + "Volume Id in Chunk [8] and in volume folder [3] do not match.\n" +
      in + "42 42" + trailerTag + "Error :: Failed to read 1024 bytes from CMT\n" +
      in + "42 42" + trailerTag + "Error :: Chunk map trailer [/mp/V_6/CHUNKMAP_TRAILER_11] is left out: shorter than 1024 bytes\n" +
      in + "42 42 -1 ChunkListHelper::VerifyVolume Error :: Failed to open volume label file [/mp/V_4/MEDIA_LABEL]\n" +
      in + "43 43" + trailerTag + "Error :: Failed to open volume label file [/mp/V_7/CHUNKMAP_TRAILER_1]\n" +
      before + "42 42" + trailerTag + "Error :: Failed to open volume label file [/mp/V_8/CHUNKMAP_TRAILER_2]\n" +
      in + "42 42 2 ChunkListHelper::VerifyVolume Error :: Failed to open volume label file [/mp/V_9/MEDIA_LABEL]");
  // The log named as the dump wrote it, from another folder: found beside the dump.
  const nlohmann::ordered_json record = {
      {"ok", true}, {"log", "elsewhere/tzrecon.log"}, {"pid", 42},
      {"started", "2026-01-02T03:04:04Z"}, {"ended", "2026-01-02T03:04:06Z"},
      {"notices", {{{"kind", "chunkLeftOut"}, {"count", 4}}, {{"kind", "volumeSkipped"}, {"count", 1}}}}};
  tzcli::page::MissingReasons reasons;
  reasons.Load(tmp / "d/ChunkLister_7_1_100.csv", &record);
  using tzcli::page::Reason;
  const struct {
    int32_t volume, chunk;
    Reason reason;
  } cases[] = {
      {2, 5, Reason::kTrailerMissing},  {1, 9, Reason::kTrailerMismatch},
      {3, 1, Reason::kTrailerMismatch}, {3, 2, Reason::kAbsent},  // one line, one chunk
      {6, 11, Reason::kTrailerShort},   {4, 77, Reason::kLabelUnreadable},
      {7, 1, Reason::kAbsent},          {8, 2, Reason::kAbsent},  // another process; before the dump
      {9, 1, Reason::kAbsent},                                    // not a failure line
  };
  for (const auto& c : cases)
    EXPECT_EQ(reasons.Of(c.volume, c.chunk), c.reason) << c.volume << "/" << c.chunk;
  EXPECT_NE(reasons.source().find(": 5 lines"), std::string::npos) << reasons.source();

  // A record that names no notice needs no log; no record, no reason.
  tzcli::page::MissingReasons clean, none;
  const nlohmann::ordered_json quiet = {{"ok", true}, {"log", nullptr}, {"notices", nlohmann::ordered_json::array()}};
  clean.Load(tmp / "d/x.csv", &quiet);
  none.Load(tmp / "d/x.csv", nullptr);
  EXPECT_EQ(clean.Of(2, 5), Reason::kAbsent);
  EXPECT_EQ(none.Of(2, 5), Reason::kUnknown);
}

}  // namespace
