// The mount path registry, seen through TZPI_FileSystemAgent: what a lookup
// hands back, and the reason it logs when it fails.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "Registry.h"
#include "TestSupport.h"
#include "TzpiFileSystemAgent.h"

namespace {

const char kTag[] = "TZPI_FileSystemAgent::getMagneticMountPathInfo";
const char kSecret[] = "Pa55-w0rd!";

// The outputs of one lookup, primed with values that a lookup must not
// invent.
struct Lookup {
  int result = -99;
  std::string root = "?", user = "?", password = "?", reservedText = "?";
  int type = -5, serverType = -6, reserved1 = -7, reserved2 = -8;

  explicit Lookup(int id) {
    TZPI_FileSystemAgent agent;
    result = agent.getMagneticMountPathInfo(id, 2, root, user, password, type,
                                            serverType, reserved1, reserved2,
                                            reservedText);
  }
  bool Untouched() const {
    return root == "?" && user == "?" && password == "?" && type == -5 &&
           serverType == -6;
  }
};

class Registry : public ::testing::Test {
 protected:
  Registry() : m_file(m_dir / "registry.json"), m_config(m_file) {}

  void Write(const std::string& json) { tztest::WriteFile(m_file, json); }

  // Looks `id` up, expects a failure that logs one line at level -1 without
  // the password, and returns that line's message.
  std::string Failure(int id) {
    const size_t before = m_log.Lines().size();
    const Lookup lookup(id);
    EXPECT_EQ(lookup.result, 0);
    EXPECT_TRUE(lookup.Untouched());
    const std::vector<tztest::LogLine> lines = m_log.Lines();
    EXPECT_EQ(lines.size(), before + 1) << m_log.Dump();
    EXPECT_EQ(m_log.Dump().find(kSecret), std::string::npos) << m_log.Dump();
    if (lines.size() <= before) return "";
    EXPECT_EQ(lines.back().tag, kTag);
    EXPECT_EQ(lines.back().level, -1);
    return lines.back().message;
  }

  tztest::TempDir m_dir;
  std::string m_file;
  tztest::ConfigScope m_config;
  tztest::LogCapture m_log;
};

TEST_F(Registry, EntriesFillTheOutputs) {
  Write(R"({"mountPaths": [
    {"id": 3, "path": "/srv/lib/mp3"},
    {"id": 9, "path": "bucket/lib9", "type": 7, "serverType": 12, "user": "AK",
     "password": "Pa55-w0rd!", "endpoint": "http://127.0.0.1:4568",
     "region": "eu-west-1", "addressing": "virtual"},
    {"id": -4, "path": "/neg", "type": 7, "passwordEnv": "TZ_TEST_SECRET"}]})");
  const Lookup cloud(9);
  ASSERT_EQ(cloud.result, 1) << m_log.Dump();
  EXPECT_EQ(cloud.root, "bucket/lib9");
  EXPECT_EQ(cloud.user, "AK");
  EXPECT_EQ(cloud.password, kSecret);
  EXPECT_EQ(cloud.type, 7);
  EXPECT_EQ(cloud.serverType, 12);
  EXPECT_TRUE(cloud.reserved1 == -7 && cloud.reserved2 == -8 &&
              cloud.reservedText == "?");

  const Lookup disk(3);
  ASSERT_EQ(disk.result, 1);
  EXPECT_EQ(disk.root, "/srv/lib/mp3");
  EXPECT_EQ(disk.user + disk.password, "");
  EXPECT_EQ(disk.type, 4);
  EXPECT_EQ(disk.serverType, 0);

  setenv("TZ_TEST_SECRET", kSecret, 1);
  const Lookup fromVariable(-4);
  unsetenv("TZ_TEST_SECRET");
  ASSERT_EQ(fromVariable.result, 1);
  EXPECT_EQ(fromVariable.password, kSecret);
  EXPECT_TRUE(m_log.Lines().empty()) << m_log.Dump();
  EXPECT_EQ(Failure(-4), "Cannot look up mount path -4: " + m_file +
                             ": mount path -4: the variable named by "
                             "\"passwordEnv\" is not set");
}

