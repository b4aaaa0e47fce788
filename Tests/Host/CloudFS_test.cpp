// The cloud file-system component on the folder store, used through its
// public classes as the cloud lister uses them.

#include "CloudFS.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace {

using Names = std::vector<std::string>;

// The bytes 0, 1, 2, ... 255, 0, 1, ... of an object `size` bytes long.
std::string Pattern(size_t size) {
  std::string content(size, '\0');
  for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i & 0xff);
  return content;
}

class CloudFS : public ::testing::Test {
 protected:
  // The mount path folder lies inside the temporary folder so that a sibling
  // with the same name prefix can sit beside it. It is registered as a cloud
  // mount path without an endpoint, which selects the folder store.
  CloudFS() : m_root(m_dir / "lib9"), m_registry(m_dir / "registry.json") {
    tztest::MakeDirs(m_root);
    tztest::WriteFile(m_registry, R"({"mountPaths": [{"id": 9, "type": 7,
        "path": ")" + m_root + R"("}]})");
    m_params.mountPathId = 9;
    m_params.host.hostPath = m_root;
  }

  std::string Path(const std::string& relative) const {
    return m_root + "/" + relative;
  }

  // Opens `path` through a new file interface and reads `length` bytes into
  // `data`, which keeps as many as arrived.
  CJwError OpenAndRead(const std::string& path, int length, std::string& data) {
    std::unique_ptr<CFSInterface> fs(
        CFSInterface::GetFSInterfaceInstance(m_params));
    std::unique_ptr<CFileInterface> file(fs->GetFileInterface());
    CJwError error = file->Open(path, 0, 256, 0);
    if (error.IsError()) return error;
    data.assign(static_cast<size_t>(length), '?');
    int count = 0;
    error = file->Read(data.data(), length, count);
    EXPECT_LE(count, length);
    data.resize(static_cast<size_t>(count));
    file->Close();
    return error;
  }

  tztest::TempDir m_dir;
  std::string m_root;
  std::string m_registry;
  tztest::ConfigScope m_config{m_registry};
  tztest::LogCapture m_log;
  CFSInitParams m_params;
};

