// The S3 store against s3rver (filled by start_server.sh with curl and
// rclone): listings, reads and their errors, and through the fault proxy,
// retries. Asking ahead is in S3StoreAhead_test.cpp, servers that s3rver
// cannot play in S3StoreSigned_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "S3StoreFixtures.h"

namespace {

using namespace s3test;

TEST_F(S3Store, ListsTheRootWithOrWithoutTrailingSlash) {
  for (std::string path : {std::string(kRoot), std::string(kRoot) + "/"}) {
    std::vector<std::string> files, folders;
    CJwError error = m_store->List(path, files, folders);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    EXPECT_TRUE(files.empty());
    EXPECT_EQ(folders.size(), 6u);
    EXPECT_EQ(AsSet(folders),
              (std::set<std::string>{"V_1", "V_2", "V_big", "mix", "odd", "sizes"}));
  }
}

TEST_F(S3Store, SkipsTheFolderMarkerAndReadsTheLabel) {
  std::vector<std::string> files, folders;
  ASSERT_FALSE(m_store->List(Path("V_1"), files, folders).IsError());
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(AsSet(files), (std::set<std::string>{"MEDIA_LABEL", "CHUNK_1", "CHUNK_2", "CHUNK_3"}));
  EXPECT_TRUE(folders.empty());
  EXPECT_EQ(Read(*m_store, Path("V_1/MEDIA_LABEL"), 1551), LabelBytes(1551));
}

TEST_F(S3Store, FollowsContinuationTokensPast1000Keys) {
  FaultProxy proxy(m_port);
  auto store = Open(Entry(Endpoint(proxy.port()), kRoot));
  proxy.Reset();
  std::vector<std::string> files, folders;
  CJwError error = store->List(Path("V_big"), files, folders);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(proxy.Requests("GET"), 3);  // pages of 1000, 1000 and 500 keys
  ASSERT_EQ(files.size(), 2500u);
  std::set<std::string> expected;
  for (int i = 0; i < 2500; ++i) expected.insert("CHUNK_" + std::to_string(i));
  EXPECT_EQ(AsSet(files), expected);

  // Sizes of the listed folder cost no request; another folder's do.
  proxy.Reset();
  for (int i = 0; i < 2500; ++i) {
    uint64_t size = 0;
    ASSERT_FALSE(store->Size(Path("V_big/CHUNK_" + std::to_string(i)), size).IsError());
    ASSERT_EQ(size, static_cast<uint64_t>(i % 50)) << i;
  }
  EXPECT_EQ(proxy.Requests(), 0);
  uint64_t size = 0;
  ASSERT_FALSE(store->Size(Path("V_1/CHUNK_3"), size).IsError());
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(proxy.Requests("HEAD"), 1);
}

TEST_F(S3Store, FoldersAreListedOnceAcrossPages) {
  std::vector<std::string> files, folders;
  CJwError error = m_store->List(Path("mix"), files, folders);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(files.size(), 1200u);
  EXPECT_EQ(AsSet(files).size(), 1200u);
  EXPECT_EQ(folders.size(), 30u);
  EXPECT_EQ(AsSet(folders).size(), 30u);
  EXPECT_TRUE(AsSet(folders).count("d_29"));
  EXPECT_TRUE(AsSet(files).count("f_1199"));
}

TEST_F(S3Store, NamesWithSpacesPlusPercentAmpersandNonAsciiAndControlCharacters) {
  // Name and content; start_server.sh writes "x" into the names with
  // control characters, and each other name into its own object.
  const std::map<std::string, std::string> objects = {
      {"a b", "a b"}, {"x+y", "x+y"}, {"50%", "50%"}, {"a&b", "a&b"},
      {"\xc3\xa9-\xc3\xbc", "\xc3\xa9-\xc3\xbc"}, {"\xe1\x88\xb4", "\xe1\x88\xb4"},
      {"plus+and space&100%", "plus+and space&100%"},
      {"c\x01" "d", "x"}, {"cr\rx", "x"}, {"lf\nx", "x"}, {"crlf\r\ny", "x"},
      {"tab\tz", "x"}, {"del\x7f", "x"}};
  std::set<std::string> names;
  for (const auto& object : objects) names.insert(object.first);
  std::vector<std::string> files, folders;
  ASSERT_FALSE(m_store->List(Path("odd/"), files, folders).IsError());
  EXPECT_EQ(AsSet(files), names);
  EXPECT_EQ(AsSet(folders), (std::set<std::string>{"sp ace+%&\xc3\xa9", "fold\rer"}));
  for (const auto& [name, content] : objects) {
    bool exists = false;
    EXPECT_FALSE(m_store->Exists(Path("odd/" + name), exists).IsError()) << name;
    EXPECT_TRUE(exists) << name;
    EXPECT_EQ(Read(*m_store, Path("odd/" + name), 100), content);
  }
  for (const std::string folder : {"sp ace+%&\xc3\xa9", "fold\rer"}) {
    ASSERT_FALSE(m_store->List(Path("odd/" + folder), files, folders).IsError());
    EXPECT_EQ(files, std::vector<std::string>{"in"}) << folder;
  }
  uint64_t size = 0;
  ASSERT_FALSE(m_store->Size(Path("odd/sp ace+%&\xc3\xa9/in"), size).IsError());
  EXPECT_EQ(size, 2u);
}

TEST_F(S3Store, EmptyFoldersAndBucketsListEmpty) {
  std::vector<std::string> files{"stale"}, folders{"stale"};
  ASSERT_FALSE(m_store->List(Path("nothing"), files, folders).IsError());
  EXPECT_TRUE(files.empty() && folders.empty());
  auto empty = Open(Entry(Endpoint(m_port), "tz-empty"));
  ASSERT_FALSE(empty->List("tz-empty", files, folders).IsError());
  EXPECT_TRUE(files.empty() && folders.empty());
}

TEST_F(S3Store, ExistsTellsPresentFromAbsent) {
  bool exists = false;
  ASSERT_FALSE(m_store->Exists(Path("V_2/.tzsivolume"), exists).IsError());
  EXPECT_TRUE(exists);
  exists = true;
  CJwError error = m_store->Exists(Path("V_1/.tzsivolume"), exists);
  EXPECT_FALSE(error.IsError()) << error.AsString();
  EXPECT_FALSE(exists);
}

TEST_F(S3Store, ReadPrefixOfLabelShortEmptyAndLongObjects) {
  EXPECT_EQ(Read(*m_store, Path("sizes/label"), 1551), LabelBytes(1551));
  EXPECT_EQ(Read(*m_store, Path("sizes/short"), 1551), LabelBytes(100));
  EXPECT_EQ(Read(*m_store, Path("sizes/empty"), 1551), "");
  EXPECT_EQ(Read(*m_store, Path("sizes/long"), 4096), LabelBytes(4096));
  EXPECT_EQ(Read(*m_store, Path("sizes/long"), 1), "1");
  EXPECT_EQ(Read(*m_store, Path("sizes/long"), 0), "");
  EXPECT_EQ(Read(*m_store, Path("V_2/MEDIA_LABEL"), 1551).size(), 100u);
}

TEST_F(S3Store, AbsentObjectsAreNotFound) {
  CJwError error;
  Read(*m_store, Path("V_1/CHUNK_404"), 10, &error);
  EXPECT_EQ(error.Code(), JW_ERR_NOT_FOUND) << error.AsString();
  EXPECT_NE(error.AsString().find("tz-store/lib/one/V_1/CHUNK_404"), std::string::npos);
  uint64_t size = 0;
  EXPECT_EQ(m_store->Size(Path("V_1/CHUNK_404"), size).Code(), JW_ERR_NOT_FOUND);
  ASSERT_FALSE(m_store->Size(Path("sizes/long"), size).IsError());  // HEAD, nothing listed
  EXPECT_EQ(size, 5000u);
}

TEST_F(S3Store, PathsOutsideTheRootAreRefused) {
  std::vector<std::string> files, folders;
  CJwError error = m_store->List("tz-store/lib/other", files, folders);
  EXPECT_TRUE(error.IsError());
  EXPECT_NE(error.AsString().find("not an object under the mount path root"), std::string::npos);
  bool exists = true;
  EXPECT_TRUE(m_store->Exists("tz-store/lib/onex/V_1", exists).IsError());
  EXPECT_FALSE(exists);
}

TEST_F(S3Store, MissingBucketIsAnErrorNotAnEmptyListing) {
  auto store = Open(Entry(Endpoint(m_port), "tz-missing/lib"));
  std::vector<std::string> files, folders;
  CJwError error = store->List("tz-missing/lib", files, folders);
  ASSERT_TRUE(error.IsError());
  EXPECT_EQ(error.Code(), JW_ERR_FAILED);
  EXPECT_NE(error.AsString().find("S3 LIST tz-missing/lib/: HTTP 404 NoSuchBucket"),
            std::string::npos)
      << error.AsString();
  // A label in a missing bucket is a broken mount path, not an absent label.
  CJwError read;
  Read(*store, "tz-missing/lib/V_1/MEDIA_LABEL", 1551, &read);
  EXPECT_EQ(read.Code(), JW_ERR_FAILED) << read.AsString();
}

TEST_F(S3Store, UnknownAccessKeyIsRefusedWithoutRetries) {
  FaultProxy proxy(m_port);
  auto store = Open(Entry(Endpoint(proxy.port()), kRoot, "NOBODY", "secret"));
  proxy.Reset();
  std::vector<std::string> files, folders;
  CJwError error = store->List(kRoot, files, folders);
  EXPECT_NE(error.AsString().find("HTTP 403 InvalidAccessKeyId"), std::string::npos)
      << error.AsString();
  EXPECT_EQ(proxy.Requests(), 1);
}

TEST_F(S3Store, VirtualHostAddressing) {
  auto entry = Entry("http://s3.amazonaws.com:" + std::to_string(m_port), kRoot);
  entry.addressing = "virtual";
  S3Tuning tuning;
  tuning.connectTo = "::127.0.0.1:" + std::to_string(m_port);  // no name lookup
  auto store = Open(entry, tuning);
  std::vector<std::string> files, folders;
  CJwError error = store->List(Path("V_1"), files, folders);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(files.size(), 4u);
  EXPECT_EQ(Read(*store, Path("V_1/MEDIA_LABEL"), 1551), LabelBytes(1551));
}


TEST_F(S3StoreFaults, RetriesAbsorbTwoFaultsInThree) {
  // Two of every three requests fail, so each operation needs three tries.
  m_proxy->Configure(0, 3, 2, "500,503,drop,cut");
  std::vector<std::string> files, folders;
  CJwError error = m_store->List(Path("V_big"), files, folders);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(AsSet(files).size(), 2500u);
  EXPECT_EQ(files.size(), 2500u);
  EXPECT_EQ(m_proxy->Requests(), 9);
  bool exists = false;
  ASSERT_FALSE(m_store->Exists(Path("V_2/.tzsivolume"), exists).IsError());
  EXPECT_TRUE(exists);
  EXPECT_EQ(Read(*m_store, Path("V_1/MEDIA_LABEL"), 1551), LabelBytes(1551));
  EXPECT_EQ(m_proxy->Requests(), 15);
}

TEST_F(S3StoreFaults, ExhaustedRetriesFailEveryOperation) {
  m_proxy->Configure(0, 1, 1, "503");
  std::vector<std::string> files, folders;
  CJwError error = m_store->List(Path("V_1"), files, folders);
  EXPECT_EQ(error.Code(), JW_ERR_FAILED);
  EXPECT_NE(error.AsString().find("S3 LIST tz-store/lib/one/V_1/: HTTP 503 SlowDown: Please "
                                  "reduce your request rate. [5 tries]"),
            std::string::npos)
      << error.AsString();
  EXPECT_EQ(m_proxy->Requests(), 5);

  m_proxy->Configure(0, 1, 1, "drop");
  bool exists = true;
  error = m_store->Exists(Path("V_2/.tzsivolume"), exists);
  EXPECT_TRUE(error.IsError());
  EXPECT_FALSE(exists);
  CJwError read;
  Read(*m_store, Path("V_1/MEDIA_LABEL"), 1551, &read);
  EXPECT_EQ(read.Code(), JW_ERR_FAILED) << read.AsString();
  EXPECT_NE(read.AsString().find("Server returned nothing"), std::string::npos) << read.AsString();
  // Five tries each; libcurl itself may send a request once more when a
  // reused connection turns out dead, but never more than that.
  EXPECT_GE(m_proxy->Requests(), 10);
  EXPECT_LE(m_proxy->Requests(), 12);
}

TEST_F(S3StoreFaults, FailureAfterTheFirstPageGivesNoShortListing) {
  m_proxy->Configure(1, 1, 1, "500,cut");
  std::vector<std::string> files, folders;
  CJwError error = m_store->List(Path("V_big"), files, folders);
  EXPECT_TRUE(error.IsError());
  EXPECT_TRUE(files.empty());
  EXPECT_EQ(m_proxy->Requests(), 6);
}

}  // namespace
