// Mistakes in the registry and on the command line that tzrecon refuses
// before any work: status 2, a message that names the fault (for the
// registry, the entry's place in the file), and nothing written.
#include <gtest/gtest.h>

#include <filesystem>

#include "CliTestSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct Refused {
  std::string name;
  std::vector<std::string> args;  // "@" stands for a complete dump command line
  std::string message;            // text the message must hold
};

TEST(CliRefuses, MistakesBeforeAnyWork) {
  tztest::TempDir tmp;
  const std::string dumps = tmp / "dumps";
  tztest::MakeDirs(dumps);
  tztest::WriteFile(tmp / "a.csv", "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n");
  // Registries whose second entry (mountPaths[1], id 2) holds the fault.
  const auto registry = [&](const std::string& name, const std::string& second) {
    tztest::WriteFile(tmp / name, "{\"mountPaths\": [{\"id\": 1, \"path\": \"lib\"},\n  {\"id\": 2, " +
                                      second + "}]}");
    return tmp / name;
  };
  const std::string s3Field = "is an S3 field: the entry needs \"type\": 7";
  const std::string badType = "\"type\" must be 4 (disk, the default) or 7 (cloud)";
  const std::vector<Refused> cases = {
      {"type 5", {"--config", registry("t5.json", R"("path": "b", "type": 5)")},
       "mountPaths[1] (id 2): " + badType},
      {"type 0", {"--config", registry("t0.json", R"("path": "b", "type": 0)")},
       "mountPaths[1] (id 2): " + badType},
      {"type -1", {"--config", registry("tm.json", R"("path": "b", "type": -1)")},
       "mountPaths[1] (id 2): " + badType},
      {"endpoint without type",
       {"--config", registry("e.json", R"("path": "b/p", "endpoint": "http://127.0.0.1:9")")},
       "mountPaths[1] (id 2): \"endpoint\" " + s3Field},
      {"region on a disk entry",
       {"--config", registry("r.json", R"("path": "b", "type": 4, "region": "eu-west-1")")},
       "mountPaths[1] (id 2): \"region\" " + s3Field},
      {"addressing on a disk entry",
       {"--config", registry("a.json", R"("path": "b", "addressing": "virtual")")},
       "mountPaths[1] (id 2): \"addressing\" " + s3Field},
      {"maxRequestsInFlight on a disk entry",
       {"--config", registry("m.json", R"("path": "b", "maxRequestsInFlight": 4)")},
       "mountPaths[1] (id 2): \"maxRequestsInFlight\" " + s3Field},
      {"negative copy id", {"--copy-id", "-1"}, "--copy-id: '-1' is out of range (0 to 2147483647)"},
      {"sample, negative copy id", {"sample", tmp / "lib", "--copy-id", "-3"},
       "--copy-id: '-3' is out of range (0 to 2147483647)"},
      {"log level below -1", {"--log-level", "-2"}, "--log-level: '-2' is out of range (-1 to 2)"},
      {"log level above 2", {"--log-level", "3"}, "--log-level: '3' is out of range (-1 to 2)"},
      {"metrics in a missing folder", {"--metrics", tmp / "missing/m.prom"},
       "--metrics: the folder '" + (tmp / "missing") + "'"},
      {"metrics on a folder", {"--metrics", dumps}, "--metrics: '" + dumps + "' is a folder"},
      {"progress fd not open", {"--progress-fd", "999"}, "--progress-fd: 999 is not open"},
      {"diff, metrics in a missing folder",
       {"diff", tmp / "a.csv", tmp / "a.csv", "--metrics", tmp / "missing/m.prom"},
       "--metrics: the folder"},
      {"diff, standard input twice", {"diff", "-", "-"}, "'-' (standard input) may be OLD or NEW, not both"},
  };
  const std::string good = registry("good.json", R"("path": "b", "type": 7, "region": "x")");
  for (const Refused& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    if (args[0] != "sample" && args[0] != "diff") {
      // A complete dump command line, the case's options last (a second
      // --config or --copy-id replaces the first).
      std::vector<std::string> line = {"dump", "--mount-path-id", "1", "--dump-dir", dumps};
      if (std::find(args.begin(), args.end(), "--config") == args.end())
        line.insert(line.end(), {"--config", good});
      if (std::find(args.begin(), args.end(), "--copy-id") == args.end())
        line.insert(line.end(), {"--copy-id", "1"});
      line.insert(line.end(), args.begin(), args.end());
      args = line;
    }
    const clitest::RunResult r = clitest::RunCli(args);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(fs::is_empty(dumps));
    EXPECT_FALSE(fs::exists(tmp / "lib"));
  }
  // The same registries pass once the fault is mended.
  const clitest::RunResult ok = clitest::RunCli(
      {"dump", "--mount-path-id", "1", "--copy-id", "0", "--dump-dir", dumps, "--config", good,
       "--log-level", "-1", "--quiet"});
  EXPECT_EQ(ok.status, 1) << ok.err;  // the library ran: "lib" is not there
  EXPECT_NE(ok.err.find("Failed to open directory"), std::string::npos) << ok.err;
}

}  // namespace
