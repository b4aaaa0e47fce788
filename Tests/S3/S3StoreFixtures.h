// The fixtures of the S3 store's tests against s3rver: the store straight
// on the server, and through the fault proxy.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "S3Harness.h"
#include "S3Store.h"

namespace s3test {

using tzs3::S3Tuning;

inline constexpr char kRoot[] = "tz-store/lib/one";

inline std::set<std::string> AsSet(const std::vector<std::string>& names) {
  return std::set<std::string>(names.begin(), names.end());
}

class S3Store : public ::testing::Test {
 protected:
  void SetUp() override {
    m_port = s3test::ServerPort();
    ASSERT_NE(m_port, 0);
    m_store = Open(Entry(Endpoint(m_port), kRoot));
    ASSERT_TRUE(m_store);
  }
  std::string Path(const std::string& relative) const { return std::string(kRoot) + "/" + relative; }

  int m_port = 0;
  std::shared_ptr<CloudStore> m_store;
};

// Faults between the store and s3rver.
class S3StoreFaults : public S3Store {
 protected:
  void SetUp() override {
    S3Store::SetUp();
    m_proxy = std::make_unique<FaultProxy>(m_port);
    ASSERT_NE(m_proxy->port(), 0);
    m_store = Open(Entry(Endpoint(m_proxy->port()), kRoot));
  }
  std::unique_ptr<FaultProxy> m_proxy;
};

// The calls of the cloud walk over `root`, in its order, and their answers
// as text: volumes listed; per volume the marker, the label (unless the
// marker is set and `skipMarked`), its listing: every listed file's size,
// then its folders.
std::string Walk(CloudStore& store, bool skipMarked = false, const std::string& root = kRoot);

}  // namespace s3test
