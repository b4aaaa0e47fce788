// The store seam of the walk, asked the same questions on both stores: an
// entry that is there, one that is absent (or behind a file), a short file,
// and a name the system refuses. Absent must never read as failing, nor
// failing as absent.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CloudFS.h"
#include "SampleLibrary.h"
#include "TestSupport.h"
#include "WalkStores.h"

namespace {

using tzrecon::StoreAnswer;

struct SeamCase {
  const char* name;
  std::string path;  // under the mount path
  StoreAnswer::Outcome exists, read;
  bool opened;
  size_t got;
  uint64_t size;
};

void Ask(tzrecon::WalkStore& store, const std::string& root, const SeamCase& c) {
  SCOPED_TRACE(c.name);
  const std::string path = root + c.path;
  EXPECT_EQ(store.Exists(path).outcome, c.exists);
  char buffer[64];
  size_t got = 99;
  const StoreAnswer read = store.Read(path, buffer, sizeof buffer, got);
  EXPECT_EQ(read.outcome, c.read) << read.error;
  EXPECT_EQ(read.opened, c.opened);
  EXPECT_EQ(got, c.got);
  uint64_t size = 0;
  EXPECT_EQ(store.Size(path, size).outcome, c.exists);
  EXPECT_EQ(size, c.size);
  EXPECT_EQ(read.error.empty(), c.read == StoreAnswer::kOk) << read.error;
}

const std::string kTooLong = "/" + std::string(300, 'n');  // past NAME_MAX: refused, not absent

TEST(StoreSeam, BothStoresTellAbsentFromFailing) {
  tztest::SampleLibrary lib;
  tztest::WriteFile(lib.root + "/short", "0123456789");
  tztest::WriteFile(lib.root + "/long", std::string(100, 'x'));
  const SeamCase cases[] = {
      {"a file", "/long", StoreAnswer::kOk, StoreAnswer::kOk, true, 64, 100},
      {"a short file", "/short", StoreAnswer::kOk, StoreAnswer::kOk, true, 10, 10},
      {"absent", "/none", StoreAnswer::kAbsent, StoreAnswer::kAbsent, false, 0, 0},
      {"behind a file", "/short/x", StoreAnswer::kAbsent, StoreAnswer::kAbsent, false, 0, 0},
      {"a name too long", kTooLong, StoreAnswer::kFailed, StoreAnswer::kFailed, false, 0, 0},
  };
  tzrecon::DiskWalkStore disk(nullptr);
  for (const SeamCase& c : cases) Ask(disk, lib.root, c);

  tztest::ConfigScope config(lib.Config(5, 7));
  CFSInitParams params;
  params.mountPathId = 5;
  params.host.hostPath = lib.root;
  std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(params));
  ASSERT_TRUE(fs);
  std::unique_ptr<CFileInterface> files(fs->GetFileInterface());
  CCloudFS cloudFS(params);
  tzrecon::CloudWalkStore cloud(&cloudFS, files.get(), true);
  for (const SeamCase& c : cases) Ask(cloud, lib.root, c);
}

}  // namespace