TEST_F(CloudFS, ListDirectorySeparatesFilesAndFolders) {
  tztest::MakeDirs(Path("V_1"));
  tztest::MakeDirs(Path("V_2/CHUNK_5"));
  tztest::WriteFile(Path("V_2/CHUNK_6"), "x");
  tztest::WriteFile(Path("MEDIA_LABEL"), "");
  ASSERT_EQ(symlink("V_2", Path("V_linked").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", Path("dangling").c_str()), 0);

  CCloudFS fs(m_params);
  for (const std::string& path : {m_root, m_root + "/"}) {
    Names files = {"stale"}, folders = {"stale"};
    const CJwError error = fs.ListDirectory(path, files, folders);
    ASSERT_FALSE(error.IsError()) << error.AsString();
    std::sort(files.begin(), files.end());
    std::sort(folders.begin(), folders.end());
    EXPECT_EQ(files, (Names{"MEDIA_LABEL", "dangling"})) << path;
    EXPECT_EQ(folders, (Names{"V_1", "V_2", "V_linked"})) << path;
  }

  Names files, folders = {"stale"};
  ASSERT_FALSE(fs.ListDirectory(Path("V_linked"), files, folders).IsError());
  EXPECT_EQ(files, Names{"CHUNK_6"});
  EXPECT_EQ(folders, Names{"CHUNK_5"});
  EXPECT_TRUE(fs.ListDirectory(Path("V_404"), files, folders).IsNotFound());
  EXPECT_TRUE(files.empty() && folders.empty());
}

TEST_F(CloudFS, FileExistsAndStat) {
  tztest::MakeDirs(Path("V_1"));
  tztest::WriteFile(Path("V_1/.tzsivolume"), "");
  constexpr off_t kSize = (5LL << 30) + 3;  // beyond 32 bits
  const int fd = open(Path("CHUNK_1").c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, kSize), 0);  // sparse: takes no space
  close(fd);

  CCloudFS fs(m_params);
  for (const char* present : {"V_1/.tzsivolume", "V_1", "CHUNK_1"}) {
    bool exists = false;
    EXPECT_FALSE(fs.FileExists(Path(present), exists).IsError());
    EXPECT_TRUE(exists) << present;
  }
  for (const char* absent : {"V_1/absent", "V_9/.tzsivolume", "CHUNK_1/x"}) {
    bool exists = true;
    EXPECT_FALSE(fs.FileExists(Path(absent), exists).IsError());
    EXPECT_FALSE(exists) << absent;
  }

  struct stat status;
  memset(&status, 0xab, sizeof status);
  const CJwError error = fs.Stat(Path("CHUNK_1"), status);
  ASSERT_FALSE(error.IsError()) << error.AsString();
  EXPECT_EQ(status.st_size, kSize);
  EXPECT_EQ(status.st_mode, 0u) << "only the size is filled in";
  EXPECT_TRUE(fs.Stat(Path("CHUNK_2"), status).IsNotFound());
}

TEST_F(CloudFS, ReadGivesTheStartOfTheObject) {
  tztest::WriteFile(Path("label"), Pattern(1551));
  tztest::WriteFile(Path("short"), Pattern(1000));
  tztest::WriteFile(Path("window"), Pattern(4096));
  tztest::WriteFile(Path("large"), Pattern(10000));
  struct Case {
    const char* name;
    int length;
    size_t expected;
  };
  for (const Case& c :
       {Case{"label", 1551, 1551}, Case{"label", 100, 100}, Case{"label", 0, 0},
        Case{"short", 2048, 1000}, Case{"short", 8000, 1000},
        Case{"window", 5000, 4096}, Case{"large", 8000, 8000},
        Case{"large", 20000, 10000}}) {
    std::string data;
    const CJwError error = OpenAndRead(Path(c.name), c.length, data);
    EXPECT_FALSE(error.IsError()) << error.AsString();
    EXPECT_EQ(data, Pattern(c.expected)) << c.name << " " << c.length;
  }
  std::string data;
  EXPECT_TRUE(OpenAndRead(Path("V_1/CHUNK_5"), 16, data).IsNotFound());
}

TEST_F(CloudFS, FileInterfaceStates) {
  tztest::WriteFile(Path("first"), "first object");
  tztest::WriteFile(Path("second"), "second");
  std::unique_ptr<CFSInterface> fs(
      CFSInterface::GetFSInterfaceInstance(m_params));
  std::unique_ptr<CFileInterface> file(fs->GetFileInterface());
  char buffer[64];
  int count = 0;
  EXPECT_TRUE(file->Read(buffer, 4, count).IsError()) << "before Open";
  ASSERT_FALSE(file->Open(Path("first"), 0, 256, 0).IsError());
  EXPECT_TRUE(file->Read(buffer, -1, count).IsError());
  ASSERT_FALSE(file->Open(Path("second"), 0, 256, 0).IsError());
  ASSERT_FALSE(file->Read(buffer, sizeof buffer, count).IsError());
  EXPECT_EQ(std::string(buffer, count), "second") << "the latest Open counts";
  EXPECT_FALSE(file->Close().IsError());
  EXPECT_TRUE(file->Read(buffer, 4, count).IsError()) << "after Close";

  // A failed Open leaves nothing open, not the previous object.
  ASSERT_FALSE(file->Open(Path("first"), 0, 256, 0).IsError());
  EXPECT_TRUE(file->Open(Path("absent"), 0, 256, 0).IsNotFound());
  EXPECT_TRUE(file->Read(buffer, 4, count).IsError());
  EXPECT_EQ(count, 0);
}

TEST_F(CloudFS, OnlyRegularFilesAreRead) {
  tztest::MakeDirs(Path("V_1"));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  // Opening a FIFO without a writer can block; should it, the alarm ends the
  // test program rather than let it hang.
  alarm(20);
  for (const char* name : {"fifo", "V_1"}) {
    std::string data;
    const CJwError error = OpenAndRead(Path(name), 16, data);
    EXPECT_EQ(error.Code(), JW_ERR_FAILED) << name;
    EXPECT_NE(error.AsString().find("not a regular file"), std::string::npos);
  }
  alarm(0);
}

TEST_F(CloudFS, PathsOutsideTheRootAreRefused) {
  // The sibling shares the root's name as a prefix and exists, and so does
  // the target of the ".." path: only the check can refuse them.
  tztest::MakeDirs(m_dir / "lib9x");
  tztest::WriteFile(m_dir / "lib9x/V_2", "secret");
  tztest::MakeDirs(Path("V_1"));
  tztest::WriteFile(Path("V_2"), "inside");
  CCloudFS fs(m_params);
  for (const std::string& path :
       {m_dir / "lib9x/V_2", m_dir.path(), Path("V_1/../V_2"), Path("V_1/.."),
        std::string("lib9/V_2")}) {
    SCOPED_TRACE(path);
    std::string data;
    bool exists = true;
    struct stat status;
    Names files, folders;
    for (const CJwError& e :
         {OpenAndRead(path, 16, data), fs.FileExists(path, exists),
          fs.Stat(path, status), fs.ListDirectory(path, files, folders)}) {
      EXPECT_EQ(e.Code(), JW_ERR_FAILED);
      EXPECT_NE(e.AsString().find("refused"), std::string::npos);
    }
    EXPECT_FALSE(exists);
  }
}

TEST_F(CloudFS, StoreChoice) {
  tztest::WriteFile(Path("V_1"), "");
  const auto exists = [&](const std::string& path) {
    CCloudFS fs(m_params);
    bool found = false;
    const CJwError error = fs.FileExists(path, found);
    return error.IsError() ? error.AsString() : found ? "yes" : "no";
  };
  // The root may end in "/". Without a registry entry no store serves the
  // mount path, not even a folder that the init record happens to name, and
  // the component gives no interface.
  m_params.host.hostPath = m_root + "/";
  EXPECT_EQ(exists(Path("V_1")), "yes");
  m_params.mountPathId = 404;
  EXPECT_NE(exists(Path("V_1")).find("no cloud store for mount path 404"), std::string::npos);
  std::unique_ptr<CFSInterface> none(CFSInterface::GetFSInterfaceInstance(m_params));
  EXPECT_EQ(none, nullptr);
  m_params.mountPathId = 9;

  tztest::WriteFile(m_registry, R"({"mountPaths": [{"id": 9, "type": 7,
      "path": "bucket/lib9", "endpoint": "http://127.0.0.1:1"}]})");
