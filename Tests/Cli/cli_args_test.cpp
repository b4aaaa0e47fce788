// tzrecon's command line: bad input (arguments, registry, log file) exits 2
// with a message that names what is wrong and leaves nothing behind, before
// the library runs; help and version exit 0.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>

#include "CliTestSupport.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using clitest::RunCli;

namespace {

struct BadCase {
  std::vector<std::string> args;
  std::string named;  // text the message must contain
  clitest::Env env = {};
};

TEST(CliArgs, BadArgumentsExitTwoNamingTheArgument) {
  tztest::TempDir tmp;
  const std::string dumpDir = tmp / "dumps";
  tztest::MakeDirs(dumpDir);
  const std::string file = tmp / "file";
  tztest::WriteFile(file, "x");
  const std::string config = tmp / "registry.json";
  tztest::WriteFile(config, "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + tmp.path() + "\"}]}");
  // A complete dump command line, to which each case adds or replaces.
  auto dump = [&](std::vector<std::string> extra, bool withDir = true) {
    std::vector<std::string> a = {"dump", "--mount-path-id", "1", "--copy-id", "1"};
    if (withDir) a.insert(a.end(), {"--dump-dir", dumpDir});
    a.insert(a.end(), {"--config", config});
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  const std::string sampleDir = tmp / "sample";
  // Registries with one fault each, and the text that names it.
  auto registry = [&](const std::string& name, const std::string& text) {
    const std::string path = tmp / name;
    tztest::WriteFile(path, text);
    return path;
  };
  const std::string misspelt = registry(
      "misspelt.json", R"({"mountPaths": [{"id": 1, "path": "/a"}, {"id": 2, "path": "/b", "tpye": 7}]})");
  const std::string malformed = registry("malformed.json", R"({"mountPaths": [{"id": 1,]})");
  const std::string wrongType = registry("type.json", R"({"mountPaths": [{"id": 1, "path": 5}]})");
  const std::string noPassword = registry(
      "password.json", R"({"mountPaths": [{"id": 1, "path": "b/p", "type": 7,
        "endpoint": "http://127.0.0.1:9", "passwordEnv": "TZ_TEST_UNSET_PASSWORD"}]})");
  const std::string empty = registry("empty.json", R"({"mountPaths": []})");
  auto withConfig = [&](const std::string& config, std::vector<std::string> extra = {}) {
    std::vector<std::string> a = {"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir",
                                  dumpDir, "--config", config};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
  };
  const std::vector<BadCase> cases = {
      {{"frobnicate"}, "frobnicate"},
      {{"dump", "--copy-id", "1", "--dump-dir", dumpDir}, "--mount-path-id"},
      {{"dump", "--mount-path-id", "1", "--dump-dir", dumpDir}, "--copy-id"},
      {dump({}, false), "--dump-dir"},
      {dump({"--bogus", "3"}), "--bogus"},
      {dump({"--flags"}), "--flags"},                        // value missing at the end
      {{"dump", "--mount-path-id", "1", "--copy-id", "--dump-dir", dumpDir}, "--copy-id"},
      {dump({"--log="}), "--log"},                           // empty value
      {dump({"--copy-id", "2"}), "--copy-id"},               // given twice
      {dump({"--single-instanced=1"}), "--single-instanced"},
      {dump({"--flags", "abc"}), "--flags"},
      {dump({"--flags", "2x"}), "--flags"},
      {dump({"--flags", " 2"}), "--flags"},
      {dump({"--flags", "+2"}), "--flags"},
      {dump({"--flags", "0x2"}), "--flags"},
      {dump({"--flags", "-1"}), "--flags"},
      {dump({"--flags", "4294967296"}), "--flags"},
      {dump({"--cloud-host-param", "2147483648"}), "--cloud-host-param"},
      {dump({"--log-level", "99999999999999999999"}), "--log-level"},
      {{"dump", "--mount-path-id", "-2147483649", "--copy-id", "1", "--dump-dir", dumpDir},
       "--mount-path-id"},
      {{"dump", "--mount-path-id", "1", "--copy-id", "1.5", "--dump-dir", dumpDir}, "--copy-id"},
      {{"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir", tmp / "missing"},
       "--dump-dir"},
      {{"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir", file}, "--dump-dir"},
      {{"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir", dumpDir, "--config",
        tmp / "missing.json"},
       "--config"},
      {dump({"stray"}), "stray"},
      {dump({"--all-mount-paths"}), "--all-mount-paths"},  // and --mount-path-id
      {dump({"--jobs", "2"}), "--jobs"},                     // without --all-mount-paths
      {{"dump", "--all-mount-paths", "--copy-id", "1", "--dump-dir", dumpDir, "--config", config,
        "--jobs", "0"},
       "--jobs"},
      {{"dump", "--all-mount-paths", "--copy-id", "1", "--dump-dir", dumpDir, "--config", config,
        "--flags", "4"},
       "--flags"},
      {dump({"--json", "--quiet"}), "--quiet"},
      // The registry: read whole, before the library is called.
      {withConfig(misspelt), "unknown field \"tpye\" (did you mean \"type\"?)"},
      {withConfig(malformed), "malformed JSON at byte offset"},
      {withConfig(wrongType), "\"path\" must be a string"},
      {withConfig(noPassword), "the variable named by \"passwordEnv\" is not set"},
      {{"dump", "--all-mount-paths", "--copy-id", "1", "--dump-dir", dumpDir, "--config", empty},
       "no mount path is registered"},
      {{"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir", dumpDir}, "--config"},
      {{"dump", "--mount-path-id", "1", "--copy-id", "1", "--dump-dir", dumpDir},
       "TZRECON_CONFIG: " + misspelt,
       {{"TZRECON_CONFIG", misspelt}}},
      // A log that cannot be opened is refused, never replaced by standard error.
      {dump({"--log", tmp / "missing/host.log"}), "--log: cannot open"},
      {dump({"--log", dumpDir}), "--log: cannot open"},  // a folder
      {dump({}), "TZRECON_LOG: cannot open", {{"TZRECON_LOG", tmp / "missing/host.log"}}},
      {{"sample", sampleDir, "--config-out", file}, "--config-out"},  // exists: kept
      {{"sample", sampleDir, "--config-out", tmp / "missing/r.json"}, "--config-out"},
      {{"sample"}, "DIR"},
      {{"sample", sampleDir, "--volumes", "-1"}, "--volumes"},
      {{"sample", sampleDir, "--volumes", "1000001"}, "--volumes"},
      {{"sample", sampleDir, "--chunks-per-volume", "ten"}, "--chunks-per-volume"},
      {{"sample", sampleDir, "--seed", "-3"}, "--seed"},
      {{"sample", sampleDir, "--copy-id", "4294967295"}, "--copy-id"},
      {{"sample", sampleDir, "--mount-path-id"}, "--mount-path-id"},
      // More chunks than 32-bit chunk ids can number.
      {{"sample", sampleDir, "--volumes", "1000", "--chunks-per-volume", "3000000"},
       "--chunks-per-volume"},
      {{"sample", sampleDir, "--volumes", "200", "--chunks-per-volume", "3000000",
        "--single-instanced"},
       "--chunks-per-volume"},
      {{"sample", sampleDir, "other"}, "other"},
      {{"sample", file}, file},                              // not a folder
      {{"sample", "--dump-only", file, "--rows", "5"}, "--dump-only: '" + file + "' exists"},
  };
  for (const BadCase& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    SCOPED_TRACE(shown);
    const clitest::RunResult r = RunCli(c.args, c.env);
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_NE(r.err.find(c.named), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    // Nothing ran: no dump file, no sample.
    EXPECT_TRUE(fs::is_empty(dumpDir));
    EXPECT_FALSE(fs::exists(sampleDir));
    EXPECT_EQ(tztest::ReadFile(file), "x");
  }
}

