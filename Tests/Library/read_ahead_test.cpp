// The read-ahead window beside the plain walk. Over libraries with the odd
// cases (missing, short and mismatched trailers, FIFOs and folders in place
// of trailers, unreadable chunks, single-instanced volumes), the dump's
// bytes and the log's lines must be the same whether the window works ahead
// of every chunk, cannot be set up, or is idle; and it stays idle over a
// cache that holds the trailers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ReadAhead.h"
#include "SampleLibrary.h"
#include "TestSupport.h"
#include "TzLibVolReconChunkListHelper.h"
#include "WindowRuns.h"

using tzrecon::ReadAhead;
using tztest::SampleLibrary;
using tztest::WalkResult;

namespace {

constexpr char kReadAheadTag[] = "ChunkListHelper::ReadAhead";

class WindowEquivalence : public ::testing::TestWithParam<tztest::OddLibrary> {
 protected:
  tztest::WindowSeams seams;  // every seam back to its default afterwards
};

// Under every set-up of the ring (older kernels refuse the first set-up's
// flags, and the window falls back to the next), with every submission and
// wait of the ring interrupted by a signal first while the walk waits for
// the window at each entry, and with every submission failing. Walk checks
// that every request was answered, or dropped unsent, before the window let
// go of it.
TEST_P(WindowEquivalence, AWindowAheadOfEveryChunkChangesNoByteAndNoLine) {
  const tztest::OddLibrary& odd = GetParam();
  SampleLibrary lib;
  odd.build(lib);
  const WalkResult plain = tztest::Walk(lib, odd.mode);
  ASSERT_EQ(ReadAhead::Testing::requests, 0) << "a walk over a warm cache engaged the window";
  bool met = false;
  for (const tztest::LogLine& line : plain.log)
    met |= line.message.find(odd.logs) != std::string::npos;
  EXPECT_TRUE(met) << "the walk did not meet the odd cases: no line holds " << odd.logs;

  ReadAhead::Testing::alwaysEngaged = true;
  for (unsigned setUp = 0; setUp < 3; ++setUp) {
    for (const char* answers : {"", "interrupted", "refusing every submission"}) {
      SCOPED_TRACE("ring set-up " + std::to_string(setUp) + " " + answers);
      ReadAhead::Testing::firstSetUp = setUp;
      ReadAhead::Testing::interrupt = ReadAhead::Testing::patient =
          std::string(answers) == "interrupted";
      ReadAhead::Testing::refuseSubmit = std::string(answers) == "refusing every submission" ? -1 : 0;
      const WalkResult window = tztest::Walk(lib, odd.mode);
      EXPECT_GT(ReadAhead::Testing::requests, 0) << "the window made no request";
      EXPECT_EQ(ReadAhead::Testing::leaked, 0);
      tztest::ExpectSameWalk(plain, window);
    }
  }
}

// The window goes off for the rest of the walk when io_uring cannot be set
// up, or when it cannot wait for its requests (it then leaves its ring to
// the kernel, which may still write into it). Either way the walk says so
// once at level 2 and runs as it would without the window.
struct WindowOff {
  const char* name;
  void (*set)();
  const char* says;
  bool leaves;  // a ring to the kernel
};

const WindowOff kWaysOff[] = {
    {"NoIoUring", [] { ReadAhead::Testing::unavailable = true; },
     "Read-ahead is off: io_uring cannot be set up (", false},
    // The walk waits for the window at its first entry, so a wait comes
    // while requests are in flight.
    {"WaitsFail",
     [] {
       ReadAhead::Testing::failWaits = true;
       ReadAhead::Testing::patient = true;
     },
     "Read-ahead is off: its requests in flight cannot be waited for (", true},
};

TEST_P(WindowEquivalence, AWindowThatGoesOffSaysSoOnceAndTheWalkRunsAsToday) {
  const tztest::OddLibrary& odd = GetParam();
  SampleLibrary lib;
  odd.build(lib);
  const WalkResult plain = tztest::Walk(lib, odd.mode);
  const int walked = odd.volumesWalked > 0 ? 1 : 0;

  for (const WindowOff& off : kWaysOff) {
    SCOPED_TRACE(off.name);
    tztest::WindowSeams::Reset();
    ReadAhead::Testing::alwaysEngaged = true;
    off.set();
    WalkResult without = tztest::Walk(lib, odd.mode);
    if (off.leaves)
      EXPECT_EQ(ReadAhead::Testing::leaked, walked);
    else
      EXPECT_EQ(ReadAhead::Testing::requests, 0);
    // One level 2 line says so, wherever the window went off; all the
    // other lines are the plain walk's.
    int said = 0;
    std::vector<tztest::LogLine> rest;
    for (const tztest::LogLine& line : without.log) {
      if (line.tag == kReadAheadTag) {
        ++said;
        EXPECT_EQ(line.level, 2);
        EXPECT_EQ(line.message.rfind(off.says, 0), 0u) << line.message;
      } else {
        rest.push_back(line);
      }
    }
    EXPECT_EQ(said, walked);
    without.log = rest;
    tztest::ExpectSameWalk(plain, without);
  }
}

INSTANTIATE_TEST_SUITE_P(OddLibraries, WindowEquivalence,
                         ::testing::ValuesIn(tztest::OddLibraries()),
                         [](const ::testing::TestParamInfo<tztest::OddLibrary>& info) {
                           return std::string(info.param.name);
                         });

// Over a library that holds what the walk will look for, every request of
// the window names a file that is there. In a single-instanced volume the
// window looks up, in each chunk folder, the metadata file of the folder's
// own id, which may not be there; then it reads the folder's listing and
// sends each metadata file's requests.
struct WellFormed {
  const char* name;
  MountPathTraverseMode mode;
  std::function<void(SampleLibrary&)> build;
  long lookups;  // chunk folders looked up
  long chains;   // chunks or metadata files: a status, an open, an advice and a close each
  bool guessesMiss;
  friend void PrintTo(const WellFormed& library, std::ostream* os) { *os << library.name; }
};

class WindowRequests : public ::testing::TestWithParam<WellFormed> {};

const WellFormed kWellFormed[] = {
    {"Chunks", MOUNT_PATH_TRAVERSE_NON_SI,
     [](SampleLibrary& lib) {
       lib.Volume("V_1");
       for (int chunk = 1; chunk <= 150; ++chunk) lib.Chunk("V_1", 1, chunk, chunk);
     },
     0, 150, false},
    {"ChunkFoldersOfTheirOwnId", MOUNT_PATH_TRAVERSE_SI,
     [](SampleLibrary& lib) {
       lib.Volume("V_2", "7", /*singleInstanced=*/true);
       for (int folder = 1; folder <= 150; ++folder) lib.SIChunk("V_2", 2, folder, folder, folder);
     },
     150, 150, false},
    {"ChunkFoldersOfOtherIds", MOUNT_PATH_TRAVERSE_SI,
     [](SampleLibrary& lib) {
       lib.Volume("V_3", "7", /*singleInstanced=*/true);
       for (int folder = 1; folder <= 100; ++folder)
         for (int meta = 0; meta < 3; ++meta)
           lib.SIChunk("V_3", 3, folder, 1000 + 3 * folder + meta, folder);
     },
     100, 300, true},
};

TEST_P(WindowRequests, NameFilesThatAreThere) {
  const WellFormed& library = GetParam();
  tztest::WindowSeams seams;
  SampleLibrary lib;
  library.build(lib);
  const WalkResult plain = tztest::Walk(lib, library.mode);
  ReadAhead::Testing::alwaysEngaged = true;
  // The walk waits for the window at each entry, so that no chunk folder is
  // passed before its listing is read.
  ReadAhead::Testing::patient = true;
  const WalkResult window = tztest::Walk(lib, library.mode);
  EXPECT_EQ(ReadAhead::Testing::requests, library.lookups + 4 * library.chains);
  EXPECT_EQ(ReadAhead::Testing::failures, library.guessesMiss ? library.lookups : 0);
  tztest::ExpectSameWalk(plain, window);
}

INSTANTIATE_TEST_SUITE_P(WellFormedLibraries, WindowRequests, ::testing::ValuesIn(kWellFormed),
                         [](const ::testing::TestParamInfo<WellFormed>& info) {
                           return std::string(info.param.name);
                         });

// Two dumps at once on two host threads, the window working ahead in each:
// each dump is its library's plain walk's, byte for byte. The window's test
// counts take the requests of both; a ThreadSanitizer build runs this test
// too, where a race on them, or on anything else the windows share, fails it.
TEST(WindowThreads, TwoDumpsAtOnceAreEachThePlainWalks) {
  tztest::WindowSeams seams;
  const std::vector<tztest::OddLibrary> odd = tztest::OddLibraries();
  const tztest::OddLibrary* pair[2] = {&odd[1], &odd[4]};  // many chunks; chunk folders
  SampleLibrary libs[2];
  std::string plain[2];
  for (int i = 0; i < 2; ++i) {
    pair[i]->build(libs[i]);
    plain[i] = tztest::Walk(libs[i], pair[i]->mode).dump;
  }
  ReadAhead::Testing::alwaysEngaged = true;
  tztest::WindowSeams::ResetCounts();
  tztest::LogCapture log{2};
  bool ok[2] = {};
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      ChunkListHelper lister(libs[i].root, 3, 7, pair[i]->mode);
      ok[i] = lister.Dump(libs[i].dir / "threaded.csv");
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(pair[i]->name);
    EXPECT_TRUE(ok[i]);
    EXPECT_EQ(tztest::ReadFile(libs[i].dir / "threaded.csv"), plain[i]);
  }
  EXPECT_GT(ReadAhead::Testing::requests, 0) << "the windows made no request";
  EXPECT_EQ(ReadAhead::Testing::answered + ReadAhead::Testing::dropped,
            ReadAhead::Testing::requests.load());
}

