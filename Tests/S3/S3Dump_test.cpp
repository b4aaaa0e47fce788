// End to end: a sample library uploaded to s3rver with rclone and dumped
// through tzrecon gives the rows of the disk dump of the same library; with
// faults that the retries absorb it still does, and with faults they cannot
// absorb the dump fails instead of coming back short.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "S3Harness.h"

namespace {

namespace fs = std::filesystem;
using s3test::Endpoint;


const int kMountPathId = 3;
const int kCopyId = 7;

struct Dump {
  int status = -1;
  std::string header;
  std::multiset<std::string> rows;
};

// Runs `tzrecon dump` with `config`; the dump file is named on the first
// line of its output.
Dump RunDump(const std::string& config, const std::string& dumpDir, const std::string& log) {
  fs::create_directories(dumpDir);
  Dump dump;
  std::string output;
  dump.status = s3test::Run(std::string(TZRECON_BIN) + " dump --mount-path-id " +
                        std::to_string(kMountPathId) + " --copy-id " + std::to_string(kCopyId) +
                        " --dump-dir " + dumpDir + " --config " + config + " --log " + log +
                        " 2>&1",
                    &output);
  if (dump.status != 0) return dump;
  std::istringstream lines(output);
  std::string path;
  std::getline(lines, path);
  std::ifstream in(path);
  EXPECT_TRUE(in) << "no dump file in: " << output;
  std::getline(in, dump.header);
  for (std::string row; std::getline(in, row);) dump.rows.insert(row);
  return dump;
}

std::string CloudConfig(int port, const std::string& root, int inFlight) {
  return "{\"mountPaths\": [{\"id\": " + std::to_string(kMountPathId) + ", \"path\": \"" + root +
         "\", \"type\": 7, \"endpoint\": \"" + Endpoint(port) + "\", \"user\": \"" + s3test::kKey +
         "\", \"passwordEnv\": \"TZ_S3_TEST_SECRET\", \"maxRequestsInFlight\": " +
         std::to_string(inFlight) + "}]}";
}

class S3Dump : public ::testing::Test {
 protected:
  // One upload serves every case: two volumes of 2,500 chunks each.
  static void SetUpTestSuite() {
    s_port = s3test::ServerPort();
    if (s_port == 0) return;
    s_dir = new tztest::TempDir();
    const std::string lib = *s_dir / "lib";
    std::string output;
    ASSERT_EQ(s3test::Run(std::string(TZRECON_BIN) + " sample " + lib +
                      " --volumes 2 --chunks-per-volume 2500 --copy-id " + std::to_string(kCopyId) +
                      " --mount-path-id " + std::to_string(kMountPathId) + " --config-out " +
                      (*s_dir / "disk.json") + " 2>&1",
                  &output),
              0)
        << output;
    // The sample's chunks are sparse files of up to 256 MiB, which s3rver
    // would store in full: cut them to a few KiB (keeping distinct sizes)
    // before either dump sees the library.
    for (const auto& volume : fs::directory_iterator(lib)) {
      for (const auto& file : fs::directory_iterator(volume.path())) {
        if (file.path().filename().string().rfind("CHUNK_", 0) == 0) {
          fs::resize_file(file.path(), fs::file_size(file.path()) % 4093);
        }
      }
    }
    s_disk = RunDump(*s_dir / "disk.json", *s_dir / "disk-dump", *s_dir / "disk.log");

    // rclone is the independent client. The cloud walk never reads the
    // trailers, so they stay home: half the upload time.
    s_root = "tz-dump/run-" + std::to_string(getpid());
    const std::string rclone =
        "env -u AWS_CA_BUNDLE RCLONE_CONFIG_TZS3_TYPE=s3 RCLONE_CONFIG_TZS3_PROVIDER=Other "
        "RCLONE_CONFIG_TZS3_ENDPOINT=" + Endpoint(s_port) +
        " RCLONE_CONFIG_TZS3_ACCESS_KEY_ID=S3RVER RCLONE_CONFIG_TZS3_SECRET_ACCESS_KEY=S3RVER "
        "RCLONE_CONFIG_TZS3_FORCE_PATH_STYLE=true rclone --config /dev/null ";
    ASSERT_EQ(s3test::Run(rclone + "copy --s3-no-check-bucket --transfers 8 --checkers 8 "
                           "--exclude 'CHUNKMAP_TRAILER_*' " + lib + " tzs3:" + s_root + " 2>&1",
                  &output),
              0)
        << output;
    setenv("TZ_S3_TEST_SECRET", s3test::kSecret, 1);
  }
  static void TearDownTestSuite() {
    delete s_dir;
    s_dir = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(s_port, 0);
    ASSERT_EQ(s_disk.status, 0) << "the disk dump failed; see " << (*s_dir / "disk.log");
    ASSERT_EQ(s_disk.rows.size(), 5000u);
  }

