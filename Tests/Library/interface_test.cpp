// TzLibVolReconsiliation: request checks, dispatch, the error state and the
// chunk-lister orchestration, seen through the host log and the files made.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>

#include "SampleLibrary.h"
#include "TestSupport.h"
#include "TzLibVolReconciliation.h"

using tztest::LogCapture;
using tztest::SampleLibrary;

namespace {

const char kDispatchTag[] = "TzLibVolReconsiliation::CreateMultipleDumps";
const char kOrchestrationTag[] = "TzLibVolReconsiliation::GetChunkListerDump";

_TzLibVolReconInputParams Request(uint32_t flags, const std::string& path, int copyId,
                                  ChunkListInputs* inputs) {
  _TzLibVolReconInputParams p;
  p.dumpFlags = flags;
  p.dumpPath = path;
  p.copyId = copyId;
  p.chunkListInputs = inputs;
  return p;
}

}  // namespace

TEST(Dispatch, RefusesAMissingDumpPathOrCopyIdFirst) {
  LogCapture log;
  TzLibVolReconsiliation lib;
  auto p = Request(0, "", 7, nullptr);
  EXPECT_FALSE(lib.CreateMultipleDumps(p));
  p = Request(0, "/tmp/x", -1, nullptr);
  EXPECT_FALSE(lib.CreateMultipleDumps(p));
  EXPECT_EQ(p.dumpPath, "/tmp/x") << "the path stays as it was when the check fails";
  EXPECT_EQ(log.Count("Error :: Dump path or SP copy id is not set."), 2);
  EXPECT_TRUE(log.Has(kDispatchTag, -1, "Error :: Dump path or SP copy id is not set."));
  EXPECT_EQ(log.Count("Doing nothing as dump flag is not set"), 0) << "the path check comes first";
}

TEST(Dispatch, NormalisesThePathEvenWhenNoDumpIsRequested) {
  LogCapture log;
  TzLibVolReconsiliation lib;
  auto p = Request(0, "/tmp/x", 0, nullptr);
  EXPECT_FALSE(lib.CreateMultipleDumps(p));
  EXPECT_EQ(p.dumpPath, "/tmp/x/");
  EXPECT_TRUE(log.Has(kDispatchTag, -1,
                      "No Dump flags set. Set one or more flags to get chunk lister, primary or "
                      "secondary SIDB dump."));
  EXPECT_TRUE(log.Has(kDispatchTag, -1, "Doing nothing as dump flag is not set"));
  p = Request(0, "/", 0, nullptr);
  lib.CreateMultipleDumps(p);
  EXPECT_EQ(p.dumpPath, "/");
}

TEST(Dispatch, SidbDumpsAndMeaninglessBitsSucceedQuietly) {
  LogCapture log;
  TzLibVolReconsiliation lib;
  for (uint32_t flags : {1u, 12u, 4u, 8u, 16u, 0xFFFFFFF1u}) {
    auto p = Request(flags, "/nonexistent/dir", -5, nullptr);
    EXPECT_TRUE(lib.CreateMultipleDumps(p)) << flags;
  }
  EXPECT_TRUE(log.Lines().empty()) << log.Dump();
}

TEST(Dispatch, ChunkListerFailureStopsTheDispatch) {
  LogCapture log;
  TzLibVolReconsiliation lib;
  auto p = Request(14, "/tmp", 3, nullptr);
  EXPECT_FALSE(lib.CreateMultipleDumps(p));
  EXPECT_TRUE(log.Has(kOrchestrationTag, -1, "Error :: Chunk list inputs is not set."));
  EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
}

TEST(Dispatch, DirectCallChecksInputsBeforeThePath) {
  LogCapture log;
  TzLibVolReconsiliation lib;
  auto p = Request(2, "/tmp/no-slash", 3, nullptr);
  EXPECT_FALSE(lib.GetChunkListerDump(p));
  EXPECT_EQ(p.dumpPath, "/tmp/no-slash");
  ChunkListInputs inputs;
  p = Request(2, "", 3, &inputs);
  EXPECT_FALSE(lib.GetChunkListerDump(p));
  EXPECT_TRUE(log.Has(kOrchestrationTag, -1, "Error :: Dump path or SP copy id is not set."));
}