// Trailers pushed out of the page cache. A read that asks not to wait says
// it would for each of them; the window engages once enough of them come in
// a row, and never for a few strays, which a warm cache shows now and then.
struct OutOfCache {
  const char* name;
  std::function<bool(int at)> dropped;  // the 300 chunks, numbered from 1 in the walk's order
  bool engages;
  friend void PrintTo(const OutOfCache& out, std::ostream* os) { *os << out.name; }
};

class WindowEngagement : public ::testing::TestWithParam<OutOfCache> {};

constexpr int kInARow = static_cast<int>(ReadAhead::kWaitsToEngage);

const OutOfCache kOutOfCache[] = {
    {"Every", [](int) { return true; }, true},
    // Twice a run: now and then one of the pages is back in the cache by the
    // time the walk reads it, and the longer part left is still a run.
    {"TwiceEnoughInARow", [](int chunk) { return chunk >= 200 && chunk < 200 + 2 * kInARow; },
     true},
    {"OneShortOfARow", [](int chunk) { return chunk >= 200 && chunk < 200 + kInARow - 1; },
     false},
    {"EveryOther", [](int chunk) { return chunk % 2 == 0; }, false},
    {"One", [](int chunk) { return chunk == 150; }, false},
};

TEST_P(WindowEngagement, EngagesOnlyForTrailersOutOfTheCacheInARow) {
  const OutOfCache& out = GetParam();
  tztest::WindowSeams seams;
  SampleLibrary lib;
  lib.Volume("V_1");
  for (int chunk = 1; chunk <= 300; ++chunk) lib.Chunk("V_1", 1, chunk, 100u + chunk);
  const WalkResult plain = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  // The runs are runs in the walk's order, which is the folder's listing
  // order, not the order of the ids.
  const std::vector<std::string> inWalkOrder = tztest::ListingOrder(lib.root + "/V_1", "CHUNK_");
  ASSERT_EQ(inWalkOrder.size(), 300u);
  for (int at = 1; at <= 300; ++at) {
    if (!out.dropped(at)) continue;
    const std::string id = inWalkOrder[at - 1].substr(sizeof "CHUNK_" - 1);
    if (!tztest::DropFromPageCache(lib.root + "/V_1/CHUNKMAP_TRAILER_" + id))
      GTEST_SKIP() << "a trailer stays in the page cache (tmpfs?)";
  }
  const WalkResult cold = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  if (out.engages)
    EXPECT_GT(ReadAhead::Testing::requests, 0) << "the window did not engage";
  else
    EXPECT_EQ(ReadAhead::Testing::requests, 0) << "the window engaged for strays";
  tztest::ExpectSameWalk(plain, cold);
}

