// Real faults, no preload: a tree that changes under the walk, hostile
// names, paths at the length limit, symbolic link loops and devices where
// files belong. Every dump runs in tzrecon, in a child process, and must end
// by itself with status 0 or 1 and no sanitizer report; a false result must
// come with a level -1 message, a true one with a dump that parses.
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
#include "SampleLibrary.h"
#include "TestSupport.h"

using tzfault::LogLine;
using tzfault::Row;
using tzfault::RunResult;

namespace {

constexpr int kMountPathId = 3;

struct Dumped {
  RunResult run;
  std::vector<Row> rows;  // a true result's rows
  std::vector<LogLine> log;
  std::string logText;
};

// Runs one dump of `lib` through tzrecon and checks what every dump must
// satisfy, whatever the tree looks like.
Dumped DumpOf(tztest::SampleLibrary& lib, bool cloud, bool singleInstanced = false,
              const std::string& root = "", int logLevel = 1) {
  Dumped d;
  const std::string dumps = lib.dir / "dumps";
  const std::string logPath = lib.dir / "tzrecon.log";
  tztest::RemoveTree(dumps);
  tztest::MakeDirs(dumps);
  unlink(logPath.c_str());
  std::vector<std::string> args = {"dump", "--mount-path-id", std::to_string(kMountPathId),
                                   "--copy-id", "7", "--dump-dir", dumps,
                                   "--config", lib.Config(kMountPathId, cloud ? 7 : 4, root),
                                   "--log", logPath, "--log-level", std::to_string(logLevel)};
  if (singleInstanced) args.push_back("--single-instanced");
  d.run = tzfault::RunTzrecon(args, {}, lib.dir.path());
  d.logText = tzfault::ReadOrEmpty(logPath);
  EXPECT_TRUE(tzfault::EndedCleanly(d.run)) << d.run.Describe();
  std::string problem;
  EXPECT_TRUE(tzfault::ParseLog(d.logText, d.log, problem)) << problem;
  if (d.run.exited && d.run.code == 1) {
    bool announced = false;
    for (const LogLine& l : d.log) announced |= l.level == -1;
    EXPECT_TRUE(announced) << "a false result without a level -1 message\n" << d.logText;
  } else if (d.run.exited && d.run.code == 0) {
    EXPECT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(tzfault::DumpPathOf(d.run)), d.rows,
                                   problem))
        << problem;
  }
  return d;
}

bool Logged(const Dumped& d, const std::string& tag, const std::string& messageStart) {
  for (const LogLine& l : d.log)
    if (l.level == -1 && l.tag == tag && l.message.rfind(messageStart, 0) == 0) return true;
  return false;
}

std::multiset<std::string> Texts(const std::vector<Row>& rows) {
  std::multiset<std::string> texts;
  for (const Row& r : rows) texts.insert(r.Text());
  return texts;
}

std::string RowText(int32_t volume, int32_t chunk, uint64_t size, int si = 0) {
  return Row{kMountPathId, volume, chunk, size, si}.Text();
}

// ---------------------------------------------------------------------------
// A tree that changes while the walk runs.

struct Mutation : ::testing::TestWithParam<int> {};

enum { kPlain, kSingleInstanced, kCloudStore };