#ifdef TZHOST_WITH_S3
  // The S3 store refuses a path outside its root "bucket/lib9" without a
  // request, where the folder store would have found the file.
  EXPECT_NE(exists(Path("V_1")), "yes");
#else
  EXPECT_NE(exists(Path("V_1")).find("S3 store not built"), std::string::npos);
#endif
}

// One store serves a lister: the CCloudFS made from the same init record, on
// the same thread, after the interface, shares the interface's store rather
// than reading the registry again (here the registry has changed in between
// and names an S3 endpoint that answers nothing). A store that cannot be
// opened gives no interface at all.
TEST_F(CloudFS, OneStorePerInterfaceAndNoInterfaceWithoutAStore) {
  tztest::WriteFile(Path("V_1"), "");
  const std::string unreachable = R"({"mountPaths": [{"id": 9, "type": 7,
      "path": "bucket/lib9", "endpoint": "http://127.0.0.1:1", "user": "u", "password": "p"}]})";
  {
    std::unique_ptr<CFSInterface> fs(CFSInterface::GetFSInterfaceInstance(m_params));
    ASSERT_NE(fs, nullptr);
    tztest::WriteFile(m_registry, unreachable);
    CCloudFS shared(m_params);
    bool found = false;
    EXPECT_FALSE(shared.FileExists(Path("V_1"), found).IsError());
    EXPECT_TRUE(found);
    // Another record is another store.
    CFSInitParams other = m_params;
    other.user.userName = "someone else";
    CCloudFS separate(other);
    found = false;
    separate.FileExists(Path("V_1"), found);
    EXPECT_FALSE(found);
  }
  // An S3 entry without credentials cannot be opened: no interface.
  tztest::WriteFile(m_registry, R"({"mountPaths": [{"id": 9, "type": 7,
      "path": "bucket/lib9", "endpoint": "http://127.0.0.1:1"}]})");
  std::unique_ptr<CFSInterface> broken(CFSInterface::GetFSInterfaceInstance(m_params));
  EXPECT_EQ(broken, nullptr);
}

}  // namespace
