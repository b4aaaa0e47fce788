// Real faults, no preload: a tree that changes under the walk, and hostile
// names. Every dump runs in tzrecon, in a child process, and must end by
// itself with status 0 or 1 and no sanitizer report; a false result must
// come with a level -1 message, a true one with a dump that parses (see
// RealDumps.h). Hostile trees are in hostile_tree_test.cpp, the process
// itself failing in process_failure_test.cpp.
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

}  // namespace