TEST_P(Mutation, ChunksAndTrailersChangingUnderTheWalkNeverBreakIt) {
  const int kind = GetParam();
  const bool si = kind == kSingleInstanced;
  tztest::SampleLibrary lib;
  // Chunk ids divisible by 3 change all the time; the others never do, and a
  // true result must hold every one of them exactly as it is.
  constexpr int kVolumes = 16, kChunks = 120;
  std::map<std::pair<int32_t, int32_t>, uint64_t> sizes;
  std::vector<std::pair<int, int>> changing;
  for (int v = 1; v <= kVolumes; ++v) {
    const std::string volume = "V_" + std::to_string(v);
    lib.Volume(volume, "7", si);
    for (int i = 0; i < kChunks; ++i) {
      const int chunk = v * 1000 + i;
      const uint64_t size = 10u * static_cast<uint64_t>(chunk) + 1;
      if (si)
        lib.SIChunk(volume, v, chunk, chunk, size);
      else
        lib.Chunk(volume, v, chunk, size);
      sizes[{v, chunk}] = size;
      if (chunk % 3 == 0) changing.push_back({v, chunk});
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<long> changes{0};
  std::thread mutator([&] {
    const std::string root = lib.root;
    for (unsigned round = 0; !stop.load(); ++round) {
      for (const auto& [v, chunk] : changing) {
        if (stop.load()) break;
        const std::string volume = root + "/V_" + std::to_string(v);
        const std::string id = std::to_string(chunk);
        const std::string chunkPath = volume + "/CHUNK_" + id;
        const std::string file = si ? chunkPath + "/CHUNK_META_DATA_" + id : chunkPath;
        const std::string trailer = volume + "/CHUNKMAP_TRAILER_" + id;
        const std::string scratch = volume + "/new_" + id;
        switch ((round + static_cast<unsigned>(chunk)) % 6) {
          case 0:  // the chunk goes, then comes back
            unlink(file.c_str());
            tztest::WriteFile(file, "");
            break;
          case 1:  // the trailer goes, then comes back
            unlink(trailer.c_str());
            tztest::WriteFile(trailer, tztest::Trailer(v, chunk));
            break;
          case 2:  // the trailer is replaced by one naming another chunk
            tztest::WriteFile(scratch, tztest::Trailer(v, chunk + 1));
            rename(scratch.c_str(), trailer.c_str());
            break;
          case 3:  // ... or by a folder, or cut short
            unlink(trailer.c_str());
            mkdir(trailer.c_str(), 0700);
            rmdir(trailer.c_str());
            tztest::WriteFile(trailer, "VolumeId ");
            break;
          case 4:  // the chunk's file is replaced by a dangling link
            unlink(file.c_str());
            if (symlink("/nonexistent/chunk", file.c_str()) != 0) ADD_FAILURE() << file;
            break;
          default:  // everything back as it was, by rename
            tztest::WriteFile(scratch, tztest::Trailer(v, chunk));
            rename(scratch.c_str(), trailer.c_str());
            unlink(file.c_str());
            tztest::WriteFile(file, "");
            if (truncate(file.c_str(), static_cast<off_t>(sizes.at({v, chunk}))) != 0)
              ADD_FAILURE() << file;
            break;
        }
        changes.fetch_add(1);
      }
    }
  });

  int rounds = 0, trueResults = 0, changedUnderTheWalk = 0;
  for (; rounds < 6; ++rounds) {
    const long before = changes.load();
    const Dumped d = DumpOf(lib, kind == kCloudStore, si);
    if (::testing::Test::HasFailure()) break;
    changedUnderTheWalk += changes.load() > before;
    if (d.run.code != 0) continue;
    ++trueResults;
    std::map<std::pair<int32_t, int32_t>, int> stable;
    for (const Row& row : d.rows) {
      auto it = sizes.find(row.Key());
      ASSERT_NE(it, sizes.end()) << "a row for no chunk: " << row.Text();
      EXPECT_EQ(row.mountPathId, kMountPathId);
      EXPECT_EQ(row.si, si ? 1 : 0) << row.Text();
      if (row.chunkId % 3 != 0) {
        ++stable[row.Key()];
        EXPECT_EQ(row.size, it->second) << row.Text();
      } else {
        // A changing chunk's file is at its size, empty, or unreadable.
        EXPECT_TRUE(row.size == it->second || row.size == 0) << row.Text();
      }
    }
    for (const auto& [key, size] : sizes) {
      if (key.second % 3 != 0) {
        EXPECT_EQ(stable[key], 1) << "chunk " << key.first << "/" << key.second
                                  << " of the unchanged ones, in round " << rounds;
      }
    }
  }
  stop.store(true);
  mutator.join();
  EXPECT_GT(changedUnderTheWalk, 0) << "the tree never changed while a dump ran";
  RecordProperty("true_results", trueResults);
  std::printf("mutation %d: %d dumps, %d true results, %ld changes to the tree\n", kind, rounds,
              trueResults, changes.load());

  // Once the tree is quiet again, the dump is complete.
  for (const auto& [v, chunk] : changing) {
    const std::string volume = lib.root + "/V_" + std::to_string(v);
    const std::string id = std::to_string(chunk);
    const std::string file =
        si ? volume + "/CHUNK_" + id + "/CHUNK_META_DATA_" + id : volume + "/CHUNK_" + id;
    unlink(file.c_str());
    tztest::SampleLibrary::Sparse(file, sizes[{v, chunk}]);
    tztest::WriteFile(volume + "/CHUNKMAP_TRAILER_" + id, tztest::Trailer(v, chunk));
  }
  const Dumped quiet = DumpOf(lib, kind == kCloudStore, si);
  ASSERT_EQ(quiet.run.code, 0) << quiet.run.Describe() << quiet.logText;
  EXPECT_EQ(quiet.rows.size(), sizes.size());
}

INSTANTIATE_TEST_SUITE_P(Listers, Mutation,
                         ::testing::Values(kPlain, kSingleInstanced, kCloudStore),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == kPlain            ? "Disk"
                                              : info.param == kSingleInstanced ? "DiskSI"
                                                                               : "Cloud");
                         });

