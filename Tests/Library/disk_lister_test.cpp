// ChunkListHelper on real folders: the dump's bytes, which volumes and
// chunks make it in, and how failures end the walk.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>

#include "LogObserver.h"
#include "SampleLibrary.h"
#include "TestSupport.h"
#include "TzLibVolReconChunkListHelper.h"

using tztest::LogCapture;
using tztest::ReadFile;
using tztest::SampleLibrary;

namespace {

const std::string kHeader = tztest::kHeader;

struct DiskDump : ::testing::Test {
  SampleLibrary lib;
  LogCapture log{2};
  std::string dumpFile = lib.dir / "dump.csv";
  bool keepOldDump = false;  // otherwise each run starts without a dump file

  bool Run(MountPathTraverseMode mode = MOUNT_PATH_TRAVERSE_NON_SI, unsigned copyId = 7,
           int mountPathId = 3, const std::string& root = "") {
    if (!keepOldDump) unlink(dumpFile.c_str());
    ChunkListHelper lister(root.empty() ? lib.root : root, mountPathId, copyId, mode);
    return lister.Dump(dumpFile);
  }
  std::string Dump() { return ReadFile(dumpFile); }
  bool Logged(const std::string& tag, const std::string& message, int level = -1) {
    return log.Has(tag, level, message);
  }
};

}  // namespace

TEST_F(DiskDump, WritesTheHeaderAndOneRowPerChunk) {
  lib.Volume("V_12");
  lib.Chunk("V_12", 12, 5, 4096);
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader + "3, 12, 5, 4096, 0\r\n");
  EXPECT_EQ(kHeader.size(), 61u);
}

TEST_F(DiskDump, EmptyMountPathGivesTheHeaderAloneAndAnOldDumpIsNeverOverwritten) {
  // Whatever is at the dump's name (an earlier dump of the same second, one
  // still running) fails the dump and stays as it was.
  const std::string old(5000, 'x');
  tztest::WriteFile(dumpFile, old);
  keepOldDump = true;
  EXPECT_FALSE(Run());
  EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: Cannot create the dump file [" + dumpFile + "]"));
  EXPECT_EQ(Dump(), old);
  keepOldDump = false;
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader);
  // A traverse mode other than 1 or 2 walks no volume.
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 1);
  ASSERT_TRUE(Run(static_cast<MountPathTraverseMode>(3)));
  EXPECT_EQ(Dump(), kHeader);
}

TEST_F(DiskDump, RefusesAnUnsetModeOrNameWithoutCreatingAFile) {
  ChunkListHelper unset;
  EXPECT_FALSE(unset.Dump(dumpFile));
  EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: Traverse mode is not set for mount path []"));
  ChunkListHelper noMode(lib.root, 3, 7, MOUNT_PATH_TRAVERSE_NOT_SET);
  EXPECT_FALSE(noMode.Dump(""));
  EXPECT_EQ(log.Count("Error :: Dump File name is not set"), 0) << "only the mode message";
  ChunkListHelper noName(lib.root, 3, 7, MOUNT_PATH_TRAVERSE_NON_SI);
  EXPECT_FALSE(noName.Dump(""));
  EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: Dump File name is not set"));
  EXPECT_FALSE(tztest::Exists(dumpFile));
}

TEST_F(DiskDump, SelectsVolumesByMarkerAndMediaLabel) {
  lib.Volume("V_1", "7");
  lib.Chunk("V_1", 1, 10, 1);
  lib.Volume("V_2", "8");  // another copy's volume
  lib.Chunk("V_2", 2, 20, 2);
  lib.Volume("V_3", "7", /*singleInstanced=*/true);
  lib.SIChunk("V_3", 3, 30, 31, 3);
  lib.Volume("V_4", "   7abc");  // blanks, digits, then letters
  lib.Chunk("V_4", 4, 40, 4);
  lib.Volume("V_5");
  tztest::WriteFile(lib.root + "/V_5/MEDIA_LABEL", tztest::MediaLabel("7", 1550));
  lib.Chunk("V_5", 5, 50, 5);
  lib.Volume("V_6");
  unlink((lib.root + "/V_6/MEDIA_LABEL").c_str());
  lib.Chunk("V_6", 6, 60, 6);
  tztest::MakeDirs(lib.root + "/other");  // not a volume folder

  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_NON_SI));
  EXPECT_EQ(tztest::RowSet(Dump()),
            (std::multiset<std::string>{"3, 1, 10, 1, 0", "3, 4, 40, 4, 0"}));
  EXPECT_TRUE(Logged("ChunkListHelper::VerifyVolume",
                     "Error :: Media-label file Read error(" + lib.root + "/V_5/MEDIA_LABEL)"));
  EXPECT_TRUE(Logged("ChunkListHelper::VerifyVolume",
                     "Error :: Failed to open volume label file [" + lib.root + "/V_6/MEDIA_LABEL]"));

  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_SI));
  EXPECT_EQ(Dump(), kHeader + "3, 3, 31, 3, 1\r\n");
}