TEST_F(Registry, FailuresNameTheFileAndTheField) {
  struct Case {
    const char* json;
    const char* reason;
  };
  const Case cases[] = {
      // The parser stops at the "}" behind the stray ",".
      {"{\"mountPaths\": [\n  {\"id\": 3, \"path\": \"/srv/lib\",}]}",
       "malformed JSON at byte offset 48 (line 2, column 32)"},
      {R"({"mountPaths": [{"id": 4, "path": "/a"}]})",
       "mount path 3 is not registered"},
      {R"([])", "the top level must be an object"},
      {R"({"paths": []})", "\"mountPaths\" is missing"},
      {R"({"mountPaths": {}})", "\"mountPaths\" must be an array"},
      {R"({"mountPaths": [5]})", "mountPaths[0]: must be an object"},
      {R"({"mountPaths": [{"path": "/a"}]})",
       "mountPaths[0]: \"id\" is missing"},
      {R"({"mountPaths": [{"id": "3", "path": "/a"}]})",
       "mountPaths[0]: \"id\" must be an integer"},
      {R"({"mountPaths": [{"id": 3.0, "path": "/a"}]})",
       "mountPaths[0]: \"id\" must be an integer"},
      {R"({"mountPaths": [{"id": 4294967299, "path": "/a"}]})",
       "mountPaths[0]: \"id\" is out of range"},
      {R"({"mountPaths": [{"id": -4294967299, "path": "/a"}]})",
       "mountPaths[0]: \"id\" is out of range"},
      {R"({"mountPaths": [{"id": 3}]})",
       "mountPaths[0] (id 3): \"path\" is missing"},
      {R"({"mountPaths": [{"id": 3, "path": ""}]})",
       "mountPaths[0] (id 3): \"path\" is empty"},
      {R"({"mountPaths": [{"id": 3, "path": 7}]})",
       "mountPaths[0] (id 3): \"path\" must be a string"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "serverType": 1.5}]})",
       "mountPaths[0] (id 3): \"serverType\" must be an integer"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "user": 1}]})",
       "mountPaths[0] (id 3): \"user\" must be a string"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "passwordEnv": true}]})",
       "mountPaths[0] (id 3): \"passwordEnv\" must be a string"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "maxRequestsInFlight": 0}]})",
       "mountPaths[0] (id 3): \"maxRequestsInFlight\" must be 1 to 64"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "maxRequestsInFlight": 65}]})",
       "mountPaths[0] (id 3): \"maxRequestsInFlight\" must be 1 to 64"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "maxRequestsInFlight": "8"}]})",
       "mountPaths[0] (id 3): \"maxRequestsInFlight\" must be an integer"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "region": {}}]})",
       "mountPaths[0] (id 3): \"region\" must be a string"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "addressing": "x"}]})",
       "mountPaths[0] (id 3): \"addressing\" must be \"path\" or \"virtual\""},
      // "type" is 4 or 7; the S3 fields go with 7 only.
      {R"({"mountPaths": [{"id": 3, "path": "/a", "type": 5}]})",
       "mountPaths[0] (id 3): \"type\" must be 4 (disk, the default) or 7 (cloud)"},
      {R"({"mountPaths": [{"id": 3, "path": "b/p", "endpoint": "http://127.0.0.1:1"}]})",
       "mountPaths[0] (id 3): \"endpoint\" is an S3 field: the entry needs \"type\": 7"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "type": 4, "maxRequestsInFlight": 8}]})",
       "mountPaths[0] (id 3): \"maxRequestsInFlight\" is an S3 field: the entry needs \"type\": 7"},
      // A broken entry fails the lookup of every other one too.
      {R"({"mountPaths": [{"id": 3, "path": "/a"}, {"id": 9, "path": "/b",
          "type": "7"}]})",
       "mountPaths[1] (id 9): \"type\" must be an integer"},
      {R"({"mountPaths": [{"id": 3, "path": "/a"}, {"id": 3, "path": "/b"}]})",
       "mountPaths[1] (id 3): the id appears more than once"},
      // An unknown field is named (a misspelt "type" would make a cloud
      // mount path a disk one), with the field it resembles.
      {R"({"mountPaths": [{"id": 3, "path": "/a", "typ": 7}]})",
       "mountPaths[0] (id 3): unknown field \"typ\" (did you mean \"type\"?)"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "Type": 7}]})",
       "mountPaths[0] (id 3): unknown field \"Type\" (did you mean \"type\"?)"},
      {R"({"mountPaths": [{"id": 3, "path": "/a", "note": "x"}]})",
       "mountPaths[0] (id 3): unknown field \"note\""},
      {"{\"mountPaths\": [{\"id\": 3, \"path\": \"/a\", \"\\n\\u00e9\": 1}]}",
       // (the log doubles the backslashes of the escapes)
       "mountPaths[0] (id 3): unknown field \"\\\\x0a\\\\xc3\\\\xa9\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Write(c.json);
    EXPECT_EQ(Failure(3),
              "Cannot look up mount path 3: " + m_file + ": " + c.reason);
  }
}

