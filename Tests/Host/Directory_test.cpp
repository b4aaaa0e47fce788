// CJwDirectory on real folders.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "JwFile.h"
#include "TestSupport.h"

namespace {

using Names = std::vector<std::string>;

// The names that `pattern` delivers from `path`, sorted; the test fails on
// any error.
Names List(const std::string& path, const char* pattern) {
  CJwDirectory dir;
  CJwError error = dir.Open(path.c_str(), pattern, true);
  EXPECT_FALSE(error.IsError()) << error.AsString();
  Names names;
  SJwDirEntry entry;
  for (bool end = false; !error.IsError();) {
    error = dir.GetEntry(&entry, end);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    if (end) break;
    names.emplace_back(entry.name.c_str(), entry.name.length());
  }
  EXPECT_FALSE(dir.Close().IsError());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Directory, DeliversOnlyNamesThatMatchThePattern) {
  tztest::TempDir dir;
  for (const char* name : {"V_1", "V_22", "V_"}) tztest::MakeDirs(dir / name);
  for (const char* name :
       {"V_file", "X_1", "v_1", ".V_x", "MEDIA_LABEL", "MEDIA_LABEL.bak"})
    tztest::WriteFile(dir / name, "");
  EXPECT_EQ(List(dir.path() + "/", "V_*"),
            (Names{"V_", "V_1", "V_22", "V_file"}));
  EXPECT_EQ(List(dir.path(), "*"),
            (Names{".V_x", "MEDIA_LABEL", "MEDIA_LABEL.bak", "V_", "V_1",
                   "V_22", "V_file", "X_1", "v_1"}))
      << "\".\" and \"..\" never arrive";
  EXPECT_EQ(List(dir.path(), "MEDIA_LABEL"), (Names{"MEDIA_LABEL"}));

  // Text after the "*" is refused rather than ignored.
  CJwDirectory refused;
  EXPECT_TRUE(refused.Open(dir.path().c_str(), "CHUNK_*.idx", true).IsError());
}

TEST(Directory, EndErrorsAndMisuse) {
  tztest::TempDir dir;
  tztest::WriteFile(dir / "file", "");
  CJwDirectory empty;
  SJwDirEntry entry;
  bool end = false;
  EXPECT_TRUE(empty.GetEntry(&entry, end).IsError()) << "before Open";

  // An empty listing ends without error, and stays at its end.
  tztest::MakeDirs(dir / "empty");
  ASSERT_FALSE(empty.Open((dir / "empty").c_str(), "V_*", true).IsError());
  for (int i = 0; i < 2; ++i) {
    end = false;
    EXPECT_FALSE(empty.GetEntry(&entry, end).IsError());
    EXPECT_TRUE(end);
  }
  EXPECT_FALSE(empty.Close().IsError());
  EXPECT_TRUE(empty.GetEntry(&entry, end).IsError()) << "after Close";

  for (const std::string& path : {dir / "absent/", dir / "file"}) {
    CJwDirectory missing;
    const CJwError error = missing.Open(path.c_str(), "V_*", true);
    EXPECT_TRUE(error.IsNotFound()) << error.AsString();
    EXPECT_NE(error.AsString().find(path), std::string::npos);
  }
}

TEST(Directory, ReopenAndDestructionReleaseTheFolder) {
  tztest::TempDir dir;
  const auto openDescriptors = [] {
    std::filesystem::directory_iterator fds("/proc/self/fd");
    return std::distance(fds, std::filesystem::directory_iterator());
  };
  const auto before = openDescriptors();
  {
    CJwDirectory listing;
    ASSERT_FALSE(listing.Open(dir.path().c_str(), "*", true).IsError());
    ASSERT_FALSE(listing.Open(dir.path().c_str(), "*", true).IsError());
    EXPECT_EQ(openDescriptors(), before + 1);
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(Directory, LargeFolderDeliversEveryEntryOnce) {
  tztest::TempDir dir;
  constexpr int kChunks = 5000;
  Names expected;
  for (int i = 0; i < kChunks; ++i) {
    expected.push_back("CHUNK_" + std::to_string(i));
    tztest::WriteFile(dir / expected.back(), "");
    if (i % 10 == 0)
      tztest::WriteFile(dir / ("CHUNKMAP_TRAILER_" + std::to_string(i)), "");
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_TRUE(List(dir.path(), "CHUNK_*") == expected);
}

}  // namespace