TEST_F(DiskDump, CopyIdZeroIsOrdinaryAndAllBitsSetIsUnset) {
  lib.Volume("V_1", "none");  // no digits reads as copy 0
  lib.Chunk("V_1", 1, 1, 1);
  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_NON_SI, 0));
  EXPECT_EQ(Dump(), kHeader + "3, 1, 1, 1, 0\r\n");
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_NON_SI, 0xFFFFFFFFu));
  EXPECT_TRUE(Logged("ChunkListHelper::EnumerateVolumes",
                     "Error :: Either mount path [" + lib.root + "] or copy id is not set"));
}

TEST_F(DiskDump, MountPathWithOrWithoutSlashGivesTheSameDump) {
  lib.Volume("V_7");
  lib.Chunk("V_7", 7, 70, 700);
  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_NON_SI, 7, 3, lib.root + "/"));
  const std::string withSlash = Dump();
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), withSlash);
  EXPECT_EQ(Dump(), kHeader + "3, 7, 70, 700, 0\r\n");
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_NON_SI, 7, 3, lib.root + "/missing"));
  bool found = false;
  for (const auto& l : log.Lines())
    found |= l.message.rfind("Failed to open directory [" + lib.root + "/missing/], error=", 0) == 0;
  EXPECT_TRUE(found) << log.Dump();
}

TEST_F(DiskDump, VolumeIdMustReadBackAsItsOwnText) {
  for (const char* name : {"V_012", "V_12a", "V_+12"}) {
    lib.Volume(name);
    lib.Chunk(name, 12, 1, 1);
  }
  lib.Volume("V_-5");
  lib.Chunk("V_-5", -5, 2, 2);
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader + "3, -5, 2, 2, 0\r\n");
  EXPECT_TRUE(Logged("ChunkListHelper::OnChunk", "Dumping Chunk Info [" + lib.root + "/V_012/CHUNK_1]", 2));
}

TEST_F(DiskDump, ChunkIdsComeFromTheNameAndTrailersMustAgree) {
  lib.Volume("V_12");
  lib.Chunk("V_12", 12, 7, 1, "CHUNK_007");  // trailer CHUNKMAP_TRAILER_7
  lib.Chunk("V_12", 12, 8, 2);
  tztest::WriteFile(lib.root + "/V_12/CHUNKMAP_TRAILER_8", tztest::Trailer(12, 9));
  lib.Chunk("V_12", 12, 10, 3);
  tztest::WriteFile(lib.root + "/V_12/CHUNKMAP_TRAILER_10", tztest::Trailer(12, 10).substr(0, 1023));
  tztest::SampleLibrary::Sparse(lib.root + "/V_12/CHUNK_11", 4);  // no trailer
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader + "3, 12, 7, 1, 0\r\n");
  EXPECT_TRUE(Logged("ChunkListHelper::GetVolumeAndChunkIdFromCMT",
                     "Chunk Id in chunk map trailer [9] and in chunk file name [8] do not match"));
  EXPECT_TRUE(Logged("ChunkListHelper::GetVolumeAndChunkIdFromCMT",
                     "Error :: Failed to read 1024 bytes from CMT"));
  EXPECT_TRUE(Logged("ChunkListHelper::GetVolumeAndChunkIdFromCMT",
                     "Error :: Failed to open volume label file [" + lib.root +
                         "/V_12/CHUNKMAP_TRAILER_11]"));
}

