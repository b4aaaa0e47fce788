// The formats under the listers: decimal ids, chunk paths, name patterns,
// media labels, trailer records and rows.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>
#include <regex>
#include <string>

#include "EvDebug.h"
#include "DumpFile.h"
#include "LibraryLayout.h"
#include "SystemCalls.h"
#include "TrailerFormat.h"
#include "TestSupport.h"

using namespace tzrecon;

namespace {

int32_t Read(const std::string& text, Decimal* status = nullptr) {
  int32_t v = -12345;
  Decimal d = ReadDecimal(text.c_str(), nullptr, v);
  if (status) *status = d;
  return v;
}

}  // namespace

TEST(ReadDecimal, FollowsTheAtoiRuleInRange) {
  // Every in-range input gives what atoi gives.
  for (const char* text : {"0", "42", "-5", "+7", "   12x", "\t\n\v\f\r 9", "007", "17\r",
                           "2147483647", "-2147483648", "", "abc", "-", "+", " - 3", "12 34"}) {
    EXPECT_EQ(Read(text), atoi(text)) << "[" << text << "]";
  }
}

TEST(ReadDecimal, ReportsNumbersBeyond32BitsInsteadOfOverflowing) {
  Decimal d;
  EXPECT_EQ(Read("2147483648", &d), INT32_MAX);
  EXPECT_EQ(d, Decimal::kOutOfRange);
  EXPECT_EQ(Read("-2147483649", &d), INT32_MIN);
  EXPECT_EQ(d, Decimal::kOutOfRange);
  EXPECT_EQ(Read(std::string(5000, '9'), &d), INT32_MAX);
  EXPECT_EQ(d, Decimal::kOutOfRange);
  EXPECT_EQ(Read("abc", &d), 0);
  EXPECT_EQ(d, Decimal::kNoDigits);
  EXPECT_EQ(Read("-2147483648", &d), INT32_MIN);
  EXPECT_EQ(d, Decimal::kOk);
}

TEST(ReadDecimal, StopsAtTheGivenEnd) {
  const char text[] = "12345";
  int32_t v = 0;
  ASSERT_EQ(ReadDecimal(text, text + 3, v), Decimal::kOk);
  EXPECT_EQ(v, 123);
  EXPECT_EQ(ReadDecimal(text, text, v), Decimal::kNoDigits);
}

// The cloud walk's name filter must answer exactly as the ECMAScript
// expression "(V_)(.*)" / "(CHUNK_)(.*)" matched as a whole, without the
// regex engine's recursion on long names.
TEST(NamePattern, AgreesWithTheRegularExpression) {
  const std::regex volume("(V_)(.*)", std::regex::ECMAScript);
  const std::regex chunk("(CHUNK_)(.*)", std::regex::ECMAScript);
  const char alphabet[] = {'V', '_', 'C', 'H', 'U', 'N', 'K', 'v', '\n', '\r', '\0', ' ',
                           '1', '\x85', '\xe2', '\x80', '\xa8', '\t', '\f', 'x'};
  std::mt19937 rng(7);
  int checked = 0;
  auto check = [&](const std::string& name) {
    EXPECT_EQ(MatchesPrefixPattern(name, "V_"), std::regex_match(name, volume)) << name;
    EXPECT_EQ(MatchesPrefixPattern(name, "CHUNK_"), std::regex_match(name, chunk)) << name;
    ++checked;
  };
  // Every string of up to 3 bytes over the alphabet, after each prefix.
  for (const std::string prefix : {"", "V_", "CHUNK_", "V", "CHUNK"}) {
    std::vector<std::string> level{""};
    for (int len = 0; len <= 3; ++len) {
      std::vector<std::string> next;
      for (const std::string& s : level) {
        check(prefix + s);
        if (len < 3)
          for (char c : alphabet) next.push_back(s + c);
      }
      level.swap(next);
    }
  }
  // Random longer names, and every single byte value after the prefixes.
  for (int i = 0; i < 2000; ++i) {
    std::string s = (i % 2) ? "V_" : "CHUNK_";
    for (int n = rng() % 20; n > 0; --n) s += alphabet[rng() % sizeof alphabet];
    check(s);
  }
  for (int b = 0; b < 256; ++b) {
    check(std::string("V_") + static_cast<char>(b));
    check(std::string("CHUNK_7") + static_cast<char>(b));
  }
  EXPECT_GT(checked, 40000);
}