TEST(ErrorState, OnlyTheHostSetsIt) {
  LogCapture log;
  TzLibVolReconsiliation lib;
  std::string text = "stale";
  EXPECT_EQ(lib.GetLastError(text), 0u);
  EXPECT_EQ(text, "");
  lib.SetLastError(5);
  text = "stale";
  EXPECT_EQ(lib.GetLastError(text), 5u);
  EXPECT_EQ(text, "");
  auto p = Request(2, "/tmp", 3, nullptr);
  EXPECT_FALSE(lib.CreateMultipleDumps(p));
  EXPECT_EQ(lib.GetLastError(text), 5u) << "a failed dump leaves the error state alone";
}

TEST(Orchestration, UnknownMountPathLeavesTheRecordAlone) {
  SampleLibrary lib;
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 4;
  inputs.dumpFileName = "before";
  inputs.dumpFileSize = 77;
  auto p = Request(2, lib.dir.path(), 7, &inputs);
  EXPECT_FALSE(recon.CreateMultipleDumps(p));
  EXPECT_TRUE(log.Has(kOrchestrationTag, -1,
                      "Error :: Failed to fetch mountpath ID - [4] info from registry, treating "
                      "this as disk disabled"));
  EXPECT_EQ(inputs.dumpFileName, "before");
  EXPECT_EQ(inputs.dumpFileSize, 77);
}

TEST(Orchestration, DiskDumpLogsItsParametersAndMeasuresTheFile) {
  SampleLibrary lib;
  lib.Volume("V_12", "7");
  lib.Chunk("V_12", 12, 5, 4096);
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 3;
  auto p = Request(2, lib.dir.path(), 7, &inputs);
  const time_t before = time(nullptr);
  ASSERT_TRUE(recon.CreateMultipleDumps(p)) << log.Dump();
  const time_t after = time(nullptr);

  // "<folder>/ChunkLister_<copy>_<mount path>_<time>.csv"
  const std::string prefix = lib.dir.path() + "/ChunkLister_7_3_";
  ASSERT_EQ(inputs.dumpFileName.compare(0, prefix.size(), prefix), 0) << inputs.dumpFileName;
  const std::string stamp = inputs.dumpFileName.substr(prefix.size());
  ASSERT_EQ(stamp.substr(stamp.size() - 4), ".csv");
  const long t = std::stol(stamp);
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);

  const std::string dump = tztest::ReadFile(inputs.dumpFileName);
  EXPECT_EQ(dump, std::string(tztest::kHeader) + "3, 12, 5, 4096, 0\r\n");
  EXPECT_EQ(inputs.dumpFileSize, static_cast<int64_t>(dump.size()));

  // The parameter lines, in order.
  std::vector<std::string> expected = {
      "Starting chunk lister dump with following parameters:",
      "Mount Path :: " + lib.root,
      "Mount Path Id :: 3",
      "Dump File Name :: " + inputs.dumpFileName,
      "Copy Id :: 7",
      "Copy is :: Not Single Instanced",
      "GetDumpFileSize for [" + inputs.dumpFileName + "]",
      "GetDumpFileSize for [" + inputs.dumpFileName + "] - [" + std::to_string(dump.size()) + "]",
      "File size of [" + inputs.dumpFileName + "] is" + std::to_string(dump.size()),
  };
  std::vector<std::string> got;
  for (const auto& line : log.Lines())
    if (line.tag.rfind("TzLibVolReconsiliation::", 0) == 0) {
      EXPECT_EQ(line.level, 2) << line.message;
      got.push_back(line.message);
    }
  EXPECT_EQ(got, expected);
}