TEST_F(DiskDump, SizesBeyond4GiBAndUnreadableSizes) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, (5ull << 30) + 3);
  // A chunk whose status cannot be read (a dangling link) still gets its
  // row, with size 0, when its trailer matches.
  ASSERT_EQ(symlink("/nonexistent/target", (lib.root + "/V_1/CHUNK_2").c_str()), 0);
  tztest::WriteFile(lib.root + "/V_1/CHUNKMAP_TRAILER_2", tztest::Trailer(1, 2));
  ASSERT_TRUE(Run());
  EXPECT_EQ(tztest::RowSet(Dump()),
            (std::multiset<std::string>{"3, 1, 1, 5368709123, 0", "3, 1, 2, 0, 0"}));
  int sizeFailures = 0;
  for (const auto& l : log.Lines())
    sizeFailures += l.tag == "ChunkListHelper::GetFileSize" && l.level == -1 &&
                    l.message.rfind("Failed to get the file size, Ignoring, error=", 0) == 0;
  EXPECT_EQ(sizeFailures, 1);
}

TEST_F(DiskDump, SingleInstancedChunkFolders) {
  lib.Volume("V_3", "7", true);
  lib.SIChunk("V_3", 3, 9, 9, 100);
  lib.SIChunk("V_3", 3, 4, 4, 40);
  lib.SIChunk("V_3", 3, 4, 7, 70);  // a second metadata file in CHUNK_4
  tztest::WriteFile(lib.root + "/V_3/CHUNK_4/CHUNK_META_DATA_", "");  // passed over
  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_SI));
  EXPECT_EQ(tztest::RowSet(Dump()),
            (std::multiset<std::string>{"3, 3, 9, 100, 1", "3, 3, 4, 40, 1", "3, 3, 7, 70, 1"}));

  // A plain file where a chunk folder belongs fails the walk.
  tztest::WriteFile(lib.root + "/V_3/CHUNK_x", "");
  EXPECT_FALSE(Run(MOUNT_PATH_TRAVERSE_SI));
  EXPECT_TRUE(Logged("ChunkListHelper::EnumSIChunkFiles",
                     "Failed to open SI chunk [" + lib.root + "/V_3/CHUNK_x/]"));
}

TEST_F(DiskDump, UnreadableChunkPathFailsTheWalkButKeepsEarlierRows) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 11);
  lib.Volume("V_2");
  tztest::WriteFile(lib.root + "/V_2/CHUNK_", "");
  lib.Volume("V_3");
  lib.Chunk("V_3", 3, 3, 33);
  EXPECT_FALSE(Run());
  // Volumes come in the file system's order: exactly the volumes listed
  // before V_2 keep their rows, nothing after it is visited.
  const std::map<std::string, std::string> rowOf = {{"V_1", "3, 1, 1, 11, 0"},
                                                    {"V_3", "3, 3, 3, 33, 0"}};
  std::vector<std::string> before;
  DIR* dir = opendir(lib.root.c_str());
  ASSERT_NE(dir, nullptr);
  while (const dirent* e = readdir(dir)) {
    if (std::string(e->d_name) == "V_2") break;
    if (rowOf.count(e->d_name)) before.push_back(rowOf.at(e->d_name));
  }
  closedir(dir);
  EXPECT_EQ(tztest::DumpRows(Dump()), before);
  EXPECT_EQ(Dump().substr(0, kHeader.size()), kHeader);
  EXPECT_EQ(log.Count("Dumping Chunk Info [" + lib.root + "/V_2/CHUNK_]"), 1)
      << "the walk reached the chunk it stopped at\n" << log.Dump();
}

TEST_F(DiskDump, OutOfRangeChunkIdIsAnnouncedAndPassedOver) {
  lib.Volume("V_1");
  tztest::SampleLibrary::Sparse(lib.root + "/V_1/CHUNK_4294967301", 1);
  tztest::WriteFile(lib.root + "/V_1/CHUNKMAP_TRAILER_5", tztest::Trailer(1, 5));
  lib.Chunk("V_1", 1, 6, 6);
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader + "3, 1, 6, 6, 0\r\n");
  EXPECT_TRUE(Logged("ChunkListHelper::OnChunk", "Error :: Chunk id of [" + lib.root +
                                                     "/V_1/CHUNK_4294967301] is out of range, skipping"));
}

TEST_F(DiskDump, PathsLongerThan1024Bytes) {
  std::string root = lib.root;
  while (root.size() < 1200) {
    root += "/" + std::string(250, 'p');
    tztest::MakeDirs(root);
  }
  const std::string volume = root + "/V_9";
  tztest::MakeDirs(volume);
  tztest::WriteFile(volume + "/MEDIA_LABEL", tztest::MediaLabel("7"));
  tztest::SampleLibrary::Sparse(volume + "/CHUNK_" + std::string(200, '0') + "5", 55);
  tztest::WriteFile(volume + "/CHUNKMAP_TRAILER_5", tztest::Trailer(9, 5));
  ASSERT_TRUE(Run(MOUNT_PATH_TRAVERSE_NON_SI, 7, 3, root)) << log.Dump();
  EXPECT_EQ(Dump(), kHeader + "3, 9, 5, 55, 0\r\n");
}