  // A cloud dump of the uploaded library through `port` (s3rver or a proxy).
  Dump CloudDump(int port, const std::string& name, int inFlight = 16) {
    const std::string config = *s_dir / (name + ".json");
    tztest::WriteFile(config, CloudConfig(port, s_root, inFlight));
    return RunDump(config, *s_dir / (name + "-dump"), *s_dir / (name + ".log"));
  }
  std::string Log(const std::string& name) { return tztest::ReadFile(*s_dir / (name + ".log")); }

  static int s_port;
  static tztest::TempDir* s_dir;
  static std::string s_root;
  static Dump s_disk;
};

int S3Dump::s_port = 0;
tztest::TempDir* S3Dump::s_dir = nullptr;
std::string S3Dump::s_root;
Dump S3Dump::s_disk;

TEST_F(S3Dump, CloudRowsEqualDiskRows) {
  Dump cloud = CloudDump(s_port, "cloud");
  ASSERT_EQ(cloud.status, 0) << Log("cloud");
  EXPECT_EQ(cloud.header, s_disk.header);
  EXPECT_EQ(cloud.rows.size(), 5000u);
  EXPECT_TRUE(cloud.rows == s_disk.rows);
}

TEST_F(S3Dump, AbsorbedFaultsLoseNoRow) {
  s3test::FaultProxy proxy(s_port);
  proxy.Configure(0, 3, 2, "500,503,drop,cut");
  Dump cloud = CloudDump(proxy.port(), "absorbed");
  ASSERT_EQ(cloud.status, 0) << Log("absorbed");
  EXPECT_TRUE(cloud.rows == s_disk.rows);
}

TEST_F(S3Dump, UnabsorbedFaultsFailTheDump) {
  s3test::FaultProxy proxy(s_port);
  // From the first request on; then from the label of the first volume
  // (after the root listing and its marker test); then from its listing.
  for (int after : {0, 2, 3}) {
    proxy.Configure(after, 1, 1, "503");
    const std::string name = "failed-" + std::to_string(after);
    Dump cloud = CloudDump(proxy.port(), name);
    EXPECT_NE(cloud.status, 0) << "the dump succeeded with " << cloud.rows.size()
                               << " rows, faults from request " << after;
    EXPECT_NE(Log(name).find("HTTP 503 SlowDown"), std::string::npos) << Log(name);
  }
}

// A distant store: every request held 20 ms. The rows stay those of the
// disk, with requests in flight together or one at a time, and no request
// is made per chunk: beside the listing pages, at most 3 per volume.
TEST_F(S3Dump, LatencyChangesNoRowAndCostsNoRequestPerChunk) {
  s3test::FaultProxy proxy(s_port);
  for (int inFlight : {16, 1}) {
    proxy.Configure(0, 1, 0, "500", "", 20);
    const std::string name = "latency-" + std::to_string(inFlight);
    Dump cloud = CloudDump(proxy.port(), name, inFlight);
    ASSERT_EQ(cloud.status, 0) << Log(name);
    EXPECT_TRUE(cloud.rows == s_disk.rows) << inFlight;
    const int lists = proxy.Lists();
    const int others = proxy.Requests() - lists;
    EXPECT_LE(lists, 1 + 2 * 3) << inFlight;  // the root, then 3 pages per volume
    EXPECT_LE(others, 2 * 3) << inFlight;
  }
}

}  // namespace
