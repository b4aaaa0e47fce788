// What the S3 store tests share: the fixture's s3rver, node helper processes
// (the fault proxy and the signature-checking fake), and small HTTP and
// shell helpers that do not go through the store under test.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "CloudStore.h"
#include "Registry.h"
#include "S3Store.h"
#include "TestSupport.h"

namespace s3test {

// The access key and secret that s3rver accepts.
extern const char kKey[];
extern const char kSecret[];

// The port of the s3rver that start_server.sh started for this build. Adds a
// test failure and returns 0 when it is not running: a missing server fails
// the tests, it never skips them.
int ServerPort();

std::string Endpoint(int port);

// A registry entry for an S3 mount path.
tzhost::MountPathEntry Entry(const std::string& endpoint, const std::string& root,
                             const std::string& user = kKey,
                             const std::string& password = kSecret);

// The store of `entry`, retrying quickly; adds a test failure when none is
// made.
std::shared_ptr<CloudStore> Open(const tzhost::MountPathEntry& entry,
                                 tzs3::S3Tuning tuning = tzs3::S3Tuning());

// ReadPrefix of `length` bytes of `path`, as text. A failure fails the test
// unless `error` is given to take it.
std::string Read(CloudStore& store, const std::string& path, size_t length,
                 CJwError* error = nullptr);

// Puts an object holding `body` (plain characters only) at "bucket/key"
// `path` of the server at `port`, with curl; returns curl's exit status.
int Put(int port, const std::string& path, const std::string& body);

// A node script from Tests/S3/server, run in the background until the object
// dies. The script writes its port into a file whose path is its argument
// after `args`.
class NodeProcess {
 public:
  NodeProcess(const std::string& script, const std::vector<std::string>& args);
  ~NodeProcess();
  NodeProcess(const NodeProcess&) = delete;
  NodeProcess& operator=(const NodeProcess&) = delete;
  int port() const { return m_port; }  // 0 when the script did not start

 private:
  tztest::TempDir m_dir;
  pid_t m_pid = -1;
  int m_port = 0;
};

// The fault proxy in front of the fixture's s3rver.
class FaultProxy {
 public:
  explicit FaultProxy(int serverPort);
  int port() const { return m_process.port(); }
  // Sets the fault pattern (see fault_proxy.js: faults only for requests
  // whose path and query hold `match`, when given; every request held
  // `delayMs`) and resets the counters.
  void Configure(int after, int period, int fail, const std::string& modes,
                 const std::string& match = "", int delayMs = 0);
  void Reset() { Configure(0, 1, 0, "500"); }
  // Requests since the last Configure: all, or those of one method.
  int Requests(const std::string& method = "") const;
  // Listing pages since the last Configure.
  int Lists() const;

 private:
  NodeProcess m_process;
};

// GET of a URL with plain libcurl; the body, or "" on any failure.
std::string HttpGet(const std::string& url);

// Runs a shell command; returns its exit status and sets `output` to its
// standard output.
int Run(const std::string& command, std::string* output = nullptr);

// The label bytes start_server.sh writes: "1 2 3 ... 2000 " cut to `size`
// (at most 8893 bytes).
std::string LabelBytes(size_t size);

}  // namespace s3test
