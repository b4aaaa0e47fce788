// CloudChunkListHelper against the folder store of the stand-in cloud
// component: set-up, the init record, the walks and their failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>

#include "SampleLibrary.h"
#include "TestSupport.h"
#include "TzLibVolReconChunkListHelper.h"

using tztest::LogCapture;
using tztest::ReadFile;
using tztest::SampleLibrary;

namespace {

const std::string kHeader = tztest::kHeader;
const char kVolumesTag[] = "ChunkListHelper::EnumerateVolumes";
const char kChunksTag[] = "CloudChunkListHelper::EnumerateChunkFolders";

struct CloudDump : ::testing::Test {
  SampleLibrary lib;
  LogCapture log{2};
  std::string dumpFile = lib.dir / "dump.csv";
  std::string registry;

  void SetUp() override {
    registry = lib.dir / "registry.json";
    Register(7);
  }
  void Register(int type, const std::string& extra = "") {
    std::ostringstream json;
    json << "{\"mountPaths\": [{\"id\": 5, \"path\": \"" << lib.root << "\", \"type\": " << type
         << extra << "}]}";
    tztest::WriteFile(registry, json.str());
  }
  bool keepOldDump = false;  // otherwise each run starts without a dump file

  bool Run(MountPathTraverseMode mode = MOUNT_PATH_TRAVERSE_NON_SI, unsigned copyId = 7,
           const std::string& root = "") {
    if (!keepOldDump) unlink(dumpFile.c_str());
    tztest::ConfigScope config(registry);
    CloudChunkListHelper lister(root.empty() ? lib.root : root, 5, copyId, mode, 0);
    if (!lister.init()) return false;
    return lister.Dump(dumpFile);
  }
  std::string Dump() { return ReadFile(dumpFile); }
  bool Logged(const std::string& tag, const std::string& message, int level = -1) {
    return log.Has(tag, level, message);
  }
};

}  // namespace

TEST_F(CloudDump, InitFillsTheInitRecordAndNothingElse) {
  Register(7, ", \"serverType\": 19, \"user\": \"alice\", \"password\": \"s3cret\"");
  tztest::ConfigScope config(registry);
  for (int hostParam : {65, 321, 0}) {
    CloudChunkListHelper lister(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, hostParam);
    ASSERT_TRUE(lister.init()) << log.Dump();
    const CFSInitParams& p = lister.InitParams();
    const CFSInitParams fresh;
    EXPECT_EQ(p.initKind, 1);
    EXPECT_EQ(p.serverType, 19);
    EXPECT_EQ(p.mountPathId, 5);
    EXPECT_EQ(p.host.hostText, std::string(1, static_cast<char>(hostParam & 0xFF)));
    EXPECT_EQ(p.host.hostPath, lib.root);
    EXPECT_EQ(p.user.userName, "alice");
    EXPECT_EQ(p.user.password, "s3cret");
    EXPECT_EQ(p.reserved64, fresh.reserved64);
    EXPECT_EQ(p.reserved32a, fresh.reserved32a);
    EXPECT_EQ(p.reserved32b, fresh.reserved32b);
    EXPECT_EQ(p.reserved32c, fresh.reserved32c);
    EXPECT_EQ(p.reservedText1, fresh.reservedText1);
    EXPECT_EQ(p.reservedText2, fresh.reservedText2);
    EXPECT_EQ(p.host.hostKind, fresh.host.hostKind);
    EXPECT_EQ(p.host.hostExtra, fresh.host.hostExtra);
    EXPECT_EQ(p.user.userFlags, fresh.user.userFlags);
  }
  EXPECT_EQ(std::string(1, static_cast<char>(321 & 0xFF)), "A");
  EXPECT_EQ(log.Dump().find("s3cret"), std::string::npos) << "a password is never logged";
}