// A relative "path" is read from the registry file's folder, for a disk
// entry and a folder-store cloud entry; an S3 entry's "bucket/prefix" stays.
TEST_F(Registry, RelativePathsAreReadFromTheRegistrysFolder) {
  Write(R"({"mountPaths": [{"id": 1, "path": "lib/mp1"}, {"id": 2, "path": "/abs"},
      {"id": 3, "path": "objects", "type": 7},
      {"id": 4, "path": "bucket/pre", "type": 7, "endpoint": "http://127.0.0.1:1"}]})");
  const std::string folder = m_dir.path() + "/";
  const std::pair<int, std::string> expected[] = {
      {1, folder + "lib/mp1"}, {2, "/abs"}, {3, folder + "objects"}, {4, "bucket/pre"}};
  std::vector<tzhost::MountPathEntry> entries;
  std::string error;
  ASSERT_TRUE(tzhost::ReadRegistryText(tztest::ReadFile(m_file), m_file, entries, error)) << error;
  ASSERT_EQ(entries.size(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(entries[i].id, expected[i].first);
    EXPECT_EQ(entries[i].path, expected[i].second);
    EXPECT_EQ(Lookup(expected[i].first).root, expected[i].second);
  }
  // ReadRegistryText checks the whole file as a lookup does.
  EXPECT_FALSE(tzhost::ReadRegistryText(
      R"({"mountPaths": [{"id": 1, "path": "a"}, {"id": 2, "pth": "b"}]})", m_file, entries, error));
  EXPECT_EQ(error, m_file + ": mountPaths[1] (id 2): unknown field \"pth\" (did you mean "
                            "\"path\"?)");
}

TEST_F(Registry, PasswordNeverReachesTheLog) {
  const char* texts[] = {
      R"({"mountPaths": [{"id": 3, "path": "/a", "password": "Pa55-w0rd!",
          "type": "x"}]})",
      R"({"mountPaths": [{"id": 3, "path": "/a", "password": "Pa55-w0rd!",
          "passwordEnv": "V"}]})",
      R"({"mountPaths": [{"id": 3, "path": "/a", "password": "Pa55-w0rd!",
          "addressing": "Pa55-w0rd!"}]})",
      R"({"mountPaths": [{"id": 4, "path": "/a", "password": "Pa55-w0rd!"}]})",
      // The password where the name of its variable belongs.
      R"({"mountPaths": [{"id": 3, "path": "/a", "passwordEnv": "Pa55-w0rd!"}]})",
      // The parser's own message quotes the text it read last.
      R"({"mountPaths": [{"id": 3, "path": "/a", "password": "Pa55-w0rd!)",
      R"({"mountPaths": [{"id": 3, "path": "/a", "password": Pa55-w0rd!}]})",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    Write(text);
    EXPECT_NE(Failure(3), "");  // Failure checks that the log holds no password
  }
}

TEST_F(Registry, MissingOrUnreadableFile) {
  EXPECT_EQ(Failure(3),
            "Cannot look up mount path 3: " + m_file +
                ": cannot open: No such file or directory (errno 2)");
  tztest::MakeDirs(m_file);  // a folder in the file's place
  EXPECT_EQ(Failure(3),
            "Cannot look up mount path 3: " + m_file + ": not a regular file");
  unsetenv("TZRECON_CONFIG");
  EXPECT_EQ(Failure(3),
            "Cannot look up mount path 3: TZRECON_CONFIG is not set");

  // A file without read permission, read by a child process that holds no
  // privileges (root reads anything). The child logs to standard error,
  // which comes back with its output.
  const std::string file = m_dir / "locked.json";
  tztest::WriteFile(file, R"({"mountPaths": [{"id": 3, "path": "/srv"}]})");
  ASSERT_EQ(chmod(m_dir.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  setenv("TZRECON_CONFIG", file.c_str(), 1);
  const tztest::ChildRun child = tztest::RunUnprivileged([] {
    unsetenv("TZRECON_LOG");
    return Lookup(3).result;
  });
  EXPECT_EQ(child.exitCode, 0) << child.output;
  EXPECT_NE(child.output.find(file + ": cannot open: Permission denied"), std::string::npos)
      << child.output;
}

}  // namespace
