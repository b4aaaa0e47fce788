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

TEST_P(WindowEquivalence, AWindowAheadOfEveryChunkChangesNoByteAndNoLine) {
  const tztest::OddLibrary& odd = GetParam();
  SampleLibrary lib;
  odd.build(lib);
  const WalkResult plain = tztest::Walk(lib, odd.mode);
  ASSERT_EQ(ReadAhead::Testing::requests, 0) << "a walk over a warm cache engaged the window";

  ReadAhead::Testing::alwaysEngaged = true;
  const WalkResult window = tztest::Walk(lib, odd.mode);
  EXPECT_GT(ReadAhead::Testing::requests, 0) << "the window made no request";
  tztest::ExpectSameWalk(plain, window);
}

TEST_P(WindowEquivalence, WithoutIoUringTheWalkSaysSoOnceAndRunsAsToday) {
  const tztest::OddLibrary& odd = GetParam();
  SampleLibrary lib;
  odd.build(lib);
  const WalkResult plain = tztest::Walk(lib, odd.mode);

  ReadAhead::Testing::alwaysEngaged = true;
  ReadAhead::Testing::unavailable = true;
  WalkResult without = tztest::Walk(lib, odd.mode);
  EXPECT_EQ(ReadAhead::Testing::requests, 0);
  // One level 2 line says so, wherever the window was first wanted; all the
  // other lines are the plain walk's.
  int said = 0;
  std::vector<tztest::LogLine> rest;
  for (const tztest::LogLine& line : without.log) {
    if (line.tag == kReadAheadTag) {
      ++said;
      EXPECT_EQ(line.level, 2);
      EXPECT_EQ(line.message.rfind("Read-ahead is off: io_uring cannot be set up (", 0), 0u)
          << line.message;
    } else {
      rest.push_back(line);
    }
  }
  EXPECT_EQ(said, odd.volumesWalked > 0 ? 1 : 0);
  without.log = rest;
  tztest::ExpectSameWalk(plain, without);
}

INSTANTIATE_TEST_SUITE_P(OddLibraries, WindowEquivalence,
                         ::testing::ValuesIn(tztest::OddLibraries()),
                         [](const ::testing::TestParamInfo<tztest::OddLibrary>& info) {
                           return std::string(info.param.name);
                         });

// Trailers pushed out of the page cache: the first read that asks not to
// wait says it would, and the window engages for the rest of the volume.
TEST(WindowEngagement, ATrailerOutsideThePageCacheEngagesTheWindow) {
  tztest::WindowSeams seams;
  SampleLibrary lib;
  lib.Volume("V_1");
  for (int chunk = 1; chunk <= 300; ++chunk) lib.Chunk("V_1", 1, chunk, 100u + chunk);
  const WalkResult plain = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  // Clean pages can be dropped: written back first, then advised away.
  for (int chunk = 1; chunk <= 300; ++chunk) {
    const std::string path = lib.root + "/V_1/CHUNKMAP_TRAILER_" + std::to_string(chunk);
    const int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
  if (!tztest::OutOfPageCache(lib.root + "/V_1/CHUNKMAP_TRAILER_1"))
    GTEST_SKIP() << "this file system keeps the trailers in memory (tmpfs?)";
  const WalkResult cold = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  EXPECT_GT(ReadAhead::Testing::requests, 0) << "the window did not engage";
  tztest::ExpectSameWalk(plain, cold);
}

}  // namespace