TEST_F(CloudDump, InitFailuresAreLevel2AndDumpThenRefuses) {
  Register(4);
  {
    tztest::ConfigScope config(registry);
    CloudChunkListHelper lister(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
    EXPECT_FALSE(lister.init());
    EXPECT_TRUE(Logged("init", "mountpath[5] is not of cloud type, returning failure", 2));
    EXPECT_FALSE(lister.Dump(dumpFile));
    EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: CloudChunkListHelper is not initialized"));
    CloudChunkListHelper unknown(lib.root, 6, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
    EXPECT_FALSE(unknown.init());
    EXPECT_TRUE(Logged("init", "Failed to fetch mountpath[6] info from registry", 2));
    CloudChunkListHelper neverInitialised(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
  }
  // A store that cannot be opened (an S3 entry without credentials) fails
  // init, rather than the first listing of the dump.
  Register(7, ", \"endpoint\": \"http://127.0.0.1:1\"");
  {
    tztest::ConfigScope config(registry);
    CloudChunkListHelper lister(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
    EXPECT_FALSE(lister.init());
    EXPECT_TRUE(Logged("init", "failed to intialize cloudFS fro mountpath[5]", 2)) << log.Dump();
    EXPECT_FALSE(lister.Dump(dumpFile));
  }
  EXPECT_FALSE(tztest::Exists(dumpFile));
}

TEST_F(CloudDump, ChecksComeBeforeTheFileIsTouched) {
  tztest::WriteFile(dumpFile, "old");
  keepOldDump = true;
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_NOT_SET));
  EXPECT_TRUE(Logged("ChunkListHelper::Dump",
                     "Error :: Traverse mode is not set for mount path [" + lib.root + "]"));
  EXPECT_EQ(Dump(), "old");
  // A file at the name is never overwritten.
  EXPECT_FALSE(Run());
  EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: Cannot create the dump file [" + dumpFile + "]"));
  EXPECT_EQ(Dump(), "old");
  keepOldDump = false;
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader);
}

TEST_F(CloudDump, WalksOnlyFolderNamesThatAreVolumes) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 10, 100);
  lib.Volume("V_2");
  lib.Chunk("V_2", 2, 20, 200);
  lib.Volume("tmp");
  lib.Chunk("tmp", 3, 30, 300);
  tztest::WriteFile(lib.root + "/V_9", "a file, not a volume");
  lib.Volume("V_");  // walked; its chunks are dropped by the id rule
  lib.Chunk("V_", 0, 40, 400);
  lib.Volume("V_007");
  lib.Chunk("V_007", 7, 50, 500);
  ASSERT_TRUE(Run()) << log.Dump();
  EXPECT_EQ(tztest::RowSet(Dump()),
            (std::multiset<std::string>{"5, 1, 10, 100, 0", "5, 2, 20, 200, 0"}));
  EXPECT_EQ(log.Count("This is not a volume folder [tmp], skipping"), 1);
  EXPECT_TRUE(Logged(kVolumesTag, "This is not a volume folder [tmp], skipping"));
  EXPECT_TRUE(Logged("CloudChunkListHelper::OnChunk",
                     "Dumping Chunk Info [" + lib.root + "/V_/CHUNK_40]", 2));
  EXPECT_EQ(log.Count("This is not a volume folder [V_9], skipping"), 0) << "files are not listed";
}

TEST_F(CloudDump, ChunkNamesAreFilteredAndTrailersAreNotRead) {
  lib.Volume("V_12");
  lib.Chunk("V_12", 12, 345, 512);
  tztest::WriteFile(lib.root + "/V_12/chunk_7", "");
  // An id without digits would read as chunk 0, a chunk that is not there.
  tztest::WriteFile(lib.root + "/V_12/CHUNK_abc", "");
  tztest::MakeDirs(lib.root + "/V_12/CHUNK_99");  // folders of a volume are not looked at
  // A trailer that disagrees does not matter to the cloud walk.
  lib.Chunk("V_12", 12, 346, 1);
  tztest::WriteFile(lib.root + "/V_12/CHUNKMAP_TRAILER_346", tztest::Trailer(1, 1));
  ASSERT_TRUE(Run()) << log.Dump();
  EXPECT_EQ(tztest::RowSet(Dump()),
            (std::multiset<std::string>{"5, 12, 345, 512, 0", "5, 12, 346, 1, 0"}));
  EXPECT_TRUE(Logged(kChunksTag, "This is not a chunk [chunk_7], skipping"));
  EXPECT_TRUE(Logged(kChunksTag, "This is not a chunk [CHUNK_abc], skipping"));
  EXPECT_TRUE(Logged(kChunksTag, "This is not a chunk [CHUNKMAP_TRAILER_345], skipping"));
  EXPECT_TRUE(Logged(kChunksTag, "This is not a chunk [MEDIA_LABEL], skipping"));
}

TEST_F(CloudDump, SingleInstancedCopyIsRefused) {
  // A single-instanced volume without chunk entries passes without rows.
  lib.Volume("V_1", "7", true);
  tztest::WriteFile(lib.root + "/V_1/chunk_1", "");
  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_SI)) << log.Dump();
  EXPECT_EQ(Dump(), kHeader);
  EXPECT_EQ(log.Count("Dedupe Not Supported"), 0);
  // A chunk entry stops the walk, whether a folder (as single-instanced
  // volumes hold their chunks) or a file: the copy would otherwise pass
  // for one that holds nothing.
  lib.Volume("V_2", "7", true);
  lib.SIChunk("V_2", 2, 3, 3, 3);
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_SI));
  EXPECT_TRUE(Logged(kChunksTag, "Dedupe Not Supported"));
  tztest::RemoveTree(lib.root + "/V_2/CHUNK_3");
  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_SI)) << log.Dump();
  tztest::WriteFile(lib.root + "/V_2/CHUNK_8", "");
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_SI));
  EXPECT_EQ(log.Count("Dedupe Not Supported"), 2);
}