TEST_F(DiskDump, FifosAndFoldersInPlaceOfLabelsAndTrailersDoNotStallTheWalk) {
  lib.Volume("V_1");
  unlink((lib.root + "/V_1/MEDIA_LABEL").c_str());
  ASSERT_EQ(mkfifo((lib.root + "/V_1/MEDIA_LABEL").c_str(), 0600), 0);
  lib.Chunk("V_1", 1, 1, 1);
  lib.Volume("V_2");
  lib.Chunk("V_2", 2, 2, 2);
  unlink((lib.root + "/V_2/CHUNKMAP_TRAILER_2").c_str());
  ASSERT_EQ(mkfifo((lib.root + "/V_2/CHUNKMAP_TRAILER_2").c_str(), 0600), 0);
  lib.Chunk("V_2", 2, 3, 3);
  unlink((lib.root + "/V_2/CHUNKMAP_TRAILER_3").c_str());
  tztest::MakeDirs(lib.root + "/V_2/CHUNKMAP_TRAILER_3");
  lib.Chunk("V_2", 2, 4, 4);
  ASSERT_TRUE(Run());
  EXPECT_EQ(Dump(), kHeader + "3, 2, 4, 4, 0\r\n");
}

TEST_F(DiskDump, RefusesToFollowALinkAtTheDumpName) {
  const std::string victim = lib.dir / "victim";
  tztest::WriteFile(victim, "precious");
  ASSERT_EQ(symlink(victim.c_str(), dumpFile.c_str()), 0);
  keepOldDump = true;
  EXPECT_FALSE(Run());
  EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: Cannot create the dump file [" + dumpFile + "]"));
  EXPECT_EQ(ReadFile(victim), "precious");
}

// Watches the walk from inside: at each chunk, whether anything is at the
// dump's name yet; and, when asked, puts a file there at the first chunk.
struct NameWatch {
  std::string dumpFile;
  std::string planted;  // written at the name at the first chunk, when not empty
  int chunks = 0;
  int seenAtName = 0;

  static void OnMessage(void* context, const char*, int, const char* format, va_list) {
    auto* self = static_cast<NameWatch*>(context);
    if (std::strcmp(format, "Dumping Chunk Info [%s]") != 0) return;
    if (++self->chunks == 1 && !self->planted.empty())
      tztest::WriteFile(self->dumpFile, self->planted);
    struct stat status;
    self->seenAtName += lstat(self->dumpFile.c_str(), &status) == 0;
  }
};

TEST_F(DiskDump, TheDumpIsPublishedAtItsNameOnlyWhenTheWalkHasEnded) {
  for (int i = 1; i <= 3; ++i) {
    lib.Volume("V_" + std::to_string(i));
    for (int c = 1; c <= 5; ++c) lib.Chunk("V_" + std::to_string(i), i, 10 * i + c, c);
  }
  NameWatch watch{dumpFile, ""};
  const tzhost::LogObserver observer = {&NameWatch::OnMessage, &watch, 2};
  tzhost::SetLogObserver(&observer);
  const bool walked = Run();
  // A file that appears at the name while the walk runs is not replaced:
  // the dump fails at its end and the file stays as it was.
  NameWatch planter{dumpFile, "someone else's file"};
  const tzhost::LogObserver plant = {&NameWatch::OnMessage, &planter, 2};
  tzhost::SetLogObserver(&plant);
  const bool walkedBesideAFile = Run();
  tzhost::SetLogObserver(nullptr);

  EXPECT_TRUE(walked) << log.Dump();
  EXPECT_EQ(watch.chunks, 15);
  EXPECT_EQ(watch.seenAtName, 0) << "a reader saw a dump that had not ended";
  EXPECT_FALSE(walkedBesideAFile);
  EXPECT_EQ(planter.chunks, 15);
  EXPECT_EQ(Dump(), "someone else's file");
  EXPECT_TRUE(Logged("ChunkListHelper::Dump", "Error :: A file already exists at the dump "
                                              "file's name [" + dumpFile + "]; it is left untouched"));
  // Nothing of the dump is left behind in the folder.
  EXPECT_FALSE(tztest::Exists(lib.dir / ".dump.csv.partial"));
}

