// tzrecon sample, then tzrecon dump on it: the dump holds one row per chunk
// that the sample wrote (read back from disk on its own); a successful dump
// reports its notices counted by kind, a failing one its failure lines; the
// exit status tells the two apart; progress appears only on a terminal; and
// --all-mount-paths gives the dumps that single dumps give.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>

#include "CliTestSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using clitest::Lines;
using clitest::Row;
using clitest::RunCli;

namespace {

const std::string kHeader = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";

// What a shell command prints on standard output.
std::string Command(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  pclose(pipe);
  return out;
}

// The record beside the dump file of `summary` (a --json summary): the
// summary itself, and what the file holds, its times and tzrecon's version,
// checked with other tools.
void CheckRecord(const nlohmann::json& summary, time_t before, time_t after) {
  const std::string file = summary.at("dumpFile");
  ASSERT_EQ(summary.at("record"), file + ".json");
  const nlohmann::json record = nlohmann::json::parse(tztest::ReadFile(file + ".json"));
  for (const auto& [key, value] : summary.items()) EXPECT_EQ(record.at(key), value) << key;
  EXPECT_EQ(record.at("rows"), clitest::DumpRows(file).size());
  EXPECT_EQ(record.at("bytes"), fs::file_size(file));
  EXPECT_EQ(record.at("sha256"), Command("sha256sum '" + file + "'").substr(0, 64));
  const int64_t started = record.at("startedUnix"), ended = record.at("endedUnix");
  EXPECT_LE(before, started);
  EXPECT_LE(started, ended);
  EXPECT_LE(ended, after);
  for (const auto& [iso, seconds] : {std::pair<const char*, int64_t>{"started", started}, {"ended", ended}})
    EXPECT_EQ(record.at(iso).get<std::string>() + "\n",
              Command("date -u -d @" + std::to_string(seconds) + " +%Y-%m-%dT%H:%M:%SZ"));
  EXPECT_EQ(record.at("tzreconVersion"), TZRECON_VERSION);
}

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
    // What was seen, and the likely mistake.
    EXPECT_NE(other.out.find("no rows; the mount path [" + sample.mountPath + "] holds 5 volume "
                             "folders: " + (si ? "5 single-instanced, 0 not" : "0 single-instanced, 5 not") +
                             "; their media labels name copy 3 (5)"),
              std::string::npos)
        << other.out;
    const std::string hint = copyId == "9" ? "hint: no volume belongs to copy 9: check --copy-id"
                             : mode      ? "hint: the 5 volumes of copy 3 are not single-instanced: "
                                           "leave out --single-instanced"
                                         : "hint: the 5 volumes of copy 3 are single-instanced: add "
                                           "--single-instanced";
    EXPECT_EQ(lines.back(), hint) << other.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, CliRoundTrip, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                           return p.param ? "SingleInstanced" : "Plain";
                         });