TEST_F(CloudDump, FailingStatWritesSizeZero) {
  lib.Volume("V_1");
  ASSERT_EQ(symlink("/nonexistent", (lib.root + "/V_1/CHUNK_3").c_str()), 0);
  ASSERT_TRUE(Run()) << log.Dump();
  EXPECT_EQ(Dump(), kHeader + "5, 1, 3, 0, 0\r\n");
  int failures = 0;
  for (const auto& l : log.Lines())
    failures += l.tag == "ChunkListHelper::GetFileSize" && l.level == -1 &&
                l.message.rfind("Failed to get the file size, Ignoring, error=", 0) == 0;
  EXPECT_EQ(failures, 1);
}

TEST_F(CloudDump, FailingVolumeKeepsEarlierRows) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 1);
  lib.Volume("V_2");
  tztest::WriteFile(lib.root + "/V_2/CHUNK_", "");
  EXPECT_FALSE(Run());
  for (const auto& r : tztest::DumpRows(Dump())) EXPECT_EQ(r, "5, 1, 1, 1, 0");
}

TEST_F(CloudDump, AbsentLabelSkipsTheVolumeButAFailingStoreFailsTheWalk) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 1);
  lib.Volume("V_2");
  unlink((lib.root + "/V_2/MEDIA_LABEL").c_str());
  lib.Chunk("V_2", 2, 2, 2);
  lib.Volume("V_3");
  tztest::WriteFile(lib.root + "/V_3/MEDIA_LABEL", tztest::MediaLabel("7", 1550));
  lib.Chunk("V_3", 3, 3, 3);
  ASSERT_TRUE(Run()) << log.Dump();
  EXPECT_EQ(Dump(), kHeader + "5, 1, 1, 1, 0\r\n");
  EXPECT_TRUE(Logged("ChunkListHelper::VerifyVolume",
                     "Error :: Failed to open volume label file [" + lib.root + "/V_2/MEDIA_LABEL]"));
  EXPECT_TRUE(Logged("ChunkListHelper::VerifyVolume",
                     "Error :: Media-label file Read error(" + lib.root + "/V_3/MEDIA_LABEL)"));

  // A label the store cannot read (here: not a regular object) is a store
  // failure, not an absent label: the dump must not quietly lose V_4.
  lib.Volume("V_4");
  unlink((lib.root + "/V_4/MEDIA_LABEL").c_str());
  ASSERT_EQ(mkfifo((lib.root + "/V_4/MEDIA_LABEL").c_str(), 0600), 0);
  lib.Chunk("V_4", 4, 4, 4);
  EXPECT_FALSE(Run());
}

TEST_F(CloudDump, ListingFailureNamesThePathWithItsSlash) {
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_NON_SI, 7, lib.root + "/missing"));
  bool found = false;
  for (const auto& l : log.Lines())
    found |= l.tag == kVolumesTag &&
             l.message.rfind("Failed to open directory [" + lib.root + "/missing/], error=", 0) == 0;
  EXPECT_TRUE(found) << log.Dump();
}

TEST_F(CloudDump, CloudTrailerReaderMatchesTheDiskReader) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 2, 2);
  tztest::WriteFile(lib.root + "/V_1/CHUNKMAP_TRAILER_3", tztest::Trailer(1, 3).substr(0, 1023));
  tztest::ConfigScope config(registry);
  CloudChunkListHelper cloud(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
  ASSERT_TRUE(cloud.init());
  ChunkListHelper disk(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI);
  const std::string t2 = lib.root + "/V_1/CHUNKMAP_TRAILER_2";
  const std::string t3 = lib.root + "/V_1/CHUNKMAP_TRAILER_3";
  const std::string t4 = lib.root + "/V_1/CHUNKMAP_TRAILER_4";
  for (auto [path, vol, chunk] : {std::tuple{t2, 1, 2}, {t2, 1, 3}, {t2, 2, 2}, {t3, 1, 3}, {t4, 1, 4}})
    EXPECT_EQ(cloud.VerifyVolumeAndChunkIdFromCMT(path, vol, chunk),
              disk.VerifyVolumeAndChunkIdFromCMT(path, vol, chunk))
        << path << " " << vol << " " << chunk;
  EXPECT_TRUE(cloud.VerifyVolumeAndChunkIdFromCMT(t2, 1, 2));
  EXPECT_EQ(log.Count("Error :: Failed to read 1024 bytes from CMT"), 2);
  EXPECT_EQ(log.Count("Error :: Failed to open volume label file [" + t4 + "]"), 2);
}

