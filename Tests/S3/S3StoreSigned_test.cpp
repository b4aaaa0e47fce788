// The S3 store against servers that s3rver cannot play: one that refuses
// connections, and the signature-checking fake, whose independent check our
// signatures must pass.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "S3StoreFixtures.h"

namespace {

using namespace s3test;

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