TEST(NamePattern, HandlesNamesFarLongerThanTheRegexEngineCould) {
  std::string name = "V_" + std::string(1 << 20, 'a');
  EXPECT_TRUE(MatchesPrefixPattern(name, "V_"));
  name.back() = '\n';
  EXPECT_FALSE(MatchesPrefixPattern(name, "V_"));
}

TEST(ChunkPathReading, TakesIdsByPosition) {
  ChunkPathParts p;
  const std::string mp = "/mnt/lib/";
  ASSERT_EQ(ReadChunkPath(mp.size(), "/mnt/lib/V_12/CHUNK_5", p), ChunkPath::kOk);
  EXPECT_EQ(p.volumeId, 12);
  EXPECT_EQ(p.chunkId, 5);
  EXPECT_EQ(std::string("/mnt/lib/V_12/CHUNK_5").substr(0, p.volumeFolderLength), "/mnt/lib/V_12");

  ASSERT_EQ(ReadChunkPath(mp.size(), "/mnt/lib/V_-5/CHUNK_007", p), ChunkPath::kOk);
  EXPECT_EQ(p.volumeId, -5);
  EXPECT_EQ(p.chunkId, 7);
  // Mode 2: the metadata file's number, not the chunk folder's.
  ASSERT_EQ(ReadChunkPath(mp.size(), "/mnt/lib/V_3/CHUNK_9/CHUNK_META_DATA_44", p), ChunkPath::kOk);
  EXPECT_EQ(p.chunkId, 44);
  ASSERT_EQ(ReadChunkPath(mp.size(), "/mnt/lib/V_3/CHUNK_4_56", p), ChunkPath::kOk);
  EXPECT_EQ(p.chunkId, 56);
  ASSERT_EQ(ReadChunkPath(mp.size(), "/mnt/lib/V_3/CHUNK_x1", p), ChunkPath::kOk);
  EXPECT_EQ(p.chunkId, 0);
  // The two bytes after the mount path are skipped, not compared.
  ASSERT_EQ(ReadChunkPath(mp.size(), "/mnt/lib/XY7/CHUNK_1", p), ChunkPath::kOk);
  EXPECT_EQ(p.volumeId, 7);
}

TEST(ChunkPathReading, PassesOverVolumesNotNamedByTheirIdsDecimalForm) {
  ChunkPathParts p;
  const size_t n = std::string("/m/").size();
  for (const char* path : {"/m/V_012/CHUNK_1", "/m/V_12a/CHUNK_1", "/m/V_+12/CHUNK_1",
                           "/m/V_/CHUNK_1", "/m/V_ 12/CHUNK_1", "/m/V_2147483648/CHUNK_1",
                           "/m/V_-0/CHUNK_1"})
    EXPECT_EQ(ReadChunkPath(n, path, p), ChunkPath::kForeignVolume) << path;
}

TEST(ChunkPathReading, RejectsPathsWithoutTheirParts) {
  ChunkPathParts p;
  const size_t n = std::string("/m/").size();
  for (const char* path : {"/m/V_", "/m/V_1", "/m/V_1/", "/m/V_1/CHUNK_", "/m/V_1/CHUNK", "/m/"})
    EXPECT_EQ(ReadChunkPath(n, path, p), ChunkPath::kMalformed) << path;
}

