// Hostile trees, no preload: paths at the length limit, symbolic link loops
// and devices where files belong. Every dump runs in tzrecon, in a child
// process, and must end by itself with status 0 or 1 (see RealDumps.h).
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FaultSupport.h"
#include "RealDumps.h"
#include "SampleLibrary.h"
#include "TestSupport.h"

using namespace tzfault;

namespace {

// ---------------------------------------------------------------------------
// Paths at PATH_MAX.

// Creates the folders of `path` below `base` one at a time, relative to the
// previous one, so that paths longer than PATH_MAX can be made too. Returns a
// descriptor of the last folder.
int MakeDeepFolders(const std::string& base, const std::vector<std::string>& components) {
  int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const std::string& c : components) {
    if (fd < 0) return -1;
    mkdirat(fd, c.c_str(), 0700);
    const int next = openat(fd, c.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

void WriteAt(int dirFd, const std::string& name, const std::string& content, off_t size = -1) {
  const int fd = openat(dirFd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << name;
  ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  if (size >= 0) {
    ASSERT_EQ(ftruncate(fd, size), 0);
  }
  close(fd);
}

// Folder names that bring `base` to `length` bytes ("/" separators included).
std::vector<std::string> Padding(const std::string& base, size_t length) {
  std::vector<std::string> components;
  size_t at = base.size();
  while (at < length) {
    const size_t room = length - at - 1;  // after the "/"
    const size_t n = room > 200 ? (room - 200 < 2 ? 150 : 200) : room;
    components.push_back(std::string(n, 'p'));
    at += 1 + n;
  }
  return components;
}

// The lines at level -1 that name something under `prefix`.
bool Announced(const Dumped& d, const std::string& prefix) {
  for (const LogLine& l : d.log)
    if (l.level == -1 && l.message.find(prefix) != std::string::npos) return true;
  return false;
}

// Removes `name` in the folder `dirFd` with all it holds, relative to open
// folders all the way down, so that depth is no limit.
void RemoveAt(int dirFd, const char* name) {
  if (unlinkat(dirFd, name, 0) == 0) return;
  const int fd = openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* e = readdir(dir))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  for (const std::string& n : names) RemoveAt(fd, n.c_str());
  closedir(dir);
  unlinkat(dirFd, name, AT_REMOVEDIR);
}

// Removes the first folder of a deep tree under `base` at the end of the
// scope; std::filesystem cannot remove paths longer than PATH_MAX.
struct DeepTree {
  std::string base;
  std::vector<std::string> components;
  ~DeepTree() {
    if (components.empty()) return;
    const int fd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    RemoveAt(fd, components.front().c_str());
    close(fd);
  }
};

// The folders below `base` that make a path of exactly `length` bytes.
std::string DeepRoot(const std::string& base, size_t length, std::vector<std::string>& components) {
  components = Padding(base, length);
  std::string root = base;
  for (const std::string& c : components) root += "/" + c;
  return root;
}

TEST(PathMax, ChunksAndTrailersPastTheLimitStillGiveTheirRows) {
  tztest::SampleLibrary lib;
  // The volume folder's path is 4070 bytes long. CHUNK_1 and its trailer fit
  // within PATH_MAX; chunk 1000000000's own path fits but its trailer's does
  // not; the long name of chunk 3 does not fit, its trailer's path does.
  constexpr size_t kVolumeLength = 4070;
  DeepTree tree{lib.root, {}};
  std::vector<std::string>& path = tree.components;
  const std::string root = DeepRoot(lib.root, kVolumeLength - 4, path);
  path.push_back("V_1");
  const int volume = MakeDeepFolders(lib.root, path);
  ASSERT_GE(volume, 0);
  ASSERT_EQ(root.size() + 4, kVolumeLength);
  WriteAt(volume, "MEDIA_LABEL", tztest::MediaLabel("7"));
  WriteAt(volume, "CHUNK_1", "", 111);
  WriteAt(volume, "CHUNKMAP_TRAILER_1", tztest::Trailer(1, 1));
  WriteAt(volume, "CHUNK_1000000000", "", 222);
  WriteAt(volume, "CHUNKMAP_TRAILER_1000000000", tztest::Trailer(1, 1000000000));
  const std::string longName = "CHUNK_" + std::string(30, '0') + "3";
  WriteAt(volume, longName, "", 333);
  WriteAt(volume, "CHUNKMAP_TRAILER_3", tztest::Trailer(1, 3));
  close(volume);
  const std::string volumePath = root + "/V_1";
  ASSERT_LT((volumePath + "/CHUNKMAP_TRAILER_1").size(), static_cast<size_t>(PATH_MAX));
  ASSERT_GE((volumePath + "/CHUNKMAP_TRAILER_1000000000").size(), static_cast<size_t>(PATH_MAX));
  ASSERT_GE((volumePath + "/" + longName).size(), static_cast<size_t>(PATH_MAX));

  // The disk lister reaches trailers and chunk status relative to the open
  // volume folder: every chunk gets its true row.
  const Dumped disk = DumpOf(lib, false, false, root);
  ASSERT_EQ(disk.run.code, 0) << disk.run.Describe() << disk.logText;
  EXPECT_EQ(Texts(disk.rows), (std::multiset<std::string>{
                                  RowText(1, 1, 111), RowText(1, 1000000000, 222),
                                  RowText(1, 3, 333)}))
      << disk.logText;
  EXPECT_FALSE(Announced(disk, volumePath)) << disk.logText;

  // The folder store works with whole paths: chunk 3's size may be out of
  // its reach, and then it is written as 0 with a message.
  const Dumped cloud = DumpOf(lib, true, false, root);
  ASSERT_EQ(cloud.run.code, 0) << cloud.run.Describe() << cloud.logText;
  std::multiset<std::string> rows = Texts(cloud.rows);
  if (rows.count(RowText(1, 3, 0)) == 1) {
    EXPECT_TRUE(Logged(cloud, "ChunkListHelper::GetFileSize", "Failed to get the file size"))
        << cloud.logText;
    rows.erase(RowText(1, 3, 0));
    rows.insert(RowText(1, 3, 333));
  }
  EXPECT_EQ(rows, (std::multiset<std::string>{RowText(1, 1, 111), RowText(1, 1000000000, 222),
                                               RowText(1, 3, 333)}))
      << cloud.logText;
}

TEST(PathMax, VolumesWhoseLabelOrMarkerPathPassesTheLimitGiveRowsOrNameThatPath) {
  tztest::SampleLibrary lib;
  // Mount path 4086 bytes long: the volume folders fit (4090), their media
  // labels and markers (4102, 4102) do not.
  DeepTree tree{lib.root, {}};
  std::vector<std::string>& path = tree.components;
  const std::string root = DeepRoot(lib.root, 4086, path);
  ASSERT_EQ(root.size(), 4086u);
  path.push_back("V_2");
  int volume = MakeDeepFolders(lib.root, path);
  ASSERT_GE(volume, 0);
  WriteAt(volume, "MEDIA_LABEL", tztest::MediaLabel("7"));
  WriteAt(volume, "CHUNK_5", "", 55);
  WriteAt(volume, "CHUNKMAP_TRAILER_5", tztest::Trailer(2, 5));
  close(volume);
  path.back() = "V_3";
  volume = MakeDeepFolders(lib.root, path);
  ASSERT_GE(volume, 0);
  WriteAt(volume, "MEDIA_LABEL", tztest::MediaLabel("7"));
  WriteAt(volume, ".tzsivolume", "");
  ASSERT_EQ(mkdirat(volume, "CHUNK_6", 0700), 0);
  WriteAt(volume, "CHUNK_6/CHUNK_META_DATA_6", "", 66);
  WriteAt(volume, "CHUNKMAP_TRAILER_6", tztest::Trailer(3, 6));
  close(volume);
  ASSERT_GE((root + "/V_3/.tzsivolume").size(), static_cast<size_t>(PATH_MAX));

  for (const bool si : {false, true}) {
    SCOPED_TRACE(si ? "single-instanced" : "plain");
    const Dumped d = DumpOf(lib, false, si, root);
    ASSERT_TRUE(d.run.exited) << d.run.Describe();
    if (d.run.code != 0) {
      // The walk may stop only by naming the path it could not examine: a
      // marker (or label) of one of the two volumes, past the limit.
      bool named = false;
      for (const char* volume : {"/V_2/", "/V_3/"})
        for (const char* file : {".tzsivolume]", "MEDIA_LABEL]"})
          named |= Announced(d, root + volume + file);
      EXPECT_TRUE(named) << d.run.Describe() << d.logText;
      continue;
    }
    const std::string volumeOfCopy = root + (si ? "/V_3/" : "/V_2/");
    const std::string row = si ? RowText(3, 6, 66, 1) : RowText(2, 5, 55);
    const std::multiset<std::string> rows = Texts(d.rows);
    // The volume of this walk's kind is listed, or its omission announced;
    // the other one never is.
    EXPECT_TRUE(rows == std::multiset<std::string>{row} ||
                (rows.empty() && Announced(d, volumeOfCopy)))
        << d.run.Describe() << d.logText;
  }
}

// A mount path longer than PATH_MAX cannot be opened: the dump fails.
TEST(PathMax, AMountPathPastTheLimitFailsTheDump) {
  tztest::SampleLibrary lib;
  DeepTree tree{lib.root, {}};
  std::vector<std::string>& path = tree.components;
  const std::string root = DeepRoot(lib.root, PATH_MAX + 100, path);
  path.push_back("V_1");
  const int volume = MakeDeepFolders(lib.root, path);
  ASSERT_GE(volume, 0);
  WriteAt(volume, "MEDIA_LABEL", tztest::MediaLabel("7"));
  WriteAt(volume, "CHUNK_1", "", 1);
  WriteAt(volume, "CHUNKMAP_TRAILER_1", tztest::Trailer(1, 1));
  close(volume);
  for (const bool cloud : {false, true}) {
    const Dumped d = DumpOf(lib, cloud, false, root);
    EXPECT_EQ(d.run.code, 1) << d.run.Describe() << d.logText;
  }
}

// ---------------------------------------------------------------------------
// Symbolic links that loop, and volumes reached twice.

TEST(SymlinkLoops, VolumeFoldersThatLoopAreSkippedWithAMessage) {
  tztest::SampleLibrary lib;
  lib.Volume("V_1");
  for (int chunk = 1; chunk <= 3; ++chunk) lib.Chunk("V_1", 1, chunk, 10u * chunk);
  const std::string r = lib.root;
  ASSERT_EQ(symlink("V_2", (r + "/V_2").c_str()), 0);  // itself
  ASSERT_EQ(symlink("V_4", (r + "/V_3").c_str()), 0);  // V_3 -> V_4 -> V_3
  ASSERT_EQ(symlink("V_3", (r + "/V_4").c_str()), 0);
  ASSERT_EQ(symlink(".", (r + "/V_5").c_str()), 0);    // the mount path itself
  ASSERT_EQ(symlink("V_1", (r + "/V_6").c_str()), 0);  // a second name for V_1
  // A chunk whose file is a loop of its own.
  ASSERT_EQ(symlink("CHUNK_7", (r + "/V_1/CHUNK_7").c_str()), 0);
  tztest::WriteFile(r + "/V_1/CHUNKMAP_TRAILER_7", tztest::Trailer(1, 7));

  const std::multiset<std::string> v1 = {RowText(1, 1, 10), RowText(1, 2, 20), RowText(1, 3, 30),
                                         RowText(1, 7, 0)};
  // A looping volume folder cannot say whether it is single-instanced: the
  // disk walk does not guess, it fails with a message naming the marker.
  const Dumped disk = DumpOf(lib, false);
  ASSERT_EQ(disk.run.code, 1) << disk.run.Describe() << disk.logText;
  EXPECT_TRUE(Logged(disk, "ChunkListHelper::EnumerateVolumes",
                     "Error :: Failed to check the single-instance marker [" + r + "/V_"))
      << disk.logText;

  // Without the loops, the mount path's alias V_5 is skipped for its missing
  // label, and V_6's chunks name volume 1 in their trailers: they are not
  // volume 6's.
  for (const char* volume : {"V_2", "V_3", "V_4"}) unlink((r + "/" + volume).c_str());
  const Dumped aliases = DumpOf(lib, false);
  ASSERT_EQ(aliases.run.code, 0) << aliases.run.Describe() << aliases.logText;
  EXPECT_EQ(Texts(aliases.rows), v1) << aliases.logText;
  EXPECT_TRUE(Logged(aliases, "ChunkListHelper::VerifyVolume",
                     "Error :: Failed to open volume label file [" + r + "/V_5/MEDIA_LABEL]"))
      << aliases.logText;
  EXPECT_TRUE(Logged(aliases, "ChunkListHelper::GetFileSize", "Failed to get the file size"));
  ASSERT_EQ(symlink("V_2", (r + "/V_2").c_str()), 0);
  ASSERT_EQ(symlink("V_4", (r + "/V_3").c_str()), 0);
  ASSERT_EQ(symlink("V_3", (r + "/V_4").c_str()), 0);

  // The cloud store sees the loops as files, not volume folders; without
  // the alias V_6 (the cloud lister reads no trailer) it gives V_1's rows.
  unlink((r + "/V_6").c_str());
  const Dumped cloud = DumpOf(lib, true);
  ASSERT_EQ(cloud.run.code, 0) << cloud.run.Describe() << cloud.logText;
  EXPECT_EQ(Texts(cloud.rows), v1) << cloud.logText;
}

// ---------------------------------------------------------------------------
// Devices where a media label or a trailer belongs.

TEST(Devices, LabelsAndTrailersThatAreDevicesNeitherStallNorCountAsRows) {
  tztest::SampleLibrary lib;
  const std::string r = lib.root;
  lib.Volume("V_1");
  lib.Chunk("V_1", 1, 11, 110);
  unlink((r + "/V_1/MEDIA_LABEL").c_str());
  ASSERT_EQ(symlink("/dev/zero", (r + "/V_1/MEDIA_LABEL").c_str()), 0);  // reads as copy 0
  lib.Volume("V_2");
  lib.Chunk("V_2", 2, 21, 210);
  unlink((r + "/V_2/MEDIA_LABEL").c_str());
  ASSERT_EQ(symlink("/dev/null", (r + "/V_2/MEDIA_LABEL").c_str()), 0);  // empty
  lib.Volume("V_3");
  lib.Chunk("V_3", 3, 31, 310);
  lib.Chunk("V_3", 3, 32, 320);
  lib.Chunk("V_3", 3, 33, 330);
  unlink((r + "/V_3/CHUNKMAP_TRAILER_31").c_str());
  ASSERT_EQ(symlink("/dev/zero", (r + "/V_3/CHUNKMAP_TRAILER_31").c_str()), 0);
  unlink((r + "/V_3/CHUNKMAP_TRAILER_32").c_str());
  ASSERT_EQ(symlink("/dev/null", (r + "/V_3/CHUNKMAP_TRAILER_32").c_str()), 0);

  const Dumped disk = DumpOf(lib, false);
  ASSERT_EQ(disk.run.code, 0) << disk.run.Describe() << disk.logText;
  EXPECT_EQ(Texts(disk.rows), (std::multiset<std::string>{RowText(3, 33, 330)})) << disk.logText;
  EXPECT_TRUE(Logged(disk, "ChunkListHelper::VerifyVolume",
                     "Error :: Media-label file Read error(" + r + "/V_2/MEDIA_LABEL)"));
  EXPECT_TRUE(Logged(disk, "ChunkListHelper::GetVolumeAndChunkIdFromCMT",
                     "Either chunk id or volume id not found on chunk map trailer (" + r +
                         "/V_3/CHUNKMAP_TRAILER_31)"))
      << disk.logText;
  EXPECT_TRUE(Logged(disk, "ChunkListHelper::GetVolumeAndChunkIdFromCMT",
                     "Error :: Failed to read 1024 bytes from CMT"));

  // The folder store refuses to read what is not a regular file, and a
  // store failure on a media label fails the cloud dump.
  const Dumped cloud = DumpOf(lib, true);
  EXPECT_EQ(cloud.run.code, 1) << cloud.run.Describe() << cloud.logText;
  EXPECT_TRUE(Logged(cloud, "ChunkListHelper::VerifyVolume", "Error :: Cloud store failed on ["))
      << cloud.logText;
}

}  // namespace
