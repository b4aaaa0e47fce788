// The pieces of --metrics on their own: the text format (families, HELP and
// TYPE lines, escaped label values), the file written whole and in place,
// and the chunk bytes the read-back of a dump file sums. The metrics of
// real dumps and diffs are checked against their --json by an independent
// parser (metrics_check.py).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "DumpRecord.h"
#include "Metrics.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

TEST(CliMetrics, FamiliesHoldTheirSamplesAndLabelValuesAreEscaped) {
  tzcli::Exposition e;
  e.Gauge("tz_a_bytes", "A size.\nSecond line \\ here.", {{"path", "a\"b\\c\nd"}}, uint64_t{18446744073709551615u});
  e.Gauge("tz_b_seconds", "A time.", {}, 0.25);
  e.Gauge("tz_a_bytes", "(not repeated)", {{"path", "plain"}, {"kind", "x"}}, uint64_t{0});
  EXPECT_EQ(e.Text(),
            "# HELP tz_a_bytes A size.\\nSecond line \\\\ here.\n"
            "# TYPE tz_a_bytes gauge\n"
            "tz_a_bytes{path=\"a\\\"b\\\\c\\nd\"} 18446744073709551615\n"
            "tz_a_bytes{path=\"plain\",kind=\"x\"} 0\n"
            "# HELP tz_b_seconds A time.\n"
            "# TYPE tz_b_seconds gauge\n"
            "tz_b_seconds 0.250000\n");
  EXPECT_EQ(tzcli::EscapeLabelValue("é\t"), "é\t");  // only \, " and line feed
}

TEST(CliMetrics, TheFileIsReplacedWholeAndReadable) {
  tztest::TempDir tmp;
  const std::string path = tmp / "tzrecon.prom";
  tztest::WriteFile(path, "old\n");
  const mode_t before = umask(022);
  std::string error;
  EXPECT_TRUE(tzcli::WriteMetricsFile(path, "new\n", &error)) << error;
  umask(before);
  EXPECT_EQ(tztest::ReadFile(path), "new\n");
  EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 1)
      << "a temporary file was left";
  // A folder in the file's place: refused, and nothing left.
  tztest::MakeDirs(tmp / "taken.prom/x");
  EXPECT_FALSE(tzcli::WriteMetricsFile(tmp / "taken.prom", "x\n", &error));
  EXPECT_NE(error.find("--metrics: cannot write '" + (tmp / "taken.prom") + "'"), std::string::npos)
      << error;
  EXPECT_EQ(std::distance(fs::directory_iterator(tmp.path()), fs::directory_iterator()), 2);
}

// The sizes are read from each row's end, also for a row cut by the end of a
// read buffer (1 MiB): here rows of every length cross it at every place.
TEST(CliMetrics, ChunkBytesSumTheRowsAcrossReadBuffers) {
  tztest::TempDir tmp;
  std::string text = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
  uint64_t sum = 0, rows = 0;
  for (uint64_t i = 0; text.size() < (3u << 20); ++i, ++rows) {
    const uint64_t size = (i * 2654435761u) % 100000000000ull;
    text += "1, " + std::to_string(i % 50) + ", " + std::to_string(i) + ", " + std::to_string(size) +
            ", " + std::to_string(i % 2) + "\r\n";
    sum += size;
  }
  tztest::WriteFile(tmp / "d.csv", text);
  const tzcli::FileDigest digest = tzcli::DigestFile(tmp / "d.csv");
  ASSERT_TRUE(digest.ok) << digest.error;
  EXPECT_EQ(digest.rows, rows);
  EXPECT_TRUE(digest.chunkBytesKnown);
  EXPECT_EQ(digest.chunkBytes, sum);

  // Rows that do not end in ", <size>, <flag>": the sum is not known.
  for (const char* row : {"1, 2, 3, x, 0\r\n", "1, 2, 3, 4,0\r\n", "1, 2, 3, 4, 2\r\n", "4, 0\n"}) {
    SCOPED_TRACE(row);
    tztest::WriteFile(tmp / "bad.csv", text.substr(0, 61) + "1, 2, 3, 4, 0\n" + row);
    const tzcli::FileDigest bad = tzcli::DigestFile(tmp / "bad.csv");
    ASSERT_TRUE(bad.ok);
    EXPECT_FALSE(bad.chunkBytesKnown);
  }
  tztest::WriteFile(tmp / "lf.csv", text.substr(0, 61) + "1, 2, 3, 4, 0\n7, 8, 9, 10, 1\n");
  EXPECT_EQ(tzcli::DigestFile(tmp / "lf.csv").chunkBytes, 14u);
}

}  // namespace
