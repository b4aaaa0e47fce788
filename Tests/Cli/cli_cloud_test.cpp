// One sample library registered twice, as a disk mount path and as a cloud
// mount path served by the folder store, dumped through tzrecon: the two
// dumps must hold the same header and the same rows.
#include <gtest/gtest.h>

#include <string>

#include "CliTestSupport.h"
#include "TestSupport.h"

using clitest::RunCli;

TEST(CliCloudFolderStore, SameRowsAsTheDiskDumpOfTheSameLibrary) {
  tztest::TempDir dir;
  const std::string library = dir / "library";
  auto made = RunCli({"sample", library, "--volumes", "4", "--chunks-per-volume", "60",
                      "--copy-id", "9", "--seed", "3"});
  ASSERT_EQ(made.status, 0) << made.err;
  tztest::WriteFile(dir / "registry.json",
                    "{\"mountPaths\": [{\"id\": 1, \"path\": \"" + library +
                        "\"}, {\"id\": 2, \"path\": \"" + library + "\", \"type\": 7}]}");
  tztest::MakeDirs(dir / "dumps");

  std::string files[2];
  for (int id : {1, 2}) {
    auto run = RunCli({"dump", "--mount-path-id", std::to_string(id), "--copy-id", "9",
                       "--dump-dir", dir / "dumps", "--config", dir / "registry.json", "--log",
                       dir / "host.log"});
    ASSERT_EQ(run.status, 0) << run.err << tztest::ReadFile(dir / "host.log");
    files[id - 1] = clitest::Lines(run.out).at(0);
  }
  const std::string disk = tztest::ReadFile(files[0]);
  const std::string cloud = tztest::ReadFile(files[1]);
  ASSERT_GE(disk.size(), 61u);
  EXPECT_EQ(disk.substr(0, 61), cloud.substr(0, 61));

  // The cloud rows carry mount path id 2, the disk rows 1; otherwise equal.
  auto diskRows = clitest::DumpRows(files[0]);
  auto cloudRows = clitest::DumpRows(files[1]);
  ASSERT_EQ(diskRows.size(), 240u);
  for (auto& row : cloudRows) {
    EXPECT_EQ(row.mountPathId, 2);
    row.mountPathId = 1;
  }
  EXPECT_EQ(diskRows, cloudRows);
  EXPECT_EQ(diskRows, clitest::ExpectedRows(library, 1, 9, false));
}
