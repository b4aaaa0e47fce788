// The S3 store learns the walk's pattern from the walk's own questions, not
// from the names of one kind of library: here subfolders of another kind,
// holding files of other names, asked about in another order.
#include <gtest/gtest.h>

#include <sstream>

#include "S3Harness.h"

namespace {

using s3test::Endpoint;
using s3test::Entry;
using s3test::Open;
using s3test::Read;
using tzs3::S3Tuning;

const char kRoot[] = "tz-store/lib/pattern";

class S3StorePattern : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const int port = s3test::ServerPort();
    // Four subfolders the walk visits, each with a tag to read (but shelf-c)
    // and three items; "present" only in some. "spare" is of another kind:
    // the walk never visits it.
    for (const char* key :
         {"shelf-a/tag", "shelf-a/present", "shelf-b/tag", "shelf-c/present", "shelf-d/tag",
          "shelf-d/present", "spare/tag", "spare/present"}) {
      ASSERT_EQ(s3test::Put(port, std::string(kRoot) + "/" + key, key), 0);
    }
    for (const char* shelf : {"shelf-a", "shelf-b", "shelf-c", "shelf-d", "spare"}) {
      for (int i = 1; i <= 3; ++i) {
        const std::string item = std::string(shelf) + "/item" + std::to_string(i);
        ASSERT_EQ(s3test::Put(port, std::string(kRoot) + "/" + item, item), 0);
      }
    }
  }
  void SetUp() override {
    m_proxy = std::make_unique<s3test::FaultProxy>(s3test::ServerPort());
    ASSERT_NE(m_proxy->port(), 0);
  }
  std::shared_ptr<CloudStore> Store(int inFlight, size_t wholeFrom) {
    S3Tuning tuning;
    tuning.maxInFlight = inFlight;
    tuning.wholeListingFromVolumes = wholeFrom;
    return Open(Entry(Endpoint(m_proxy->port()), kRoot), tuning);
  }
  std::unique_ptr<s3test::FaultProxy> m_proxy;
};

// A walk of its own kind: the root, then in each "shelf-" subfolder a read
// of its tag, whether "present" exists, and its listing.
std::string WalkShelves(CloudStore& store) {
  std::ostringstream out;
  std::vector<std::string> files, shelves;
  out << "root" << store.List(kRoot, files, shelves).AsString();
  for (const std::string& shelf : shelves) {
    if (shelf.rfind("shelf-", 0) != 0) continue;
    const std::string path = std::string(kRoot) + "/" + shelf;
    CJwError error;
    out << "\n" << shelf << " tag [" << Read(store, path + "/tag", 4096, &error) << "]"
        << error.AsString();
    bool present = false;
    out << " present " << store.Exists(path + "/present", present).AsString() << present;
    std::vector<std::string> items, folders;
    out << " items" << store.List(path, items, folders).AsString();
    for (const std::string& item : items) out << " " << item;
  }
  return out.str();
}

TEST_F(S3StorePattern, QuestionsOfTheFirstSubfoldersAreAskedAheadInTheNext) {
  m_proxy->Reset();
  const std::string expected = WalkShelves(*Store(1, 0));
  EXPECT_NE(expected.find("shelf-c tag []error"), std::string::npos) << expected;
  EXPECT_NE(expected.find("shelf-d tag [shelf-d/tag]success present success1 itemssuccess "
                          "item1 item2 item3 present tag"),
            std::string::npos)
      << expected;
  // The root; per shelf its tag, a HEAD of "present" and its listing.
  EXPECT_EQ(m_proxy->Requests(), 1 + 4 * 3);

  const struct {
    size_t wholeFrom;
    int requests;
    const char* said;
  } cases[] = {
      // The root; shelf-a's tag for the walk, its first page (which tells
      // "present") asked ahead once the walk asks whether "present" exists;
      // for the 3 shelves after it, the same asked ahead, all used, and
      // spare left alone.
      {0, 1 + 4 * 2, "9 requests, 7 of them made ahead; of those, answered: 7, never asked "
                     "for: 0, failed and asked again: 0"},
      // One whole-prefix listing answers every shelf; the tags as above.
      {1, 1 + 1 + 4, "6 requests, 3 of them made ahead; of those, answered: 3, never asked "
                     "for: 0, failed and asked again: 0"},
  };
  for (const auto& c : cases) {
    tztest::LogCapture log(9);
    m_proxy->Reset();
    EXPECT_EQ(WalkShelves(*Store(16, c.wholeFrom)), expected) << c.wholeFrom;
    EXPECT_EQ(m_proxy->Requests(), c.requests) << c.wholeFrom;
    EXPECT_EQ(m_proxy->Requests("HEAD"), 0) << c.wholeFrom;
    EXPECT_NE(log.Dump().find(c.said), std::string::npos) << c.wholeFrom << log.Dump();
  }
}

}  // namespace