TEST_F(DiskDump, AFileSizeLimitFailsTheDump) {
  lib.Volume("V_1");
  for (int i = 1; i <= 200; ++i) lib.Chunk("V_1", 1, i, static_cast<uint64_t>(i) * 1000);
  // In a child, so the limit stays there.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    setenv("TZRECON_LOG_LEVEL", "-1", 1);  // keep the log itself under the limit
    struct rlimit limit = {1000, 1000};
    setrlimit(RLIMIT_FSIZE, &limit);
    _exit(Run() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "a dump cut short by the limit must not succeed";
  bool logged = false;
  for (const auto& l : log.Lines())
    logged |= l.level == -1 &&
              l.message.rfind("Error :: Failed to write the dump file [" + dumpFile + "]", 0) == 0;
  EXPECT_TRUE(logged) << log.Dump();
}

TEST_F(DiskDump, AMarkerThatCannotBeExaminedFailsTheWalk) {
  // The marker's status fails for another reason than its absence (here: a
  // link to itself): the volume's state is unknown, and the walk must not
  // guess it.
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 1);
  const std::string deep = lib.root + "/V_1";
  ASSERT_EQ(symlink(".tzsivolume", (deep + "/.tzsivolume").c_str()), 0);
  // The exported test logs nothing, whatever the marker's state.
  {
    ChunkListHelper lister(lib.root, 3, 7, MOUNT_PATH_TRAVERSE_NON_SI);
    EXPECT_FALSE(lister.IsSIVolume(deep));
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  }
  EXPECT_FALSE(Run());
  bool logged = false;
  for (const auto& l : log.Lines())
    logged |= l.level == -1 && l.tag == "ChunkListHelper::EnumerateVolumes" &&
              l.message.rfind("Error :: Failed to check the single-instance marker [" + deep +
                                  "/.tzsivolume], error=", 0) == 0;
  EXPECT_TRUE(logged) << log.Dump();
}

// The exported methods called out of the order that Dump follows: without
// an open dump every method that would write a row refuses with a message,
// the others answer from the disk; a second Dump never reuses the first's
// file.
TEST_F(DiskDump, PublicMethodsOutsideDumpRefuseToWrite) {
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 1, 10);
  const std::string volume = lib.root + "/V_1";
  for (const bool afterDump : {false, true}) {
    SCOPED_TRACE(afterDump ? "after Dump" : "before Dump");
    ChunkListHelper lister(lib.root, 3, 7, MOUNT_PATH_TRAVERSE_NON_SI);
    if (afterDump) {
      unlink(dumpFile.c_str());
      ASSERT_TRUE(lister.Dump(dumpFile));
      EXPECT_FALSE(lister.Dump(dumpFile)) << "the first dump is kept";
      EXPECT_EQ(tztest::DumpRows(Dump()), std::vector<std::string>{"3, 1, 1, 10, 0"});
    }
    const int stale = log.Count("Error :: Dump file handle is stale.");
    EXPECT_FALSE(lister.OnChunk(volume + "/CHUNK_1"));
    EXPECT_FALSE(lister.EnumerateChunkFolders(volume));
    EXPECT_FALSE(lister.EnumerateVolumes(lib.root, 7));
    EXPECT_EQ(log.Count("Error :: Dump file handle is stale."), stale + 3);
    EXPECT_EQ(lister.GetFileSize(volume + "/CHUNK_1"), 10u);
    EXPECT_TRUE(lister.VerifyCopyIdOnVolume(volume, 7));
    EXPECT_TRUE(lister.VerifyVolumeAndChunkIdFromCMT(volume + "/CHUNKMAP_TRAILER_1", 1, 1));
    EXPECT_FALSE(lister.IsSIVolume(volume));
  }
  ChunkListHelper unset;
  EXPECT_FALSE(unset.EnumerateVolumes("", 7));
  EXPECT_TRUE(Logged("ChunkListHelper::EnumerateVolumes",
                     "Error :: Either mount path [] or copy id is not set"));
  char* null = nullptr;
  char* name = nullptr;
  char* value = nullptr;
  EXPECT_EQ(ChunkListHelper::GetNextNameValue(null, name, value, nullptr), -1);
}
