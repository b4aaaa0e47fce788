// Allocation failures, one at a time: this binary's operator new can be told
// to fail its N-th allocation, and a small disk dump and a small cloud dump
// run once for every N. Whatever runs out, the host gets back a complete
// dump or false with a level -1 message; no exception reaches it, nothing
// crashes, and the sanitizer build finds no access to freed memory (such as
// a stream left open on a buffer that is gone) and no leak.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <set>
#include <string>

#include "SampleLibrary.h"
#include "TestSupport.h"
#include "TzLibVolReconciliation.h"

namespace {

bool g_armed = false;
long g_seen = 0;
long g_failAt = 0;  // 0: never

void* Allocate(size_t size, bool nothrow) {
  if (g_armed && ++g_seen == g_failAt) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* p = std::malloc(size != 0 ? size : 1);
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t size) { return Allocate(size, false); }
void* operator new[](size_t size) { return Allocate(size, false); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size, true); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
// What a nothrow new calls when the constructor it ran throws.
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

struct Outcome {
  bool ok = false;
  std::string dumpFileName;
};

class AllocationSweep : public ::testing::TestWithParam<bool> {
 protected:
  // One request, failing allocation `failAt` (0: none) of the call.
  Outcome Request(long failAt, long& allocations) {
    const std::string dumps = lib.dir / ("dumps-" + std::to_string(failAt));
    tztest::MakeDirs(dumps);
    TzLibVolReconsiliation recon;
    ChunkListInputs inputs;
    inputs.mountPathId = 3;
    _TzLibVolReconInputParams params;
    params.dumpFlags = DUMP_CHUNK_LISTER;
    params.dumpPath = dumps;
    params.copyId = 7;
    params.chunkListInputs = &inputs;
    Outcome outcome;
    g_seen = 0;
    g_failAt = failAt;
    g_armed = true;
    outcome.ok = recon.CreateMultipleDumps(params);
    g_armed = false;
    allocations = g_seen;
    outcome.dumpFileName = inputs.dumpFileName;
    return outcome;
  }

  tztest::SampleLibrary lib;
};

TEST_P(AllocationSweep, EveryAllocationFailedInTurnGivesACompleteDumpOrAFailureWithAMessage) {
  const bool cloud = GetParam();
  for (int v = 1; v <= 3; ++v) {
    const std::string volume = "V_" + std::to_string(v);
    lib.Volume(volume, v == 2 ? "8" : "7");
    for (int c = 1; c <= 3; ++c) lib.Chunk(volume, v, v * 10 + c, static_cast<uint64_t>(c) * 100);
  }
  tztest::ConfigScope config(lib.Config(3, cloud ? 7 : 4));
  tztest::LogCapture log(1);

  long total = 0;
  const Outcome baseline = Request(0, total);
  ASSERT_TRUE(baseline.ok) << log.Dump();
  const std::multiset<std::string> expected = tztest::RowSet(tztest::ReadFile(baseline.dumpFileName));
  ASSERT_EQ(expected.size(), 6u);
  ASSERT_GT(total, 0);

  int complete = 0, failed = 0;
  for (long n = 1; n <= total; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(total));
    const size_t linesBefore = log.Lines().size();
    long seen = 0;
    const Outcome outcome = Request(n, seen);
    const std::vector<tztest::LogLine> lines = log.Lines();
    if (outcome.ok) {
      ++complete;
      const std::string dump = tztest::ReadFile(outcome.dumpFileName);
      EXPECT_EQ(dump.substr(0, 61), tztest::kHeader);
      EXPECT_EQ(tztest::RowSet(dump), expected) << "a dump reported complete lost rows";
    } else {
      ++failed;
      bool announced = false;
      for (size_t i = linesBefore; i < lines.size(); ++i) announced |= lines[i].level == -1;
      EXPECT_TRUE(announced) << "false without a level -1 message\n" << log.Dump();
    }
  }
  std::printf("allocation sweep (%s dump): %ld allocations, %d complete, %d failed with a message\n",
              cloud ? "cloud" : "disk", total, complete, failed);
  EXPECT_GT(failed, 0) << "no allocation failure reached the walk";
}

INSTANTIATE_TEST_SUITE_P(Listers, AllocationSweep, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Cloud" : "Disk";
                         });

}  // namespace