TEST(ChunkPathReading, FlagsChunkIdsBeyond32Bits) {
  ChunkPathParts p;
  ASSERT_EQ(ReadChunkPath(3, "/m/V_1/CHUNK_99999999999", p), ChunkPath::kOk);
  EXPECT_TRUE(p.chunkIdOutOfRange);
  ASSERT_EQ(ReadChunkPath(3, "/m/V_1/CHUNK_2147483647", p), ChunkPath::kOk);
  EXPECT_FALSE(p.chunkIdOutOfRange);
  EXPECT_EQ(p.chunkId, INT32_MAX);
}

TEST(MediaLabel, ReadsTheCopyIdAtByte1007) {
  auto matches = [](const std::string& field, uint32_t copyId) {
    std::string label = tztest::MediaLabel(field, kLabelReadSize);
    return LabelCarriesCopyId(label.data(), copyId);
  };
  EXPECT_TRUE(matches("   42abc", 42));
  EXPECT_FALSE(matches("   42abc", 4));
  EXPECT_TRUE(matches("xyz", 0));  // no digits reads as 0
  EXPECT_FALSE(matches("xyz", 1));
  EXPECT_TRUE(matches("-1", 0xFFFFFFFFu));  // compared as 32-bit integers
  EXPECT_FALSE(matches("4294967297", 1));   // beyond 32 bits never matches
  // Digits running to the last byte read, and no further.
  std::string label(kLabelReadSize + 10, '7');
  std::memset(label.data(), 'L', kLabelCopyIdOffset);
  EXPECT_FALSE(LabelCarriesCopyId(label.data(), 7));
  std::string tail(kLabelReadSize + 5, 'L');
  tail[kLabelReadSize - 1] = '5';
  tail[kLabelReadSize] = '5';  // past the field: not read
  for (size_t i = kLabelCopyIdOffset; i < kLabelReadSize - 1; ++i) tail[i] = ' ';
  EXPECT_TRUE(LabelCarriesCopyId(tail.data(), 5));
}

namespace {

// Verifies a trailer given as text, padded to 1024 bytes with '#'.
struct TrailerCheck {
  tztest::LogCapture log{2};
  bool Run(std::string text, int volumeId, int chunkId) {
    text.resize(kTrailerReadSize, '#');
    EvDebug debug(nullptr);
    return VerifyTrailerRecords(text.data(), text.size(), volumeId, chunkId, debug, "/v/T");
  }
};

}  // namespace

TEST(Trailer, MatchesIdsInEitherOrder) {
  TrailerCheck c;
  EXPECT_TRUE(c.Run("VolumeId 5\nChunkId 9\n", 5, 9));
  EXPECT_TRUE(c.Run("ChunkId 9\nVolumeId 5\n", 5, 9));
  EXPECT_TRUE(c.Run("VolumeId 5\n", 5, 9));  // one id suffices
  EXPECT_TRUE(c.Run("ChunkId 9\n", 5, 9));
  EXPECT_TRUE(c.Run("VolumeId 5\r\nChunkId 9\r\n", 5, 9));
  EXPECT_TRUE(c.Run("Other x\nVolumeId  5\nChunkId 9 trailing\n", 5, 9));
}

TEST(Trailer, FirstMismatchEndsTheCheckWithItsMessage) {
  TrailerCheck c;
  EXPECT_FALSE(c.Run("VolumeId 5\nChunkId 9\n", 5, 8));
  EXPECT_TRUE(c.log.Has("ChunkListHelper::GetVolumeAndChunkIdFromCMT", -1,
                        "Chunk Id in chunk map trailer [9] and in chunk file name [8] do not match"));
  EXPECT_FALSE(c.Run("VolumeId 6\nChunkId 1\n", 5, 9));
  EXPECT_TRUE(c.log.Has("ChunkListHelper::GetVolumeAndChunkIdFromCMT", -1,
                        "Volume Id in Chunk [6] and in volume folder [5] do not match."));
  EXPECT_EQ(c.log.Count("Chunk Id in chunk map trailer [1] and in chunk file name [9] do not match"), 0)
      << "records after the first mismatch are not examined";
  // Every occurrence counts: a later repeated record that disagrees fails.
  EXPECT_FALSE(c.Run("VolumeId 5\nVolumeId 7\n", 5, 9));
  // A value beyond 32 bits matches no id, not even the clamped one.
  EXPECT_FALSE(c.Run("ChunkId 99999999999\n", 5, INT32_MAX));
}