// A folder out of the cache starts the next one with the window working
// from its first entry; when that folder turns out warm, the ones after it
// start idle again.
TEST(WindowEngagement, AWarmFolderAfterAColdOneEndsTheHeadStart) {
  tztest::WindowSeams seams;
  SampleLibrary lib;
  constexpr int kChunks = 300;
  for (int volume = 1; volume <= 4; ++volume) {
    const std::string name = "V_" + std::to_string(volume);
    lib.Volume(name);
    for (int chunk = 1; chunk <= kChunks; ++chunk)
      lib.Chunk(name, volume, volume * 1000 + chunk, 100u + chunk);
  }
  const WalkResult plain = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  const std::vector<std::string> volumes = tztest::ListingOrder(lib.root, "V_");
  ASSERT_EQ(volumes.size(), 4u);
  const std::string cold = lib.root + "/" + volumes[0] + "/CHUNKMAP_TRAILER_";
  const int coldId = std::stoi(volumes[0].substr(2));
  for (int chunk = 1; chunk <= kChunks; ++chunk)
    if (!tztest::DropFromPageCache(cold + std::to_string(coldId * 1000 + chunk)))
      GTEST_SKIP() << "a trailer stays in the page cache (tmpfs?)";
  const WalkResult walk = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  // A chunk costs the window at most four requests: the cold folder and the
  // warm one after it come to at most two folders' worth, where a head start
  // that outlived the warm folder would cost four.
  EXPECT_GT(ReadAhead::Testing::requests, 0) << "the window did not engage";
  EXPECT_LE(ReadAhead::Testing::requests, 4 * 2 * kChunks) << "the head start outlived a warm folder";
  tztest::ExpectSameWalk(plain, walk);
}

INSTANTIATE_TEST_SUITE_P(TrailersOutOfTheCache, WindowEngagement, ::testing::ValuesIn(kOutOfCache),
                         [](const ::testing::TestParamInfo<OutOfCache>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