TEST(Orchestration, SingleInstancedCopyAndNegativeCopyId) {
  SampleLibrary lib;
  lib.Volume("V_1", "-5", true);
  lib.SIChunk("V_1", 1, 9, 9, 100);
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 3;
  inputs.isSingleInstanced = true;
  auto p = Request(2, lib.dir.path() + "/", -5, &inputs);
  ASSERT_TRUE(recon.CreateMultipleDumps(p)) << log.Dump();
  EXPECT_TRUE(log.Has(kOrchestrationTag, 2, "Copy is ::  Single Instanced"));
  EXPECT_TRUE(log.Has(kOrchestrationTag, 2, "Copy Id :: -5"));
  EXPECT_NE(inputs.dumpFileName.find("/ChunkLister_-5_3_"), std::string::npos);
  EXPECT_EQ(tztest::ReadFile(inputs.dumpFileName),
            std::string(tztest::kHeader) + "3, 1, 9, 100, 1\r\n");
}

TEST(Orchestration, FailedListingKeepsTheNameAndTheOldSize) {
  SampleLibrary lib;
  lib.Volume("V_1", "7");
  tztest::WriteFile(lib.root + "/V_1/CHUNK_", "");  // a chunk path that cannot be read
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 3;
  inputs.dumpFileSize = 99;
  auto p = Request(2, lib.dir.path(), 7, &inputs);
  EXPECT_FALSE(recon.CreateMultipleDumps(p));
  EXPECT_TRUE(log.Has(kOrchestrationTag, -1, "Error :: Failed to get chunk lister dump"));
  EXPECT_FALSE(inputs.dumpFileName.empty());
  EXPECT_EQ(inputs.dumpFileSize, 99);
  EXPECT_EQ(tztest::ReadFile(inputs.dumpFileName), tztest::kHeader) << "the file stays";
}

TEST(Orchestration, MissingDumpFolderFailsAtCreation) {
  SampleLibrary lib;
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 3;
  auto p = Request(2, lib.dir / "missing", 7, &inputs);
  EXPECT_FALSE(recon.CreateMultipleDumps(p));
  EXPECT_TRUE(log.Has("ChunkListHelper::Dump", -1,
                      "Error :: Cannot create the dump file [" + inputs.dumpFileName + "]"));
}

TEST(Orchestration, DumpFolderLongerThan1024BytesIsHandled) {
  SampleLibrary lib;
  lib.Volume("V_2", "7");
  lib.Chunk("V_2", 2, 3, 10);
  std::string folder = lib.dir.path();
  while (folder.size() < 1500) {
    folder += "/" + std::string(200, 'd');
    tztest::MakeDirs(folder);
  }
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 3;
  auto p = Request(2, folder, 7, &inputs);
  ASSERT_TRUE(recon.CreateMultipleDumps(p)) << log.Dump();
  EXPECT_GT(inputs.dumpFileName.size(), 1500u);
  EXPECT_EQ(tztest::ReadFile(inputs.dumpFileName), std::string(tztest::kHeader) + "3, 2, 3, 10, 0\r\n");
}

TEST(DumpFileSize, MissingFileGivesZeroWithItsMessage) {
  LogCapture log;
  TzLibVolReconsiliation recon;
  tztest::TempDir dir;
  EXPECT_EQ(recon.GetDumpFileSize(dir / "nothing.csv"), 0);
  bool found = false;
  for (const auto& l : log.Lines())
    found |= l.level == -1 && l.tag == "TzLibVolReconsiliation::GetDumpFileSize" &&
             l.message.rfind("Failed to get the file size; Ignoring, error=", 0) == 0;
  EXPECT_TRUE(found) << log.Dump();
  tztest::WriteFile(dir / "five", "12345");
  EXPECT_EQ(recon.GetDumpFileSize(dir / "five"), 5);
}

