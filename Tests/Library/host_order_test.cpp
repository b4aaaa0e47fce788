// The read-ahead window under a host that lists a folder in another order
// than the kernel's. This binary stands in for such a host: it replaces the
// C library's readdir, through which the stand-in host's directory service
// lists, with one that hands a whole folder's entries out reordered. The
// window reads ahead from the walk's own listing, so at each chunk the walk
// comes to, the chunk's trailer has been read into the page cache already,
// whatever the order; and the dump is the plain walk's.
#include <gtest/gtest.h>
#include <dirent.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "LogObserver.h"
#include "Messages.h"
#include "ReadAhead.h"
#include "SampleLibrary.h"
#include "TestSupport.h"
#include "WindowRuns.h"

namespace {

using Order = std::function<void(std::vector<dirent>&)>;
const Order* g_order = nullptr;  // null: the kernel's order
std::map<DIR*, std::vector<dirent>> g_reordered;

using ReaddirCall = dirent* (*)(DIR*);
using ClosedirCall = int (*)(DIR*);

}  // namespace

extern "C" dirent* readdir(DIR* dir) {
  static const auto real = reinterpret_cast<ReaddirCall>(dlsym(RTLD_NEXT, "readdir"));
  if (g_order == nullptr) return real(dir);
  auto found = g_reordered.find(dir);
  if (found == g_reordered.end()) {
    std::vector<dirent> entries;
    while (const dirent* entry = real(dir)) entries.push_back(*entry);
    (*g_order)(entries);
    std::reverse(entries.begin(), entries.end());  // handed out from the back
    found = g_reordered.emplace(dir, std::move(entries)).first;
  }
  static thread_local dirent handedOut;
  if (found->second.empty()) return nullptr;  // the end: errno stays as the caller set it
  handedOut = found->second.back();
  found->second.pop_back();
  return &handedOut;
}

extern "C" int closedir(DIR* dir) {
  static const auto real = reinterpret_cast<ClosedirCall>(dlsym(RTLD_NEXT, "closedir"));
  g_reordered.erase(dir);
  return real(dir);
}

namespace {

using tzrecon::ReadAhead;
using tztest::SampleLibrary;
using tztest::WalkResult;

// At each chunk the walk comes to, whether its trailer is in the page cache.
struct TrailerWatch {
  std::vector<std::string> chunks;  // in the walk's order
  std::vector<std::string> cold;    // those whose trailer was not cached yet

  static void OnMessage(void* context, const char*, int, const char* format, va_list args) {
    if (std::strcmp(format, tzrecon::messages::kDumpingChunk) != 0) return;
    auto* self = static_cast<TrailerWatch*>(context);
    const std::string chunk = va_arg(args, const char*);
    self->chunks.push_back(chunk);
    const size_t id = chunk.rfind('_') + 1;
    const std::string trailer = chunk.substr(0, chunk.rfind('/') + 1) + "CHUNKMAP_TRAILER_" +
                                chunk.substr(id);
    // The first chunk's requests go out as the walk reaches it; every later
    // one's went out, and were waited for, before.
    if (self->chunks.size() > 1 && tztest::OutOfPageCache(trailer)) self->cold.push_back(chunk);
  }
};

struct HostOrder {
  const char* name;
  Order order;
  friend void PrintTo(const HostOrder& order, std::ostream* os) { *os << order.name; }
};

const HostOrder kOrders[] = {
    {"Reversed", [](std::vector<dirent>& e) { std::reverse(e.begin(), e.end()); }},
    // From the middle on, then the first half: a host that resumes a
    // listing where another left off.
    {"Rotated",
     [](std::vector<dirent>& e) { std::rotate(e.begin(), e.begin() + e.size() / 2, e.end()); }},
};

class WindowInHostOrder : public ::testing::TestWithParam<HostOrder> {
 protected:
  ~WindowInHostOrder() override {
    g_order = nullptr;
    tzhost::SetLogObserver(nullptr);
  }
  tztest::WindowSeams seams;
};

TEST_P(WindowInHostOrder, WarmsTheEntriesTheWalkComesToNext) {
  constexpr int kChunks = 300;
  SampleLibrary lib;
  lib.Volume("V_1");
  for (int chunk = 1; chunk <= kChunks; ++chunk) lib.Chunk("V_1", 1, chunk, 100u + chunk);
  const std::vector<std::string> kernelOrder = tztest::ListingOrder(lib.root + "/V_1", "CHUNK_");
  g_order = &GetParam().order;
  const WalkResult plain = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);

  for (const std::string& chunk : kernelOrder)
    if (!tztest::DropFromPageCache(lib.root + "/V_1/CHUNKMAP_TRAILER_" + chunk.substr(6)))
      GTEST_SKIP() << "a trailer stays in the page cache (tmpfs?)";
  ReadAhead::Testing::alwaysEngaged = true;
  ReadAhead::Testing::patient = true;  // every request sent is done before the next entry
  TrailerWatch watch;
  const tzhost::LogObserver observer = {&TrailerWatch::OnMessage, &watch, 2};
  tzhost::SetLogObserver(&observer);
  const WalkResult window = tztest::Walk(lib, MOUNT_PATH_TRAVERSE_NON_SI);
  tzhost::SetLogObserver(nullptr);

  tztest::ExpectSameWalk(plain, window);
  ASSERT_EQ(watch.chunks.size(), static_cast<size_t>(kChunks));
  // The host's order is not the kernel's, or the case proves nothing.
  std::vector<std::string> walkOrder;
  for (const std::string& chunk : watch.chunks) walkOrder.push_back(chunk.substr(chunk.rfind('/') + 1));
  ASSERT_NE(walkOrder, kernelOrder);
  // A page read ahead may be reclaimed before the walk reaches it when the
  // machine is short of memory (pages read ahead and not yet used go
  // first), so a few are let pass; a window that reads ahead of other
  // entries than the walk's next leaves half of them or more cold.
  EXPECT_LE(watch.cold.size(), static_cast<size_t>(kChunks / 50))
      << watch.cold.size() << " chunks reached before their trailer was read ahead, the first "
      << watch.cold.front();
  EXPECT_EQ(ReadAhead::Testing::requests, 4 * kChunks);
}

INSTANTIATE_TEST_SUITE_P(Orders, WindowInHostOrder, ::testing::ValuesIn(kOrders),
                         [](const ::testing::TestParamInfo<HostOrder>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
