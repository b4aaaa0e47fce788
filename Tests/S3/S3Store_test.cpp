// The S3 store against s3rver (filled by start_server.sh with curl and
// rclone), through the fault proxy when requests are counted or faults are
// wanted, and against the signature-checking fake for what s3rver cannot do.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "S3Harness.h"
#include "S3Store.h"

namespace {

using s3test::Endpoint;
using s3test::Entry;
using s3test::FaultProxy;
using s3test::LabelBytes;
using s3test::NodeProcess;
using s3test::Open;
using s3test::Read;
using tzs3::S3Tuning;

const char kRoot[] = "tz-store/lib/one";

std::set<std::string> AsSet(const std::vector<std::string>& names) {
  return std::set<std::string>(names.begin(), names.end());
}

class S3Store : public ::testing::Test {
 protected:
  void SetUp() override {
    m_port = s3test::ServerPort();
    ASSERT_NE(m_port, 0);
    m_store = Open(Entry(Endpoint(m_port), kRoot));
    ASSERT_TRUE(m_store);
  }
  std::string Path(const std::string& relative) const { return std::string(kRoot) + "/" + relative; }

  int m_port = 0;
  std::shared_ptr<CloudStore> m_store;
};

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

// Faults between the store and s3rver.
class S3StoreFaults : public S3Store {
 protected:
  void SetUp() override {
    S3Store::SetUp();
    m_proxy = std::make_unique<FaultProxy>(m_port);
    ASSERT_NE(m_proxy->port(), 0);
    m_store = Open(Entry(Endpoint(m_proxy->port()), kRoot));
  }
  std::unique_ptr<FaultProxy> m_proxy;
};

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

// The calls of the cloud walk over `root`, in its order, and their answers
// as text: volumes listed; per volume the marker, the label (unless the
// marker is set and `skipMarked`), its listing: every listed file's size,
// then its folders.
std::string Walk(CloudStore& store, bool skipMarked = false,
                 const std::string& root = kRoot) {
  std::ostringstream out;
  std::vector<std::string> files, volumes;
  out << "root" << store.List(root, files, volumes).AsString();
  for (const std::string& volume : volumes) out << " " << volume;
  for (const std::string& volume : volumes) {
    if (volume.rfind("V_", 0) != 0) continue;
    const std::string path = root + "/" + volume;
    bool marked = false;
    const CJwError markerError = store.Exists(path + "/.tzsivolume", marked);
    out << "\n" << volume << " marker " << marked << markerError.AsString();
    if (marked && skipMarked) continue;
    CJwError error;
    out << " label [" << Read(store, path + "/MEDIA_LABEL", 4096, &error) << "]" << error.AsString();
    std::vector<std::string> names, folders;
    out << " files" << store.List(path, names, folders).AsString();
    for (const std::string& name : names) {
      uint64_t size = 0;
      const CJwError sizeError = store.Size(path + "/" + name, size);
      out << " " << name << "=" << size << sizeError.AsString();
    }
    for (const std::string& folder : folders) out << " " << folder << "/";
  }
  return out.str();
}

// The store asks ahead for the volumes after the one the walk is at, with
// their own requests or (from `wholeFrom` volumes on) with listings of the
// whole prefix of about `perWhole` volumes each.
class S3StoreAhead : public S3StoreFaults {
 protected:
  std::shared_ptr<CloudStore> Store(int inFlight, size_t aheadBytes = S3Tuning().aheadBytes,
                                    size_t wholeFrom = S3Tuning().wholeListingFromVolumes,
                                    size_t perWhole = S3Tuning().volumesPerWholeListing) {
    S3Tuning tuning;
    tuning.maxInFlight = inFlight;
    tuning.aheadBytes = aheadBytes;
    tuning.wholeListingFromVolumes = wholeFrom;
    tuning.volumesPerWholeListing = perWhole;
    return Open(Entry(Endpoint(m_proxy->port()), m_root), tuning);
  }
  std::string m_root = kRoot;  // of the stores made
};

TEST_F(S3StoreAhead, AnswersAreThoseOfOneRequestAtATime) {
  m_proxy->Reset();
  const std::string expected = Walk(*Store(1));
  // Root listing; per volume marker, label and listing (V_big: 3 pages).
  EXPECT_EQ(m_proxy->Requests(), 1 + 3 * 2 + 1 + 1 + 3);
  EXPECT_EQ(m_proxy->Requests("HEAD"), 3);
  EXPECT_NE(expected.find("V_2 marker 1"), std::string::npos) << expected;
  EXPECT_NE(expected.find("CHUNK_2499=49"), std::string::npos) << expected;

  const size_t kOwn = 0;  // the volumes' own requests only
  const struct {
    int inFlight;
    size_t aheadBytes;
    size_t wholeFrom, perWhole;
    int requests;  // -1: depends on timing
  } cases[] = {
      // The markers come from the volumes' first listing pages: no HEAD.
      {16, S3Tuning().aheadBytes, S3Tuning().wholeListingFromVolumes, 16, 1 + 2 + 2 + 4},
      {2, S3Tuning().aheadBytes, kOwn, 16, 1 + 2 + 2 + 4},
      // Room for one answer ahead at a time.
      {16, 1, kOwn, 16, -1},
      // One whole-prefix listing: V_1, V_2 and 993 keys of V_big, 1000 of
      // V_big, its last 507 and keys past it; and the three labels.
      {16, S3Tuning().aheadBytes, 1, 16, 1 + 3 + 3},
      {2, S3Tuning().aheadBytes, 1, 16, 1 + 3 + 3},
      // One listing a volume, all at once: 1 + 1 + 3 pages.
      {16, S3Tuning().aheadBytes, 1, 1, 1 + 5 + 3},
      {16, 1, 1, 1, -1},
  };
  for (const auto& c : cases) {
    m_proxy->Reset();
    const std::string which = std::to_string(c.inFlight) + " " + std::to_string(c.aheadBytes) +
                              " " + std::to_string(c.wholeFrom) + " " + std::to_string(c.perWhole);
    EXPECT_EQ(Walk(*Store(c.inFlight, c.aheadBytes, c.wholeFrom, c.perWhole)), expected) << which;
    if (c.requests >= 0) {
      EXPECT_EQ(m_proxy->Requests(), c.requests) << which;
      EXPECT_EQ(m_proxy->Requests("HEAD"), 0) << which;
    }
    EXPECT_LE(m_proxy->Requests(), 12) << which;
  }
}

TEST_F(S3StoreAhead, SkippedVolumeCostsWhatWasAskedAheadAndSaysSo) {
  const struct {
    size_t wholeFrom;
    const char* said;  // of whole-prefix listings; null: none was made
  } cases[] = {
      // V_2's listing answered its marker.
      {S3Tuning().wholeListingFromVolumes, nullptr},
      // The whole-prefix listing answered V_2's marker; its listing of V_2
      // was never taken.
      {1, "listings answered: 2, volumes listed on their own: 0, passed over: 1"},
  };
  for (const auto& c : cases) {
    tztest::LogCapture log(9);
    {
      auto store = Store(16, S3Tuning().aheadBytes, c.wholeFrom);
      const std::string answers = Walk(*store, true);
      EXPECT_EQ(answers.find("V_2 marker 1 label"), std::string::npos) << answers;
    }
    EXPECT_NE(log.Dump().find("never asked for: 1, failed and asked again: 0"), std::string::npos)
        << log.Dump();
    if (c.said == nullptr) {
      EXPECT_EQ(log.Dump().find("whole-prefix"), std::string::npos) << log.Dump();
    } else {
      EXPECT_NE(log.Dump().find(c.said), std::string::npos) << log.Dump();
    }
  }
}

TEST_F(S3StoreAhead, FailedWholePrefixPageLeavesItsVolumesToTheirOwnRequests) {
  const std::string expected = Walk(*Store(1));
  // The listing's second page fails once: V_1 and V_2 came with the first;
  // V_big is listed on its own (3 pages), and no error is told.
  m_proxy->Configure(1, 100, 1, "500", "start-after");
  {
    tztest::LogCapture log(1);
    EXPECT_EQ(Walk(*Store(16, S3Tuning().aheadBytes, 1)), expected);
    for (const tztest::LogLine& line : log.Lines()) EXPECT_GT(line.level, 0) << log.Dump();
    EXPECT_NE(log.Dump().find("whole-prefix listings: 2 pages (1 failed) for 3 volumes; listings "
                              "answered: 2, volumes listed on their own: 1, passed over: 0"),
              std::string::npos)
        << log.Dump();
  }
  EXPECT_EQ(m_proxy->Requests(), 1 + 2 + 3 + 3);

  // Every request about V_big fails, its listing (one a volume) included.
  // Nothing is told before the walk gets there, then the marker's error,
  // once; the whole walk tells what a store with no such listing tells.
  m_proxy->Configure(0, 1, 1, "500", "V_big");
  {
    tztest::LogCapture log(0);
    auto store = Store(16, S3Tuning().aheadBytes, 1, 1);
    std::vector<std::string> files, volumes;
    ASSERT_FALSE(store->List(kRoot, files, volumes).IsError());
    for (const std::string volume : {"V_1", "V_2"}) {
      bool marked = false;
      ASSERT_FALSE(store->Exists(Path(volume + "/.tzsivolume"), marked).IsError());
      ASSERT_FALSE(store->List(Path(volume), files, volumes).IsError());
    }
    EXPECT_TRUE(log.Lines().empty()) << "told before the walk got there: " << log.Dump();
    bool marked = true;
    const CJwError error = store->Exists(Path("V_big/.tzsivolume"), marked);
    EXPECT_NE(error.AsString().find("S3 LIST tz-store/lib/one/V_big/: HTTP 500"),
              std::string::npos)
        << error.AsString();
    EXPECT_EQ(log.Lines().size(), 1u) << log.Dump();
  }
  std::string answers[2];
  size_t told[2];
  for (size_t whole : {0, 1}) {
    m_proxy->Configure(0, 1, 1, "500", "V_big");
    tztest::LogCapture log(0);
    answers[whole] = Walk(*Store(16, S3Tuning().aheadBytes, whole, 1));
    told[whole] = log.Lines().size();
  }
  EXPECT_EQ(answers[1], answers[0]);
  EXPECT_NE(answers[1].find("V_big marker 0error -1: S3 LIST"), std::string::npos) << answers[1];
  EXPECT_EQ(told[1], told[0]);
  EXPECT_EQ(told[1], 3u);  // marker, label, listing
}

TEST_F(S3StoreAhead, FailedAnswersAreAskedAgainAndReportedOnceWhenTheWalkGetsThere) {
  const std::string expected = Walk(*Store(1));
  // V_2's label fails once: at its request made ahead. The walk asks again.
  m_proxy->Configure(0, 100, 1, "500", "V_2/MEDIA_LABEL");
  {
    tztest::LogCapture log(0);
    EXPECT_EQ(Walk(*Store(16)), expected);
    EXPECT_TRUE(log.Lines().empty()) << log.Dump();
  }
  EXPECT_EQ(m_proxy->Requests(), 1 + 2 + 3 + 4);

  // It fails every time: made ahead, then five tries for the walk, whose
  // answer carries the error as a store without asking ahead gives it.
  m_proxy->Configure(0, 1, 1, "500", "V_2/MEDIA_LABEL");
  std::string failed;
  {
    tztest::LogCapture log(0);
    auto store = Store(16);
    std::vector<std::string> files, volumes;
    ASSERT_FALSE(store->List(kRoot, files, volumes).IsError());
    bool marked = true;
    ASSERT_FALSE(store->Exists(Path("V_1/.tzsivolume"), marked).IsError());
    Read(*store, Path("V_1/MEDIA_LABEL"), 4096);
    EXPECT_TRUE(log.Lines().empty()) << "reported before the walk got there: " << log.Dump();
    CJwError error;
    Read(*store, Path("V_2/MEDIA_LABEL"), 4096, &error);
    failed = error.AsString();
    EXPECT_NE(failed.find("S3 GET tz-store/lib/one/V_2/MEDIA_LABEL: HTTP 500 InternalError: We "
                          "encountered an internal error. Please try again. [5 tries]"),
              std::string::npos)
        << failed;
    int reported = 0;
    for (const tztest::LogLine& line : log.Lines()) {
      reported += line.message.find("V_2/MEDIA_LABEL: HTTP 500") != std::string::npos;
    }
    EXPECT_EQ(reported, 1) << log.Dump();
  }
  m_proxy->Configure(0, 1, 1, "500", "V_2/MEDIA_LABEL");
  CJwError direct;
  Read(*Store(1), Path("V_2/MEDIA_LABEL"), 4096, &direct);
  EXPECT_EQ(direct.AsString(), failed);
  EXPECT_EQ(m_proxy->Requests("GET"), 5);
}

TEST_F(S3StoreAhead, VolumeTheWholePrefixListingHasNotReachedIsListedOnItsOwn) {
  // The walk goes straight to V_big while the listing is at V_1.
  const auto jump = [this](CloudStore& store) {
    std::ostringstream out;
    std::vector<std::string> files, folders;
    out << store.List(kRoot, files, folders).AsString();
    bool marked = true;
    out << store.Exists(Path("V_big/.tzsivolume"), marked).AsString() << marked;
    CJwError error;  // V_big has no label
    out << " [" << Read(store, Path("V_big/MEDIA_LABEL"), 4096, &error) << "]" << error.AsString();
    out << store.List(Path("V_big"), files, folders).AsString() << files.size() << files.back();
    return out.str();
  };
  m_proxy->Reset();
  const std::string expected = jump(*Store(1));
  EXPECT_NE(expected.find("NoSuchKey"), std::string::npos) << expected;
  EXPECT_NE(expected.find("success2500CHUNK_999"), std::string::npos) << expected;
  tztest::LogCapture log(1);
  m_proxy->Reset();
  EXPECT_EQ(jump(*Store(16, S3Tuning().aheadBytes, 1)), expected);
  // The root; the listing's first page, after which it has nothing left to
  // answer; V_big's label and its own 3 pages.
  EXPECT_EQ(m_proxy->Requests(), 1 + 1 + 1 + 3);
  EXPECT_NE(log.Dump().find("whole-prefix listings: 1 pages (0 failed) for 3 volumes; listings "
                            "answered: 0, volumes listed on their own: 1, passed over: 0"),
            std::string::npos)
      << log.Dump();
}

TEST_F(S3StoreAhead, VolumesListedOutOfKeyOrderAreAnsweredAlike) {
  // s3rver walks its folders, so a whole-prefix listing gives V_1's keys
  // before those of V_1.x, whose prefix sorts first ("." before "/") as the
  // root listing has it.
  const std::string root = m_root = "tz-store/lib/order";
  for (const char* key : {"V_1/.tzsivolume", "V_1/a", "V_1.x/b", "V_10/c", "V_2/MEDIA_LABEL",
                          "V_2/d/e"}) {
    ASSERT_EQ(s3test::Put(m_port, root + "/" + key, "x"), 0);
  }
  const std::string expected = Walk(*Store(1), false, root);
  EXPECT_NE(expected.find("rootsuccess V_1.x V_1 V_10 V_2\n"), std::string::npos) << expected;
  EXPECT_NE(expected.find("V_2 marker 0success label [x]success filessuccess "
                          "MEDIA_LABEL=1success d/"),
            std::string::npos)
      << expected;
  const struct {
    size_t perWhole;
    const char* said;
  } cases[] = {
      // One listing: V_1.x's key after V_1's ends it; every volume is
      // listed on its own.
      {16, "1 pages (1 failed) for 4 volumes; listings answered: 0, volumes listed on their "
           "own: 4"},
      // One a volume: V_1.x's listing starts with V_1's keys (it gets none of
      // its own); V_1's passes over V_1.x's key.
      {1, "4 pages (0 failed) for 4 volumes; listings answered: 3, volumes listed on their "
          "own: 1"},
  };
  for (const auto& c : cases) {
    tztest::LogCapture log(1);
    EXPECT_EQ(Walk(*Store(16, S3Tuning().aheadBytes, 1, c.perWhole), false, root), expected)
        << c.perWhole;
    EXPECT_NE(log.Dump().find(c.said), std::string::npos) << log.Dump();
  }
}

TEST(S3StoreConnection, RefusedConnectionIsRetriedThenFails) {
  int port = 0;  // a port that nothing listens on any more
  {
    NodeProcess probe("fake_s3.js", {"K", "S"});
    port = probe.port();
  }
  ASSERT_NE(port, 0);
  auto store = Open(Entry(Endpoint(port), "b"));
  std::vector<std::string> files, folders;
  CJwError error = store->List("b", files, folders);
  EXPECT_EQ(error.Code(), JW_ERR_FAILED);
  EXPECT_NE(error.AsString().find("Couldn't connect to server"), std::string::npos)
      << error.AsString();
  EXPECT_NE(error.AsString().find("[5 tries]"), std::string::npos);
}

// The signature-checking fake: our signatures must pass its independent check.
class S3StoreSigned : public ::testing::Test {
 protected:
  static constexpr const char* kFakeKey = "TZKEYID";
  static constexpr const char* kFakeSecret = "tz/Secret+Key0123456789abcdefGHIJ";
  void SetUp() override { ASSERT_NE(m_fake.port(), 0); }
  std::shared_ptr<CloudStore> Store(const std::string& root, const std::string& secret = kFakeSecret,
                                    S3Tuning tuning = S3Tuning()) {
    return Open(Entry(Endpoint(m_fake.port()), root, kFakeKey, secret), tuning);
  }
  int Requests() {
    std::string stats = s3test::HttpGet(Endpoint(m_fake.port()) + "/__fake/stats");
    std::smatch m;
    return std::regex_search(stats, m, std::regex("\"requests\":(\\d+)")) ? std::stoi(m[1]) : -1;
  }
  NodeProcess m_fake{"fake_s3.js", {kFakeKey, kFakeSecret}};
};

TEST_F(S3StoreSigned, FolderOnlyPagesRepeatedFoldersAndOddTokens) {
  // The prefix and the tokens hold characters that must be encoded to sign.
  const std::string root = "pages/sp ace+%&\xc3\xa9";
  auto store = Store(root);
  std::vector<std::string> files, folders;
  CJwError error = store->List(root + "/V_1/", files, folders);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(folders, (std::vector<std::string>{"F1", "F2", "F3", "F4"}));
  EXPECT_EQ(files, (std::vector<std::string>{"f1", "f2"}));
  EXPECT_EQ(Requests(), 5);
  uint64_t size = 0;
  ASSERT_FALSE(store->Size(root + "/V_1/f2", size).IsError());
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(Requests(), 5);
}

TEST_F(S3StoreSigned, BrokenPaginationIsAnError) {
  std::vector<std::string> files, folders;
  CJwError error = Store("notoken")->List("notoken", files, folders);
  EXPECT_NE(error.AsString().find("S3 LIST notoken/: truncated page without a continuation token"),
            std::string::npos)
      << error.AsString();
  EXPECT_TRUE(files.empty());
  error = Store("repeat")->List("repeat", files, folders);
  EXPECT_NE(error.AsString().find("continuation token repeated"), std::string::npos)
      << error.AsString();
  EXPECT_TRUE(files.empty());
}

TEST_F(S3StoreSigned, VirtualHostRequestsAreSignedForTheBucketHost) {
  auto entry = Entry("http://s3.amazonaws.com:" + std::to_string(m_fake.port()), "objects",
                     kFakeKey, kFakeSecret);
  entry.addressing = "virtual";
  S3Tuning tuning;
  tuning.connectTo = "::127.0.0.1:" + std::to_string(m_fake.port());
  auto store = Open(entry, tuning);
  EXPECT_EQ(Read(*store, "objects/hello", 1551), "hello world");
}

TEST_F(S3StoreSigned, WrongSecretFailsOnceAndLeaksNothing) {
  tztest::LogCapture log(9);
  auto store = Store("objects", "not-the-secret-at-all");
  CJwError error;
  Read(*store, "objects/hello", 10, &error);
  const std::string text = error.AsString();
  EXPECT_EQ(error.Code(), JW_ERR_FAILED);
  EXPECT_NE(text.find("S3 GET objects/hello: HTTP 403 SignatureDoesNotMatch"), std::string::npos)
      << text;
  EXPECT_EQ(Requests(), 1);
  // The fake echoes the signature it was sent; neither it nor the secret may
  // show in the error or the log.
  const std::regex signature("[0-9a-f]{64}");
  for (const std::string& where : {text, log.Dump()}) {
    EXPECT_EQ(where.find("not-the-secret-at-all"), std::string::npos) << where;
    EXPECT_FALSE(std::regex_search(where, signature)) << where;
  }
  EXPECT_NE(log.Dump().find("SignatureDoesNotMatch"), std::string::npos) << log.Dump();
}

TEST_F(S3StoreSigned, SigningUsesTheClockGiven) {
  S3Tuning tuning;
  tuning.clock = [] { return std::time_t(1440938160); };  // 2015-08-30
  CJwError error;
  Read(*Store("objects", kFakeSecret, tuning), "objects/hello", 10, &error);
  EXPECT_NE(error.AsString().find("HTTP 403 RequestTimeTooSkewed"), std::string::npos)
      << error.AsString();
}

TEST_F(S3StoreSigned, RetriesOnlyWhatMayPassLater) {
  auto store = Store("objects");
  const struct {
    const char* key;
    int requests;
    const char* result;  // expected bytes, or the expected error text
  } cases[] = {
      {"flaky/RequestTimeout/2", 3, "ok"},
      {"flaky/SlowDown/4", 5, "ok"},
      {"flaky/TooManyRequests/1", 2, "ok"},
      {"flaky/InternalError/5", 5, "HTTP 500 InternalError: InternalError for the test [5 tries]"},
      {"deny", 1, "S3 GET objects/deny: HTTP 403 AccessDenied: Access Denied"},
      {"flaky/InvalidArgument/1", 1, "HTTP 400 InvalidArgument"},
  };
  for (const auto& c : cases) {
    int before = Requests();
    CJwError error;
    std::string bytes = Read(*store, std::string("objects/") + c.key, 100, &error);
    EXPECT_EQ(Requests() - before, c.requests) << c.key;
    if (error.IsError()) {
      EXPECT_NE(error.AsString().find(c.result), std::string::npos) << error.AsString();
    } else {
      EXPECT_EQ(bytes, c.result) << c.key;
    }
  }
}

TEST_F(S3StoreSigned, ServerThatIgnoresRangeFillsOnlyTheBuffer) {
  EXPECT_EQ(Read(*Store("objects"), "objects/norange", 100), std::string(100, 'n'));
}

}  // namespace
