#include "S3Harness.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

extern char** environ;

namespace s3test {

const char kKey[] = "S3RVER";
const char kSecret[] = "S3RVER";

namespace {

int ReadPort(const std::string& file) {
  std::ifstream in(file);
  int port = 0;
  if (!(in >> port) || port <= 0 || port > 65535) return 0;
  return port;
}

size_t Collect(char* data, size_t, size_t size, void* user) {
  static_cast<std::string*>(user)->append(data, size);
  return size;
}

}  // namespace

int ServerPort() {
  const std::string state = TZ_S3_STATE_DIR;
  int port = tztest::Exists(state + "/ready") ? ReadPort(state + "/port") : 0;
  if (port == 0) {
    ADD_FAILURE() << "no S3 test server: start it with `ctest -L s3` (fixture s3server) or "
                  << TZ_SOURCE_DIR << "/Tests/S3/start_server.sh " << state;
  }
  return port;
}

std::string Endpoint(int port) { return "http://127.0.0.1:" + std::to_string(port); }

tzhost::MountPathEntry Entry(const std::string& endpoint, const std::string& root,
                             const std::string& user, const std::string& password) {
  tzhost::MountPathEntry entry;
  entry.id = 9;
  entry.type = 7;
  entry.path = root;
  entry.endpoint = endpoint;
  entry.user = user;
  entry.password = password;
  return entry;
}

NodeProcess::NodeProcess(const std::string& script, const std::vector<std::string>& args) {
  const std::string portFile = m_dir / "port";
  std::vector<std::string> argv = {TZ_NODE, std::string(TZ_SOURCE_DIR) + "/Tests/S3/server/" + script};
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(portFile);
  std::vector<char*> raw;
  for (std::string& a : argv) raw.push_back(a.data());
  raw.push_back(nullptr);
  if (posix_spawn(&m_pid, raw[0], nullptr, nullptr, raw.data(), environ) != 0) {
    m_pid = -1;
    ADD_FAILURE() << "cannot run " << TZ_NODE;
    return;
  }
  for (int i = 0; i < 200 && m_port == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    m_port = ReadPort(portFile);
  }
  if (m_port == 0) ADD_FAILURE() << script << " did not start";
}

NodeProcess::~NodeProcess() {
  if (m_pid > 0) {
    kill(m_pid, SIGTERM);
    waitpid(m_pid, nullptr, 0);
  }
}

FaultProxy::FaultProxy(int serverPort)
    : m_process("fault_proxy.js", {std::to_string(serverPort)}) {}

void FaultProxy::Configure(int after, int period, int fail, const std::string& modes,
                           const std::string& match, int delayMs) {
  char* escaped = curl_easy_escape(nullptr, match.data(), static_cast<int>(match.size()));
  std::string answer = HttpGet(Endpoint(port()) + "/__proxy/config?after=" +
                               std::to_string(after) + "&period=" + std::to_string(period) +
                               "&fail=" + std::to_string(fail) + "&modes=" + modes +
                               "&match=" + escaped + "&delay=" + std::to_string(delayMs));
  curl_free(escaped);
  ASSERT_FALSE(answer.empty()) << "the fault proxy did not answer";
}

namespace {

nlohmann::json Stats(int port) {
  auto stats = nlohmann::json::parse(HttpGet(Endpoint(port) + "/__proxy/stats"), nullptr, false);
  if (stats.is_discarded()) ADD_FAILURE() << "the fault proxy gave no statistics";
  return stats;
}

}  // namespace

int FaultProxy::Requests(const std::string& method) const {
  auto stats = Stats(port());
  if (stats.is_discarded()) return -1;
  if (method.empty()) return stats.value("requests", -1);
  return stats["methods"].value(method, 0);
}

int FaultProxy::Lists() const {
  auto stats = Stats(port());
  return stats.is_discarded() ? -1 : stats.value("lists", -1);
}

std::string HttpGet(const std::string& url) {
  std::string body;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
  if (curl_easy_perform(curl) != CURLE_OK) body.clear();
  curl_easy_cleanup(curl);
  return body;
}

std::shared_ptr<CloudStore> Open(const tzhost::MountPathEntry& entry, tzs3::S3Tuning tuning) {
  tuning.backoffBase = std::chrono::milliseconds(5);
  CJwError error;
  std::shared_ptr<CloudStore> store = tzs3::MakeS3StoreTuned(entry, tuning, error);
  EXPECT_TRUE(store) << error.AsString();
  return store;
}

std::string Read(CloudStore& store, const std::string& path, size_t length, CJwError* error) {
  std::string buffer(length, '\0');
  size_t got = 99999;
  CJwError e = store.ReadPrefix(path, buffer.data(), length, got);
  if (error != nullptr) *error = e;
  EXPECT_TRUE(error != nullptr || !e.IsError()) << e.AsString();
  EXPECT_LE(got, length);
  buffer.resize(std::min(got, length));
  return buffer;
}

int Put(int port, const std::string& path, const std::string& body) {
  return Run(std::string("curl -sS -f --aws-sigv4 aws:amz:us-east-1:s3 --user ") + kKey + ":" +
             kSecret + " -H 'x-amz-content-sha256: UNSIGNED-PAYLOAD' -X PUT --data-binary '" +
             body + "' " + Endpoint(port) + "/" + path + " >/dev/null");
}

int Run(const std::string& command, std::string* output) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
  int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string LabelBytes(size_t size) {
  std::string text;
  for (int i = 1; i <= 2000 && text.size() < size; ++i) text += std::to_string(i) + " ";
  text.resize(std::min(size, text.size()));
  return text;
}

}  // namespace s3test