// ---------------------------------------------------------------------------
// Hostile names.

struct HostileNames : ::testing::TestWithParam<bool> {};

TEST_P(HostileNames, GiveAProperRowOrArePassedOverAndLogLinesStayWhole) {
  const bool cloud = GetParam();
  tztest::SampleLibrary lib;
  lib.Volume("V_1");
  for (int chunk = 1; chunk <= 3; ++chunk) lib.Chunk("V_1", 1, chunk, 100u + chunk);
  // Each odd chunk file has a size of its own, so a row tells which file it
  // came from. The trailers name the ids the names read as.
  const std::string longDigits = std::string(248, '0') + "8";  // 255 bytes with "CHUNK_"
  const struct {
    std::string name;
    int32_t readsAs;
  } odd[] = {
      {"CHUNK_4\n", 4},
      {"CHUNK_\n5", 5},
      {"CHUNK_6\r", 6},
      {"CHUNK_1,7", 1},
      {"CHUNK_,", 0},
      {"CHUNK_\xff\xfe" "9", 0},
      {"CHUNK_10\xc3", 10},
      {"CHUNK_" + longDigits, 8},
      {"CHUNK_" + std::string(249, 'a'), 0},
      {"CHUNK_ 11", 11},
  };
  std::set<std::string> allowed;
  for (int chunk = 1; chunk <= 3; ++chunk) allowed.insert(RowText(1, chunk, 100u + chunk));
  uint64_t size = 5000;
  for (const auto& o : odd) {
    ASSERT_LE(o.name.size(), 255u);
    tztest::SampleLibrary::Sparse(lib.root + "/V_1/" + o.name, ++size);
    allowed.insert(RowText(1, o.readsAs, size));
    if (o.readsAs > 3)
      tztest::WriteFile(lib.root + "/V_1/CHUNKMAP_TRAILER_" + std::to_string(o.readsAs),
                        tztest::Trailer(1, o.readsAs));
  }
  // Volumes whose names are not an id's own decimal form are passed over.
  for (const std::string& name :
       {std::string("V_2\n"), std::string("V_2,"), std::string("V_\xff"),
        "V_" + std::string(253, '9')}) {
    ASSERT_LE(name.size(), 255u);
    lib.Volume(name);
    lib.Chunk(name, 2, 20, 2000);
  }

  const Dumped d = DumpOf(lib, cloud, false, "", 2);
  ASSERT_EQ(d.run.code, 0) << d.run.Describe() << d.logText;
  std::multiset<std::string> rows = Texts(d.rows);
  for (int chunk = 1; chunk <= 3; ++chunk)
    EXPECT_EQ(rows.count(RowText(1, chunk, 100u + chunk)), 1u) << chunk;
  for (const std::string& row : rows)
    EXPECT_EQ(allowed.count(row), 1u) << "row [" << row << "] comes from no chunk";
  EXPECT_EQ(rows.size(), std::set<std::string>(rows.begin(), rows.end()).size());
  // Every odd name reached the log, escaped, on one line.
  for (const char* escaped : {"CHUNK_4\\n", "CHUNK_\\n5", "CHUNK_6\\r"}) {
    bool found = false;
    for (const LogLine& l : d.log) found |= l.message.find(escaped) != std::string::npos;
    EXPECT_TRUE(found) << escaped << "\n" << d.logText;
  }
}

