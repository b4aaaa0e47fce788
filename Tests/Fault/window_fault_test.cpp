// The fault sweep of the read-ahead window's own requests: the window works
// ahead of every chunk while each of its requests in turn is made to fail in
// the kernel (it names a descriptor or a slot that does not exist, so an
// open fails, and the read and close linked after it fail too). The window
// only warms caches, so every run must give the plain walk's dump and log
// lines, and the walk must go on to the end: a request that failed must not
// keep its slot, or the window would stall.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "ReadAhead.h"
#include "WindowRuns.h"

using tzrecon::ReadAhead;

namespace {

class WindowFaultSweep : public ::testing::TestWithParam<tztest::OddLibrary> {
 protected:
  tztest::WindowSeams seams;
};

TEST_P(WindowFaultSweep, EachRequestOfTheWindowFailedInTurnChangesNothing) {
  const tztest::OddLibrary& odd = GetParam();
  tztest::SampleLibrary lib;
  odd.build(lib);
  const tztest::WalkResult plain = tztest::Walk(lib, odd.mode);

  ReadAhead::Testing::alwaysEngaged = true;
  const tztest::WalkResult clean = tztest::Walk(lib, odd.mode);
  const long requests = ReadAhead::Testing::requests;
  ASSERT_GT(requests, 0) << "the window made no request";
  tztest::ExpectSameWalk(plain, clean);

  // How far the window gets before the walk passes it depends on how fast
  // the kernel answers, so a run may end before its n-th request.
  long reached = 0;
  for (long n = 1; n <= requests && !HasFailure(); ++n) {
    SCOPED_TRACE("request " + std::to_string(n) + " of " + std::to_string(requests) + " failed");
    ReadAhead::Testing::failRequest = n;
    const tztest::WalkResult faulty = tztest::Walk(lib, odd.mode);
    if (ReadAhead::Testing::requests >= n) ++reached;
    tztest::ExpectSameWalk(plain, faulty);
  }
  EXPECT_GT(reached, 0) << "no request was made to fail";
  std::printf("window fault sweep %s: %ld of %ld requests failed in turn\n", odd.name, reached,
              requests);
}

INSTANTIATE_TEST_SUITE_P(OddLibraries, WindowFaultSweep,
                         ::testing::ValuesIn(tztest::OddLibraries()),
                         [](const ::testing::TestParamInfo<tztest::OddLibrary>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
