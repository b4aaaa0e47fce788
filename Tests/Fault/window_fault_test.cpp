// The fault sweep of the read-ahead window's own requests: the window works
// ahead of every chunk while each of its requests in turn (of a large library:
// the first ones and a spread of the rest) is made to fail in
// the kernel (it names a descriptor or a slot that does not exist, so an
// open fails, and the read and close linked after it fail too), then while
// each entry of the submission queue it asks for in turn is refused as from
// a full queue, then while each of its submissions in turn sends nothing.
// The window only warms caches, so every run must give the plain walk's dump
// and log lines, and the walk must go on to the end: a request that failed
// must not keep its slot, or the window would stall. Walk checks that every
// request sent was answered before the window let go of its buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "ReadAhead.h"
#include "WindowRuns.h"

using tzrecon::ReadAhead;

namespace {

class WindowFaultSweep : public ::testing::TestWithParam<tztest::OddLibrary> {
 protected:
  tztest::WindowSeams seams;
};

// The calls of the ring the sweep makes fail: which one fails (counted from
// 1 since the count was last set to 0) and their count.
// Which of `calls` calls to fail, one run each: every one of the first
// kEvery (each kind of request of the first chunks, each failed in turn),
// then kSpread more spread evenly over the rest, the last among them, so
// that calls made after the window's slots were first reused fail too.
std::vector<long> CallsToFail(long calls) {
  constexpr long kEvery = 24, kSpread = 24;
  std::vector<long> chosen;
  for (long n = 1; n <= std::min(calls, kEvery); ++n) chosen.push_back(n);
  for (long k = 1; calls > kEvery && k <= kSpread; ++k) {
    const long n = kEvery + (calls - kEvery) * k / kSpread;
    if (n != chosen.back()) chosen.push_back(n);
  }
  return chosen;
}

struct Faulted {
  const char* what;
  std::atomic<long>& failAt;
  std::atomic<long>& count;
};

TEST_P(WindowFaultSweep, EachCallOfTheWindowFailedInTurnChangesNothing) {
  const tztest::OddLibrary& odd = GetParam();
  tztest::SampleLibrary lib;
  odd.build(lib);
  const tztest::WalkResult plain = tztest::Walk(lib, odd.mode);
  ReadAhead::Testing::alwaysEngaged = true;

  const Faulted faulted[] = {
      {"requests", ReadAhead::Testing::failRequest, ReadAhead::Testing::requests},
      {"queue entries", ReadAhead::Testing::refuseEntry, ReadAhead::Testing::entries},
      {"submissions", ReadAhead::Testing::refuseSubmit, ReadAhead::Testing::submits},
  };
  for (const Faulted& fault : faulted) {
    const tztest::WalkResult clean = tztest::Walk(lib, odd.mode);
    const long calls = fault.count;
    ASSERT_GT(calls, 0) << "the window made no " << fault.what;
    tztest::ExpectSameWalk(plain, clean);

    // How far the window gets before the walk passes it depends on how fast
    // the kernel answers, so a run may end before its n-th call.
    long reached = 0;
    const std::vector<long> chosen = CallsToFail(calls);
    for (long n : chosen) {
      if (HasFailure()) break;
      SCOPED_TRACE("of the " + std::string(fault.what) + ", " + std::to_string(n) + " of " +
                   std::to_string(calls) + " failed");
      fault.failAt = n;
      const tztest::WalkResult faulty = tztest::Walk(lib, odd.mode);
      if (fault.count >= n) ++reached;
      tztest::ExpectSameWalk(plain, faulty);
    }
    fault.failAt = 0;
    EXPECT_GT(reached, 0) << "none of the " << fault.what << " was made to fail";
    std::printf("window fault sweep %s: %ld of %zu chosen of %ld %s failed in turn\n", odd.name,
                reached, chosen.size(), calls, fault.what);
  }
}

INSTANTIATE_TEST_SUITE_P(OddLibraries, WindowFaultSweep,
                         ::testing::ValuesIn(tztest::OddLibraries()),
                         [](const ::testing::TestParamInfo<tztest::OddLibrary>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
