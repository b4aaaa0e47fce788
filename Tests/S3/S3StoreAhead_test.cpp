// The S3 store asking ahead of the cloud walk (requests in flight, answers
// kept, whole-prefix listings), held to the answers of one request at a
// time, through the fault proxy in front of s3rver.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "S3StoreFixtures.h"

namespace {

using namespace s3test;

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

}  // namespace