TEST_F(CloudDump, SameRowsAsTheDiskDumpOfTheSameLibrary) {
  int chunk = 1;
  for (int v = 1; v <= 6; ++v) {
    const std::string name = "V_" + std::to_string(v);
    lib.Volume(name, v == 4 ? "8" : "7");
    for (int c = 0; c < 25; ++c, ++chunk) lib.Chunk(name, v, chunk, static_cast<uint64_t>(chunk) * 977);
  }
  ASSERT_TRUE(Run()) << log.Dump();
  const std::string cloud = Dump();
  ChunkListHelper disk(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI);
  unlink(dumpFile.c_str());
  ASSERT_TRUE(disk.Dump(dumpFile));
  EXPECT_EQ(cloud.substr(0, kHeader.size()), kHeader);
  EXPECT_EQ(tztest::RowSet(cloud), tztest::RowSet(Dump()));
  EXPECT_EQ(tztest::DumpRows(cloud).size(), 125u);
}

// Every exported method of the cloud lister in every state a host can leave
// it in: before init, after a failed init, after init twice, after Dump.
// Without a successful init each gives false or 0 with a message (IsSIVolume
// silently), never a crash; the sanitizer build finds a leaked component.
TEST_F(CloudDump, PublicMethodsAreSafeInAnyState) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 10);
  const std::string volume = lib.root + "/V_1";
  using Lister = CloudChunkListHelper;
  struct Call {
    const char* name;
    std::function<bool(Lister&)> refused;  // true: false or 0 came back
    bool needsStream;                      // refuses after init too, outside Dump
  };
  const Call calls[] = {
      {"EnumerateVolumes", [&](Lister& l) { return !l.EnumerateVolumes(lib.root, 7); }, true},
      {"VerifyCopyIdOnVolume", [&](Lister& l) { return !l.VerifyCopyIdOnVolume(volume, 7); }, false},
      {"EnumerateChunkFolders", [&](Lister& l) { return !l.EnumerateChunkFolders(volume); }, true},
      {"OnChunk", [&](Lister& l) { return !l.OnChunk(volume + "/CHUNK_1"); }, true},
      {"GetFileSize", [&](Lister& l) { return l.GetFileSize(volume + "/CHUNK_1") == 0; }, false},
      {"VerifyVolumeAndChunkIdFromCMT",
       [&](Lister& l) { return !l.VerifyVolumeAndChunkIdFromCMT(volume + "/CHUNKMAP_TRAILER_1", 1, 1); },
       false},
      {"Dump", [&](Lister& l) { return !l.Dump(lib.dir / "second.csv"); }, false},
  };
  struct State {
    const char* name;
    bool initialized;
    std::function<void(Lister&)> enter;
  };
  const State states[] = {
      {"before init", false, [](Lister&) {}},
      {"after a failed init", false,
       [&](Lister& l) {
         Register(4);
         EXPECT_FALSE(l.init());
         Register(7);
       }},
      {"after init twice", true,
       [](Lister& l) {
         EXPECT_TRUE(l.init());
         EXPECT_TRUE(l.init());
       }},
      {"after Dump", true,
       [&](Lister& l) {
         EXPECT_TRUE(l.init());
         unlink(dumpFile.c_str());
         EXPECT_TRUE(l.Dump(dumpFile));
       }},
  };
  tztest::ConfigScope config(registry);
  for (const State& state : states) {
    for (const Call& call : calls) {
      SCOPED_TRACE(std::string(call.name) + " " + state.name);
      unlink((lib.dir / "second.csv").c_str());
      Lister lister(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
      state.enter(lister);
      const size_t before = log.Lines().size();
      const bool refused = call.refused(lister);
      const size_t logged = log.Lines().size() - before;
      const bool mustRefuse = !state.initialized || call.needsStream;
      EXPECT_EQ(refused, mustRefuse) << log.Dump();
      if (mustRefuse) {
        EXPECT_GE(logged, 1u) << "refused without a message";
      }
    }
    Lister lister(lib.root, 5, 7, MOUNT_PATH_TRAVERSE_NON_SI, 0);
    state.enter(lister);
    const size_t before = log.Lines().size();
    EXPECT_FALSE(lister.IsSIVolume(volume));
    EXPECT_EQ(log.Lines().size(), before) << "IsSIVolume logs nothing";
  }
}