// The dump's name has one-second resolution. Whatever lies at the names a
// request may compose (an earlier dump of the same second, a planted file or
// link) fails the request and is left as it was; no dump is ever written
// over another.
TEST(Orchestration, NeverWritesOverAFileAtTheDumpName) {
  SampleLibrary lib;
  lib.Volume("V_1", "7");
  lib.Chunk("V_1", 1, 1, 10);
  tztest::ConfigScope config(lib.Config(3));
  const std::string victim = lib.dir / "victim";
  tztest::WriteFile(victim, "keep me");
  const time_t now = time(nullptr);
  std::vector<std::string> planted;
  for (int second = 0; second < 4; ++second) {
    planted.push_back(lib.dir / ("ChunkLister_7_3_" + std::to_string(now + second) + ".csv"));
    if (second % 2 == 0)
      tztest::WriteFile(planted.back(), "earlier dump " + std::to_string(second));
    else
      ASSERT_EQ(symlink(victim.c_str(), planted.back().c_str()), 0);
  }
  LogCapture log;
  TzLibVolReconsiliation recon;
  ChunkListInputs inputs;
  inputs.mountPathId = 3;
  auto p = Request(2, lib.dir.path(), 7, &inputs);
  ASSERT_LT(time(nullptr), now + 4) << "the machine is too slow for the planted names";
  EXPECT_FALSE(recon.CreateMultipleDumps(p));
  EXPECT_TRUE(log.Has("ChunkListHelper::Dump", -1,
                      "Error :: Cannot create the dump file [" + inputs.dumpFileName + "]"))
      << log.Dump();
  EXPECT_TRUE(log.Has(kOrchestrationTag, -1, "Error :: Failed to get chunk lister dump"));
  for (int second = 0; second < 4; second += 2)
    EXPECT_EQ(tztest::ReadFile(planted[second]), "earlier dump " + std::to_string(second));
  EXPECT_EQ(tztest::ReadFile(victim), "keep me");
}

// Two hosts asking for the same dump at the same moment: each request that
// succeeds has a file of its own holding exactly the whole dump; one that
// meets the other's file fails and says so.
TEST(Orchestration, TwoDumpsStartedTogetherNeverShareAFile) {
  SampleLibrary lib;
  for (int v = 1; v <= 4; ++v) {
    lib.Volume("V_" + std::to_string(v), "7");
    for (int c = 1; c <= 50; ++c) lib.Chunk("V_" + std::to_string(v), v, v * 100 + c, c);
  }
  tztest::ConfigScope config(lib.Config(3));
  LogCapture log;
  const std::string dumps = lib.dir / "dumps";
  tztest::MakeDirs(dumps);
  // Start both just after a second begins, so that they compose one name.
  const time_t start = time(nullptr);
  while (time(nullptr) == start) usleep(1000);
  pid_t children[2];
  for (pid_t& child : children) {
    child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TzLibVolReconsiliation recon;
      ChunkListInputs inputs;
      inputs.mountPathId = 3;
      auto p = Request(2, dumps, 7, &inputs);
      _exit(recon.CreateMultipleDumps(p) ? 0 : 1);
    }
  }
  int succeeded = 0;
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    succeeded += WEXITSTATUS(status) == 0;
  }
  EXPECT_GE(succeeded, 1);
  std::multiset<std::string> expected;
  for (int v = 1; v <= 4; ++v)
    for (int c = 1; c <= 50; ++c)
      expected.insert("3, " + std::to_string(v) + ", " + std::to_string(v * 100 + c) + ", " +
                      std::to_string(c) + ", 0");
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dumps)) {
    ++files;
    const std::string dump = tztest::ReadFile(entry.path());
    EXPECT_EQ(dump.substr(0, 61), tztest::kHeader);
    EXPECT_EQ(tztest::RowSet(dump), expected) << entry.path();
  }
  EXPECT_EQ(files, succeeded);
  EXPECT_EQ(log.Count("Error :: Failed to get chunk lister dump"), 2 - succeeded) << log.Dump();
}