INSTANTIATE_TEST_SUITE_P(Listers, HostileNames, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "Cloud" : "Disk");
                         });

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

// ---------------------------------------------------------------------------
// The process itself failing: out of descriptors, killed, or on a file
// system that takes no unnamed files.

// A library of `volumes` volumes of copy 7 with `chunks` chunks each.
std::set<std::pair<int32_t, int32_t>> Populate(tztest::SampleLibrary& lib, int volumes,
                                               int chunks) {
  std::set<std::pair<int32_t, int32_t>> keys;
  for (int v = 1; v <= volumes; ++v) {
    lib.Volume("V_" + std::to_string(v));
    for (int c = 1; c <= chunks; ++c) {
      lib.Chunk("V_" + std::to_string(v), v, v * 1000 + c, static_cast<uint64_t>(c));
      keys.insert({v, v * 1000 + c});
    }
  }
  return keys;
}

std::vector<std::string> DumpArgs(tztest::SampleLibrary& lib, const std::string& dumps,
                                  const std::string& logPath) {
  return {"dump", "--mount-path-id", std::to_string(kMountPathId), "--copy-id", "7",
          "--dump-dir", dumps, "--config", lib.Config(kMountPathId), "--log", logPath};
}

// The names in `folder` that a dump or its stand-in may take.
std::vector<std::string> DumpNamesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* e = readdir(dir))
    if (std::strstr(e->d_name, "ChunkLister_") != nullptr) names.push_back(e->d_name);
  closedir(dir);
  return names;
}

TEST(ProcessFailures, OutOfDescriptorsNeverGivesADumpWithChunksLeftOut) {
  tztest::SampleLibrary lib;
  const auto keys = Populate(lib, 3, 5);
  const std::string dumps = lib.dir / "dumps";
  const std::string logPath = lib.dir / "tzrecon.log";
  int failedForDescriptors = 0;
  for (long limit = 4; limit <= 40; ++limit) {
    SCOPED_TRACE("RLIMIT_NOFILE " + std::to_string(limit));
    tztest::RemoveTree(dumps);
    tztest::MakeDirs(dumps);
    unlink(logPath.c_str());
    const RunResult run =
        tzfault::RunTzrecon(DumpArgs(lib, dumps, logPath), {}, lib.dir.path(), 120, limit);
    ASSERT_TRUE(run.exited) << run.Describe();
    if (run.code == 127) continue;  // the loader could not open tzrecon's libraries
    // The undefined-behaviour sanitizer checks an object's type by reading
    // its memory through a pipe, which a process out of descriptors cannot
    // make: it then takes every object it checks for a wrong one. Such a run
    // says nothing of the dump.
    if (run.err.find("does not point to an object of type") != std::string::npos) continue;
    if (run.code == 0) {
      // Enough descriptors: the whole dump, nothing left out.
      std::vector<Row> rows;
      std::string problem;
      ASSERT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(tzfault::DumpPathOf(run)), rows, problem))
          << problem;
      std::set<std::pair<int32_t, int32_t>> got;
      for (const Row& r : rows) got.insert(r.Key());
      EXPECT_EQ(got, keys) << tzfault::ReadOrEmpty(logPath);
      continue;
    }
    // Too few: tzrecon cannot start (2) or the dump fails (1), saying why.
    EXPECT_TRUE(run.code == 1 || run.code == 2) << run.Describe();
    const std::string said = run.err + tzfault::ReadOrEmpty(logPath);
    EXPECT_NE(said.find(strerror(EMFILE)), std::string::npos) << run.Describe() << said;
    failedForDescriptors += run.code == 1;
  }
  EXPECT_GT(failedForDescriptors, 0) << "no limit let the walk start and then run out";
}