TEST(CliArgs, SampleRefusesAFolderThatIsNotEmpty) {
  tztest::TempDir tmp;
  tztest::WriteFile(tmp / "precious", "keep me");
  // The registry file is made before the sample and removed with the failure.
  const clitest::RunResult r =
      RunCli({"sample", tmp.path(), "--volumes", "1", "--config-out", tmp / "registry.json"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("not empty"), std::string::npos) << r.err;
  EXPECT_EQ(tztest::ReadFile(tmp / "precious"), "keep me");
  EXPECT_FALSE(fs::exists(tmp / "V_1"));
  EXPECT_FALSE(fs::exists(tmp / "registry.json"));
}

// A thread that cannot be started gives a message and the command's status,
// never an abort. Here no thread can: the stack limit, which new threads
// take as their stack size, is beyond the address space.
TEST(CliArgs, ThreadsThatCannotStartGiveAMessage) {
  tztest::TempDir tmp;
  const std::string dump = tmp / "a.csv";
  tztest::WriteFile(dump, "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n");
  const struct {
    std::string args;
    int status;
    const char* message;
  } cases[] = {
      {"sample '" + (tmp / "lib") + "' --volumes 2", 1, "tzrecon sample: cannot start a writer thread"},
      {"diff '" + dump + "' '" + dump + "'", 2, "tzrecon diff: cannot start a thread"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string err = tmp / "err";
    const std::string script = "ulimit -s 214748364800 && exec '" + std::string(TZRECON_BIN) +
                               "' " + c.args + " 2> '" + err + "'";
    const int status = system(("bash -c \"" + script + "\"").c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status) << tztest::ReadFile(err);
    EXPECT_NE(tztest::ReadFile(err).find(c.message), std::string::npos) << tztest::ReadFile(err);
  }
}

TEST(CliArgs, HelpExitsZeroAndNoCommandExitsTwo) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"dump", "--help"}, {"sample", "-h"}}) {
    const clitest::RunResult r = RunCli(args);
    EXPECT_EQ(r.status, 0) << args[0];
    EXPECT_NE(r.out.find("usage: tzrecon"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
  }
  const clitest::RunResult version = RunCli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("tzrecon ") + TZRECON_VERSION + "\n");
  const clitest::RunResult none = RunCli({});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("usage: tzrecon"), std::string::npos);
}

}  // namespace