TEST(CliDump, FailureShowsTheLogsFailureLinesOnStandardError) {
  tztest::TempDir tmp;
  const std::string registry = tmp / "registry.json";
  tztest::WriteFile(registry, "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + tmp.path() +
                                  "\"}, {\"id\": 5, \"path\": \"no-such-folder\"}]}");
  const std::string log = tmp / "host.log";
  // A failure of an earlier run must not be shown again.
  const std::string earlier =
      "2020-01-01T00:00:00.000000Z 1 1 -1 Earlier::Run an earlier failure\n";
  struct Case {
    std::string id;
    std::string shown;  // a text of the failure on standard error
  };
  const Case cases[] = {
      // Not registered: the library decides, tzrecon adds the registered ids.
      {"99", "hint: mount path 99 is not in the registry " + registry + "; registered: 1, 5"},
      // Registered, relative to the registry's folder, and missing.
      {"5", "Failed to open directory [" + tmp.path() + "/no-such-folder/]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    tztest::WriteFile(log, earlier);
    const clitest::RunResult r =
        RunCli({"dump", "--mount-path-id", c.id, "--copy-id", "1", "--dump-dir", tmp.path(),
                "--config", registry, "--log", log, "--log-level", "2"},
               {{"TZRECON_LOG", tmp / "other.log"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(tmp / "other.log"));
    EXPECT_NE(r.err.find(c.shown), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("tzrecon dump: failure lines of the log (" + log + "):"),
              std::string::npos)
        << r.err;

    const std::string text = tztest::ReadFile(log);
    ASSERT_EQ(text.rfind(earlier, 0), 0u);
    int failures = 0;
    for (const std::string& line : Lines(text.substr(earlier.size()))) {
      // "<time> <pid> <tid> <level> <tag> <message>": tag and message are shown.
      std::istringstream fields(line);
      std::string time, pid, tid, level;
      fields >> time >> pid >> tid >> level;
      const std::string shown = "  " + line.substr(static_cast<size_t>(fields.tellg()) + 1) + "\n";
      if (level == "-1") {
        ++failures;
        EXPECT_NE(r.err.find(shown), std::string::npos) << "not shown: " << line << "\n" << r.err;
      } else {
        EXPECT_EQ(r.err.find(shown), std::string::npos) << "level " << level << " shown: " << line;
      }
    }
    EXPECT_GE(failures, 1) << text;
    EXPECT_EQ(r.err.find("an earlier failure"), std::string::npos) << r.err;
  }
}

// --flags and the exit status: the library decides, tzrecon warns when the
// flags select no dump.
TEST(CliDump, FlagsAreHandedToTheLibraryAsGiven) {
  tztest::TempDir tmp;
  const std::string registry = tmp / "registry.json";
  tztest::WriteFile(registry, "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + tmp.path() + "\"}]}");
  struct Case {
    std::string flags;
    int status;
    bool warned;
    std::string shown;  // on standard output when 0, on standard error when 1
  };
  const Case cases[] = {
      {"12", 0, false, "dumps done (flags 12)"},  // the SIDB dumps: no file
      {"1", 0, true, "dumps done (flags 1)"},     // a bit without meaning: nothing done
      {"0", 1, true, "No Dump flags set."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.flags);
    const std::string dumpDir = tmp / ("dumps" + c.flags);
    tztest::MakeDirs(dumpDir);
    const clitest::RunResult r = RunCli({"dump", "--mount-path-id", "1", "--copy-id", "1",
                                         "--dump-dir", dumpDir, "--config", registry, "--flags",
                                         c.flags});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE((c.status == 0 ? r.out : r.err).find(c.shown), std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.err.find("--flags " + c.flags + " selects no dump") != std::string::npos, c.warned)
        << r.err;
    for (const fs::directory_entry& e : fs::directory_iterator(dumpDir))
      EXPECT_EQ(e.path().filename(), "tzrecon.log");  // no dump file
  }
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
  // dump has ended, counts what the walk reached of the volumes listed.
  EXPECT_NE(r.err.find("\rtzrecon: 3 of 3 volumes (100%), 1200 chunks, "), std::string::npos) << r.err;
  // On a terminal, sizes are shown for people too.
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\n1200 rows, [0-9]+\\.[0-9] KiB \\([0-9]+ bytes\\), ")))
      << r.err;
}

// One sample, flawed on purpose: V_1's trailer of chunk 1 names chunk 2,
// V_2's trailer of chunk 51 is short (two lines, one notice), and V_3's
// media label is too short to read. Registered as a disk (1) and a
// folder-store cloud (2) mount path. What each output mode shows.
TEST(CliDump, OutputModesReportTheNoticesByKind) {
  Sample sample;
  ASSERT_NO_FATAL_FAILURE(sample.Make({"--volumes", "3", "--chunks-per-volume", "50"}));
  std::string trailer = "VolumeId 1\nChunkId 2\n";
  trailer.resize(1024, '\0');
  tztest::WriteFile(sample.mountPath + "/V_1/CHUNKMAP_TRAILER_1", trailer);
  tztest::WriteFile(sample.mountPath + "/V_3/MEDIA_LABEL", "short");
  tztest::WriteFile(sample.mountPath + "/V_2/CHUNKMAP_TRAILER_51", "VolumeId 2\nChunkId 51\n");
  tztest::WriteFile(sample.registry, "{\"mountPaths\": [{\"id\": 1, \"path\": \"mp\"}, "
                                     "{\"id\": 2, \"path\": \"mp\", \"type\": 7}]}");
  const std::string log = sample.tmp / "host.log";
  // Per mount path: rows, and the notices by kind and form.
  using Notices = std::map<std::string, uint64_t>;  // "<kind> <form>" -> count
  const std::map<int, std::pair<uint64_t, Notices>> expected = {
      {1,
       {98,
        {{"chunkLeftOut Chunk Id in chunk map trailer [...] and in chunk file name [...] do not match", 1},
         {"chunkLeftOut Error :: Failed to read 1024 bytes from CMT", 1},
         {"volumeSkipped Error :: Media-label file Read error(...)", 1}}}},
      // The cloud walk reads no trailers, and passes over every file of a
      // volume that is not a chunk: its label and 50 trailers.
      {2,
       {100,
        {{"entryPassedOver This is not a chunk [...], skipping", 102},
         {"volumeSkipped Error :: Media-label file Read error(...)", 1}}}},
  };
  struct Mode {
    std::string name;
    std::vector<std::string> args;
    std::function<void(int id, const clitest::RunResult&, const std::string& dumpDir)> check;
  };
  const auto dumpFileIn = [](const std::string& dumpDir) {
    std::string found;
    for (const fs::directory_entry& e : fs::directory_iterator(dumpDir))
      if (e.path().extension() == ".csv") found = e.path().string();
    return found;
  };
  const std::vector<Mode> modes = {
      {"summary", {}, [&](int id, const clitest::RunResult& r, const std::string& dumpDir) {
         const std::vector<std::string> out = Lines(r.out);
         const auto& [rows, notices] = expected.at(id);
         ASSERT_GE(out.size(), 2u + notices.size() + 1) << r.out;
         EXPECT_EQ(out[0], dumpFileIn(dumpDir));
         EXPECT_EQ(out[1].rfind(std::to_string(rows) + " rows, ", 0), 0u) << out[1];
         EXPECT_EQ(out[2], "notices (the lines are in " + log + "):");
         for (const auto& [key, count] : notices) {
           const std::string form = key.substr(key.find(' ') + 1);
           const bool one = count == 1;
           const std::string kind = key.rfind("chunkLeftOut", 0) == 0 ? (one ? "chunk left out" : "chunks left out")
                                    : key.rfind("volumeSkipped", 0) == 0 ? (one ? "volume skipped" : "volumes skipped")
                                                                         : (one ? "entry passed over" : "entries passed over");
           EXPECT_NE(std::find(out.begin(), out.end(), "  " + std::to_string(count) + " " + kind + ": " + form),
                     out.end())
               << r.out;
         }
       }},
      {"quiet", {"--quiet"}, [&](int, const clitest::RunResult& r, const std::string& dumpDir) {
         EXPECT_EQ(r.out, dumpFileIn(dumpDir) + "\n");
       }},
      {"json", {"--json"}, [&](int id, const clitest::RunResult& r, const std::string& dumpDir) {
         ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
         const nlohmann::json j = nlohmann::json::parse(r.out);
         const std::string file = dumpFileIn(dumpDir);
         EXPECT_EQ(j.at("ok"), true);
         EXPECT_EQ(j.at("dumpFile"), file);
         EXPECT_EQ(j.at("mountPathId"), id);
         EXPECT_EQ(j.at("copyId"), 1);
         EXPECT_EQ(j.at("kind"), id == 1 ? "disk" : "cloud");
         EXPECT_EQ(j.at("rows"), expected.at(id).first);
         EXPECT_EQ(j.at("rows"), clitest::DumpRows(file).size());
         EXPECT_EQ(j.at("bytes"), fs::file_size(file));
         EXPECT_EQ(j.at("log"), log);
         EXPECT_GE(j.at("seconds").get<double>(), 0.0);
         Notices notices;
         for (const nlohmann::json& n : j.at("notices"))
           notices[n.at("kind").get<std::string>() + " " + n.at("message").get<std::string>()] +=
               n.at("count").get<uint64_t>();
         EXPECT_EQ(notices, expected.at(id).second);
       }},
  };
  for (int id : {1, 2}) {
    for (const Mode& mode : modes) {
      SCOPED_TRACE(mode.name + " of mount path " + std::to_string(id));
      const std::string dumpDir = sample.DumpDir("dumps-" + mode.name + std::to_string(id));
      std::vector<std::string> args = {"dump", "--mount-path-id", std::to_string(id), "--copy-id",
                                       "1", "--dump-dir", dumpDir, "--config", sample.registry,
                                       "--log", log};
      args.insert(args.end(), mode.args.begin(), mode.args.end());
      const time_t before = time(nullptr);
      const clitest::RunResult r = RunCli(args);
      const time_t after = time(nullptr);
      ASSERT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "") << "a successful dump writes nothing on standard error";
      mode.check(id, r, dumpDir);
      if (mode.name == "json") CheckRecord(nlohmann::json::parse(r.out), before, after);
      EXPECT_TRUE(fs::exists(dumpFileIn(dumpDir) + ".json")) << "no record in " << mode.name;
      // The rows that were left out.
      for (const Row& row : clitest::DumpRows(dumpFileIn(dumpDir))) {
        EXPECT_NE(row.volumeId, 3);
        if (id == 1) {
          EXPECT_NE(row.chunkId, 1);
        }
      }
    }
  }
  // Standard output that cannot be written fails the command.
  const clitest::RunResult full = clitest::RunCliToFile(
      "/dev/full", {"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir",
                    sample.DumpDir("dumps-full"), "--config", sample.registry, "--log", log});
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("tzrecon: cannot write to standard output: No space left on device"),
            std::string::npos)
      << full.err;
}

// Three disk mount paths and one folder-store cloud mount path (paths
// relative to the registry's folder): --all-mount-paths gives the four dumps
// that four single dumps give, and one table; a fifth mount path that fails
// fails the command, not the other dumps.
TEST(CliDump, AllMountPathsGivesTheDumpsOfSingleDumps) {
  tztest::TempDir tmp;
  std::string entries;
  for (int id = 1; id <= 4; ++id) {
    const clitest::RunResult made =
        RunCli({"sample", tmp / ("mp" + std::to_string(id)), "--volumes", "2",
                "--chunks-per-volume", std::to_string(20 + id), "--copy-id", "5", "--seed",
                std::to_string(id)});
    ASSERT_EQ(made.status, 0) << made.err;
    entries += std::string(id > 1 ? ", " : "") + "{\"id\": " + std::to_string(id) +
               ", \"path\": \"mp" + std::to_string(id) + "\"" + (id == 4 ? ", \"type\": 7" : "") + "}";
  }
  const std::string registry = tmp / "registry.json";
  tztest::WriteFile(registry, "{\"mountPaths\": [" + entries + "]}");
  const std::string log = tmp / "host.log";

  // The single dumps, one folder each.
  std::map<int, std::vector<Row>> single;
  for (int id = 1; id <= 4; ++id) {
    const std::string dir = tmp / ("single" + std::to_string(id));
    tztest::MakeDirs(dir);
    const clitest::RunResult r =
        RunCli({"dump", "--mount-path-id", std::to_string(id), "--copy-id", "5", "--dump-dir", dir,
                "--config", registry, "--log", log, "--quiet"});
    ASSERT_EQ(r.status, 0) << r.err;
    single[id] = clitest::DumpRows(Lines(r.out).at(0));
    EXPECT_EQ(single[id].size(), 2u * (20 + id));
  }

  const std::string all = tmp / "all";
  tztest::MakeDirs(all);
  const clitest::RunResult r =
      RunCli({"dump", "--all-mount-paths", "--copy-id", "5", "--dump-dir", all, "--config",
              registry, "--log", log, "--jobs", "3"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  const std::vector<std::string> out = Lines(r.out);
  // One table: a header, a row per mount path in registry order, a total.
  // ... and the cloud dump's notices: a line naming the log, one per form.
  ASSERT_EQ(out.size(), 8u) << r.out;
  EXPECT_EQ(out[6], "  50 entries passed over: This is not a chunk [...], skipping");
  EXPECT_EQ(out[0].find("mount path"), 0u + out[0].find_first_not_of(' '));
  int seen = 0;
  for (int id = 1; id <= 4; ++id) {
    std::istringstream row(out[static_cast<size_t>(id)]);
    std::string mountPath, kind, outcome, rows, bytes, seconds, notices, file;
    row >> mountPath >> kind >> outcome >> rows >> bytes >> seconds >> notices >> file;
    EXPECT_EQ(mountPath, std::to_string(id));
    EXPECT_EQ(kind, id == 4 ? "cloud" : "disk");
    EXPECT_EQ(outcome, "done");
    EXPECT_EQ(rows, std::to_string(single[id].size()));
    EXPECT_EQ(fs::path(file).parent_path(), fs::path(all));
    EXPECT_EQ(bytes, std::to_string(fs::file_size(file)));
    EXPECT_TRUE(clitest::DumpRows(file) == single[id]) << "mount path " << id;
    ++seen;
  }
  EXPECT_EQ(seen, 4);
  EXPECT_EQ(out.back(), "4 of 4 mount paths dumped, 0 failed");

  // A fifth mount path whose folder is missing, as one JSON array.
  tztest::WriteFile(registry, "{\"mountPaths\": [" + entries +
                                  ", {\"id\": 5, \"path\": \"missing\"}]}");
  const std::string again = tmp / "again";
  tztest::MakeDirs(again);
  const clitest::RunResult failed =
      RunCli({"dump", "--all-mount-paths", "--copy-id", "5", "--dump-dir", again, "--config",
              registry, "--log", log, "--json"});
  EXPECT_EQ(failed.status, 1);
  const nlohmann::json array = nlohmann::json::parse(failed.out);
  ASSERT_EQ(array.size(), 5u) << failed.out;
  for (int id = 1; id <= 5; ++id) {
    const nlohmann::json& j = array[static_cast<size_t>(id - 1)];
    EXPECT_EQ(j.at("mountPathId"), id);
    EXPECT_EQ(j.at("ok"), id != 5);
    if (id == 5) {
      EXPECT_TRUE(j.at("rows").is_null());
      EXPECT_NE(j.at("failureLines").dump().find("Failed to open directory"), std::string::npos)
          << j.dump();
    } else {
      EXPECT_TRUE(clitest::DumpRows(j.at("dumpFile").get<std::string>()) == single[id]);
      EXPECT_TRUE(fs::exists(j.at("record").get<std::string>())) << j.dump();
    }
  }
}

// A file at the dump's name that this run did not write (another run's dump
// of the same second) is never named as this run's dump, nor recorded.
TEST(CliDump, AFileAtTheDumpNameIsNeverNamedAsTheDump) {
  Sample sample;
  ASSERT_NO_FATAL_FAILURE(sample.Make({"--volumes", "1", "--chunks-per-volume", "5",
                                       "--mount-path-id", "4"}));
  const std::string dumpDir = sample.DumpDir("dumps");
  const std::string other = "another run's dump\r\n";
  std::set<std::string> names = {"tzrecon.log"};
  const time_t now = time(nullptr);
  for (time_t t = now; t < now + 600; ++t) {
    const std::string name = "ChunkLister_1_4_" + std::to_string(t) + ".csv";
    tztest::WriteFile(dumpDir + "/" + name, other);
    names.insert(name);
  }
  for (const bool json : {true, false}) {
    std::vector<std::string> args = sample.DumpArgs(dumpDir, "1", false);
    if (json) args.push_back("--json");
    const clitest::RunResult r = RunCli(args);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE((json ? r.out : r.err).find("A file already exists at the dump file's name"),
              std::string::npos) << r.out << r.err;
    EXPECT_EQ(r.err.find("may be incomplete"), std::string::npos) << r.err;
    if (json) {
      const nlohmann::json j = nlohmann::json::parse(r.out);
      EXPECT_EQ(j.at("ok"), false);
      EXPECT_TRUE(j.at("dumpFile").is_null()) << j.dump();
      EXPECT_TRUE(j.at("record").is_null()) << j.dump();
    }
  }
  std::set<std::string> found;
  for (const fs::directory_entry& e : fs::directory_iterator(dumpDir)) {
    found.insert(e.path().filename().string());
    if (e.path().extension() == ".csv") {
      EXPECT_EQ(tztest::ReadFile(e.path()), other) << e.path();
    }
  }
  EXPECT_EQ(found, names) << "a record, or a file of this run";
}

// A walk held part-way: its log is a FIFO that the test opens but never
// reads, so once the pipe is full every dump waits on its next log line
// (a sample logs far more than a pipe holds at log level 2).
struct HeldDumps {
  Sample sample;
  std::string dumpDir;
  std::string log = sample.tmp / "log.fifo";
  int fifo = -1;
  pid_t pid = -1;
  int terminal = -1;  // with a terminal: its other side

  // Starts `tzrecon dump` on mount paths 1 to `mountPaths` of one sample.
  void Start(int mountPaths, std::vector<std::string> extra, bool onTerminal = false) {
    ASSERT_NO_FATAL_FAILURE(sample.Make({"--volumes", "4", "--chunks-per-volume", "500"}));
    std::string entries;
    for (int id = 1; id <= mountPaths; ++id)
      entries += (id > 1 ? ", " : "") + std::string("{\"id\": ") + std::to_string(id) +
                 ", \"path\": \"mp\"}";
    tztest::WriteFile(sample.registry, "{\"mountPaths\": [" + entries + "]}");
    dumpDir = sample.DumpDir("dumps");
    ASSERT_EQ(mkfifo(log.c_str(), 0644), 0);
    fifo = open(log.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fifo, 0);
    std::vector<std::string> args = {"dump", "--copy-id", "1", "--dump-dir", dumpDir, "--config",
                                     sample.registry, "--log", log, "--log-level", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    pid = onTerminal ? clitest::StartOnTerminal(args, &terminal)
                     : clitest::StartCli(args, sample.tmp / "out", sample.tmp / "err");
    ASSERT_GT(pid, 0);
  }
  // Adds what the terminal shows to `shown`; false at its end.
  bool ReadTerminal(std::string& shown) const {
    pollfd p = {terminal, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n > 0) shown.append(buffer, static_cast<size_t>(n));
    return n > 0 || (n < 0 && errno == EINTR);
  }
  // Whether the pipe is full: the walks cannot end any more.
  bool Held() const {
    const int capacity = fcntl(fifo, F_GETPIPE_SZ);
    int queued = 0;
    return ioctl(fifo, FIONREAD, &queued) == 0 && queued >= capacity - 4096;
  }
  // The files the dumps left in their folder, beside the log.
  std::vector<std::string> Left() const {
    std::vector<std::string> left;
    for (const fs::directory_entry& e : fs::directory_iterator(dumpDir))
      left.push_back(e.path().filename().string());
    return left;
  }
  ~HeldDumps() {
    if (pid > 0 && !clitest::Ended(pid)) kill(pid, SIGKILL);
    if (pid > 0) clitest::WaitCli(pid);
    if (fifo >= 0) close(fifo);
    if (terminal >= 0) close(terminal);
  }
};

// SIGINT, SIGTERM and SIGHUP end a dump with 128 + the signal, say so, and
// leave nothing at a dump name and no record.
TEST(CliDumpSignals, AStopSignalEndsADumpLeavingNothing) {
  for (const auto& [sig, name] : {std::pair<int, std::string>{SIGINT, "SIGINT"},
                                  {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}}) {
    SCOPED_TRACE(name);
    HeldDumps held;
    ASSERT_NO_FATAL_FAILURE(held.Start(1, {"--mount-path-id", "1"}));
    ASSERT_TRUE(clitest::WaitUntil([&] { return held.Held(); }));
    kill(held.pid, sig);
    EXPECT_EQ(clitest::WaitCli(held.pid), 128 + sig);
    held.pid = -1;
    EXPECT_EQ(tztest::ReadFile(held.sample.tmp / "err"),
              "tzrecon: interrupted by " + name + "; no dump was published\n");
    EXPECT_EQ(held.Left(), std::vector<std::string>{}) << "left at a dump name";
  }
}

// On a terminal the status line is ended before the line of the signal.
TEST(CliDumpSignals, TheStatusLineIsEndedFirst) {
  HeldDumps held;
  ASSERT_NO_FATAL_FAILURE(held.Start(1, {"--mount-path-id", "1"}, true));
  std::string shown;
  ASSERT_TRUE(clitest::WaitUntil([&] {
    held.ReadTerminal(shown);
    return held.Held() && shown.find("\rtzrecon: ") != std::string::npos;
  })) << shown;
  kill(held.pid, SIGTERM);
  while (held.ReadTerminal(shown)) {
  }
  EXPECT_EQ(clitest::WaitCli(held.pid), 128 + SIGTERM);
  held.pid = -1;
  // The terminal shows each line end as CR LF.
  const std::string last = "tzrecon: interrupted by SIGTERM; no dump was published\r\n";
  ASSERT_GT(shown.size(), last.size());
  EXPECT_EQ(shown.substr(shown.size() - last.size()), last) << shown;
  EXPECT_EQ(shown.substr(shown.size() - last.size() - 5, 5), "\033[K\r\n") << shown;
}

// --all-mount-paths: SIGTERM reaches every running child; the parent waits
// for them, names the interrupted mount paths and exits 143; and a parent
// killed outright takes its children with it.
TEST(CliDumpSignals, NoChildOutlivesItsParent) {
  for (const bool outright : {false, true}) {
    SCOPED_TRACE(outright ? "SIGKILL" : "SIGTERM");
    HeldDumps held;
    ASSERT_NO_FATAL_FAILURE(held.Start(4, {"--all-mount-paths", "--jobs", "2", "--json"}));
    std::vector<pid_t> children;
    ASSERT_TRUE(clitest::WaitUntil([&] {
      children = clitest::ChildrenOf(held.pid);
      return children.size() == 2 && held.Held();
    }));
    kill(held.pid, outright ? SIGKILL : SIGTERM);
    EXPECT_EQ(clitest::WaitCli(held.pid), outright ? 128 + SIGKILL : 128 + SIGTERM);
    held.pid = -1;
    EXPECT_TRUE(clitest::WaitUntil([&] {
      return std::all_of(children.begin(), children.end(), clitest::Ended);
    })) << "a child outlived its parent";
    EXPECT_EQ(held.Left(), std::vector<std::string>{}) << "left at a dump name";
    if (outright) continue;
    const nlohmann::json array = nlohmann::json::parse(tztest::ReadFile(held.sample.tmp / "out"));
    ASSERT_EQ(array.size(), 4u);
    for (const nlohmann::json& j : array) {
      EXPECT_EQ(j.at("interrupted"), "SIGTERM") << j.dump();
      EXPECT_TRUE(j.at("dumpFile").is_null()) << j.dump();
    }
    EXPECT_NE(tztest::ReadFile(held.sample.tmp / "err")
                  .find("tzrecon: interrupted by SIGTERM; mount paths not dumped: 1, 2, 3, 4\n"),
              std::string::npos);
  }
}

}  // namespace

namespace {

// Lets held dumps go on a little: takes up to 16 KiB of their log.
void Release(const HeldDumps& held) {
  char buffer[16384];
  while (read(held.fifo, buffer, sizeof buffer) < 0 && errno == EINTR) {
  }
}

// Lets held dumps run to their end, gathering what the terminal shows.
void RunToTheEnd(const HeldDumps& held, std::string& shown) {
  char buffer[65536];
  do {
    while (read(held.fifo, buffer, sizeof buffer) > 0) {
    }
  } while (held.ReadTerminal(shown));
}

// Once the root is listed, the status line shows the volumes done of the
// total, a percentage and an ETA; the last line all the volumes.
TEST(CliDumpProgress, VolumesOfTheTotalAndAnEta) {
  HeldDumps held;
  ASSERT_NO_FATAL_FAILURE(held.Start(1, {"--mount-path-id", "1"}, true));
  const std::regex eta("tzrecon: [1-3] of 4 volumes \\([0-9]+%\\), [0-9]+ chunks, [0-9]+ chunks/s, "
                       "[0-9.]+ s, ETA [0-9]+:[0-9]{2}\033");
  std::string shown;
  ASSERT_TRUE(clitest::WaitUntil([&] {
    Release(held);
    held.ReadTerminal(shown);
    return std::regex_search(shown, eta);
  })) << shown;
  RunToTheEnd(held, shown);
  EXPECT_EQ(clitest::WaitCli(held.pid), 0) << shown;
  held.pid = -1;
  EXPECT_NE(shown.find("tzrecon: 4 of 4 volumes (100%), 2000 chunks, "), std::string::npos) << shown;
}

// --all-mount-paths: the chunks and the share reached by every running dump,
// as each child sends them.
TEST(CliDumpProgress, EveryRunningDumpOfAllMountPaths) {
  HeldDumps held;
  ASSERT_NO_FATAL_FAILURE(held.Start(2, {"--all-mount-paths", "--jobs", "2"}, true));
  const std::regex both("0 of 2 mount paths done \\(0 failed\\), 2 running \\([12]: [1-9][0-9]* chunks, "
                        "[0-9]+%; [12]: [1-9][0-9]* chunks, [0-9]+%\\), [0-9.]+ s");
  std::string shown;
  ASSERT_TRUE(clitest::WaitUntil([&] {
    Release(held);  // (one dump may be held before its first chunk)
    held.ReadTerminal(shown);
    return std::regex_search(shown, both);
  })) << shown;
  RunToTheEnd(held, shown);
  EXPECT_EQ(clitest::WaitCli(held.pid), 0) << shown;
  held.pid = -1;
  EXPECT_NE(shown.find("2 of 2 mount paths dumped, 0 failed"), std::string::npos) << shown;
}

}  // namespace