TEST(ProcessFailures, AKilledDumpLeavesNothingAtADumpName) {
  tztest::TempDir dir;
  const std::string root = dir / "lib", config = dir / "registry.json";
  const RunResult made = tzfault::RunTzrecon(
      {"sample", root, "--volumes", "8", "--chunks-per-volume", "2500", "--copy-id", "7",
       "--config-out", config, "--mount-path-id", std::to_string(kMountPathId)},
      {}, dir.path());
  ASSERT_EQ(made.code, 0) << made.Describe();
  const std::string dumps = dir / "dumps";
  const std::string logPath = dir / "tzrecon.log";
  tztest::MakeDirs(dumps);
  const std::vector<std::string> args = {
      "dump", "--mount-path-id", std::to_string(kMountPathId), "--copy-id", "7", "--dump-dir",
      dumps,  "--config",        config,  "--log",       logPath, "--log-level", "2"};
  const pid_t child = tzfault::StartTzrecon(args, {}, dir.path());
  ASSERT_GT(child, 0);
  // Killed once the walk is in its third volume, rows behind it.
  const std::string third = root + "/V_3/";
  bool reached = false;
  std::string seen;  // the log's bytes read so far, from the last line on
  std::ifstream log;
  for (int i = 0; i < 6000 && !reached; ++i) {
    if (!log.is_open()) log.open(logPath, std::ios::binary);
    std::string more((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    log.clear();
    seen = seen.substr(seen.size() - std::min(seen.size(), third.size())) + more;
    reached = seen.find(third) != std::string::npos;
    if (!reached) usleep(2000);
  }
  kill(child, SIGKILL);
  const RunResult run = tzfault::FinishTzrecon(child, dir.path());
  ASSERT_TRUE(reached) << "the walk never reached its third volume\n" << run.Describe();
  ASSERT_FALSE(run.exited) << "the dump ended before it was killed\n" << run.Describe();
  EXPECT_EQ(DumpNamesIn(dumps), std::vector<std::string>{});
}

TEST(ProcessFailures, AFolderWithoutUnnamedFilesGetsAHiddenStandIn) {
  tztest::SampleLibrary lib;
  const auto keys = Populate(lib, 2, 3);
  const std::string dumps = lib.dir / "dumps";
  const std::string logPath = lib.dir / "tzrecon.log";
  tztest::MakeDirs(dumps);
  // The first open in the dump folder is the unnamed file's: refused, as
  // some network and FUSE file systems do.
  const tzfault::Env env = {{"LD_PRELOAD", TZFAULT_SHIM},   {"TZFAULT_OP", "open"},
                            {"TZFAULT_N", "1"},             {"TZFAULT_ERRNO", std::to_string(EOPNOTSUPP)},
                            {"TZFAULT_PATH_SUBSTR", dumps}, {"TZRECON_LOG_LEVEL", "2"}};
  const RunResult run = tzfault::RunTzrecon(DumpArgs(lib, dumps, logPath), env, lib.dir.path());
  ASSERT_EQ(run.code, 0) << run.Describe();
  const std::string logText = tzfault::ReadOrEmpty(logPath);
  const std::string dumpPath = tzfault::DumpPathOf(run);
  const std::string name = dumpPath.substr(dumpPath.rfind('/') + 1);
  EXPECT_NE(logText.find("takes no unnamed file; the dump is written as [" + dumps + "/." + name +
                         ".partial] until it ends"),
            std::string::npos)
      << logText;
  std::vector<Row> rows;
  std::string problem;
  ASSERT_TRUE(tzfault::ParseDump(tzfault::ReadOrEmpty(dumpPath), rows, problem)) << problem;
  EXPECT_EQ(rows.size(), keys.size());
  const std::vector<std::string> names = DumpNamesIn(dumps);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{name, name + ".json"}))
      << "the dump and its record; the stand-in is gone";
}

}  // namespace