TEST(Trailer, NeedsARecognisedRecord) {
  TrailerCheck c;
  EXPECT_FALSE(c.Run("volumeid 5\nchunkid 9\n", 5, 9));
  EXPECT_FALSE(c.Run("", 5, 9));
  EXPECT_TRUE(c.log.Has("ChunkListHelper::GetVolumeAndChunkIdFromCMT", -1,
                        "Either chunk id or volume id not found on chunk map trailer (/v/T)"));
  // A first line without a space swallows the next line's name.
  EXPECT_FALSE(c.Run("garbage\nVolumeId 5\n", 5, 9));
}

TEST(Trailer, NamesEndWithin64BytesAndRecordsWithinTheBytesRead) {
  TrailerCheck c;
  // A 63-byte name is a name; a 64-byte one ends the parsing.
  EXPECT_TRUE(c.Run(std::string(63, 'n') + " v\nVolumeId 5\n", 5, 9));
  EXPECT_FALSE(c.Run(std::string(64, 'n') + " v\nVolumeId 5\n", 5, 9));
  // A record whose newline lies at byte 1024 or beyond is not a record.
  const std::string head = "VolumeId 5\n";
  const size_t fill = kTrailerReadSize - head.size() - std::strlen("ChunkId 8") - 3;
  std::string text = head + "F " + std::string(fill, 'x') + "\n" + "ChunkId 8";
  ASSERT_EQ(text.size(), kTrailerReadSize);
  EXPECT_TRUE(c.Run(text, 5, 9)) << "the incomplete mismatching record must be ignored";
  text = head + "F " + std::string(fill - 1, 'x') + "\n" + "ChunkId 8\n";
  ASSERT_EQ(text.size(), kTrailerReadSize);
  EXPECT_FALSE(c.Run(text, 5, 9)) << "a record ending on the last byte counts";
}

TEST(Trailer, SplitterNeverReadsPastTheEnd) {
  // Records crossing the end of the bytes given: the splitter stops there.
  std::string text = "VolumeId 5\nChunk";
  char* cursor = text.data();
  char *name = nullptr, *value = nullptr;
  const char* end = text.data() + text.size();
  ASSERT_EQ(SplitTrailerRecord(cursor, name, value, end), 0);
  EXPECT_STREQ(name, "VolumeId");
  EXPECT_STREQ(value, "5");
  EXPECT_EQ(SplitTrailerRecord(cursor, name, value, end), -1);
  EXPECT_LE(cursor, end);
}

TEST(Row, FormatsLikeTheRowFormat) {
  std::mt19937_64 rng(11);
  char row[kMaxRowSize];
  char expected[256];
  for (int i = 0; i < 5000; ++i) {
    int32_t a = static_cast<int32_t>(rng()), b = static_cast<int32_t>(rng()),
            c = static_cast<int32_t>(rng());
    uint64_t size = (i % 3 == 0) ? rng() : rng() % 100000;
    if (i == 0) a = b = c = INT32_MIN, size = UINT64_MAX;
    bool si = i % 2;
    size_t n = FormatRow(row, a, b, c, size, si);
    int m = snprintf(expected, sizeof expected, "%d, %d, %d, %llu, %d\r\n", a, b, c,
                     static_cast<unsigned long long>(size), si ? 1 : 0);
    ASSERT_EQ(std::string(row, n), std::string(expected, static_cast<size_t>(m)));
  }
}
