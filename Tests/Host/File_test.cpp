// Error values and CJwFile::Stat on real files.

#include <errno.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "JwFile.h"
#include "TestSupport.h"

namespace {

TEST(JwError, FromErrnoKeepsAbsenceApart) {
  EXPECT_EQ(CJwError().AsString(), "success");
  EXPECT_EQ(CJwError::FromErrno(ENOENT, "stat", "/x").Code(), JW_ERR_NOT_FOUND);
  EXPECT_EQ(CJwError::FromErrno(ENOTDIR, "stat", "/x").Code(),
            JW_ERR_NOT_FOUND);
  for (int err : {EACCES, EIO, ELOOP})
    EXPECT_EQ(CJwError::FromErrno(err, "stat", "/x").Code(), JW_ERR_FAILED);
  EXPECT_EQ(CJwError::FromErrno(EIO, "read", "/a/b").AsString(),
            "error -1: read failed for [/a/b]: Input/output error (errno 5)");
}

TEST(FileStat, FileMissingPathAndSymbolicLinks) {
  tztest::TempDir dir;
  tztest::WriteFile(dir / "chunk", std::string(1551, 'c'));
  tztest::WriteFile(dir / "target", std::string(10, 't'));
  ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);

  struct stat status;
  CJwError error = CJwFile::Stat((dir / "chunk").c_str(), status);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(status.st_size, 1551);
  ASSERT_FALSE(CJwFile::Stat((dir / "link").c_str(), status).IsError());
  EXPECT_EQ(status.st_size, 10) << "the link is followed";
  EXPECT_TRUE(S_ISREG(status.st_mode));

  status.st_size = 777;
  error = CJwFile::Stat((dir / "absent").c_str(), status);
  EXPECT_TRUE(error.IsNotFound());
  EXPECT_EQ(error.AsString(), "error -2: stat failed for [" + dir / "absent" +
                                  "]: No such file or directory (errno 2)");
  EXPECT_EQ(status.st_size, 777) << "a failed Stat leaves the record alone";
  EXPECT_TRUE(CJwFile::Stat((dir / "dangling").c_str(), status).IsNotFound());
  EXPECT_TRUE(CJwFile::Stat((dir / "chunk/x").c_str(), status).IsNotFound());
}

}  // namespace
