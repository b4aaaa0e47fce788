// The listing parser and the mapping from registry entries and component
// paths to buckets and keys: no server needed.
#include <gtest/gtest.h>

#include "S3Store.h"
#include "S3Xml.h"

namespace tzs3 {
namespace {

bool Parse(const std::string& xml, ListPage& page, std::string& error) {
  return ParseListObjectsV2(xml.data(), xml.size(), page, error);
}

std::string Doc(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ListBucketResult "
         "xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name>" + body +
         "</ListBucketResult>";
}

TEST(ListObjectsV2Parser, ReadsKeysSizesPrefixesAndToken) {
  ListPage page;
  std::string error;
  ASSERT_TRUE(Parse(Doc("<Prefix>p/</Prefix><KeyCount>3</KeyCount>"
                        "<Contents><Key>p/a&amp;b</Key><Size>18446744073709551615</Size></Contents>"
                        "<Contents><Key> </Key><Size>0</Size></Contents>"
                        "<Contents><Key>p/\xc3\xa9 +%</Key><Size>7</Size></Contents>"
                        "<CommonPrefixes><Prefix>p/V_1/</Prefix></CommonPrefixes>"
                        "<IsTruncated>true</IsTruncated>"
                        "<NextContinuationToken>1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/wm36Hy4vbOwM=</NextContinuationToken>"),
                    page, error))
      << error;
  ASSERT_EQ(page.contents.size(), 3u);
  EXPECT_EQ(page.contents[0].key, "p/a&b");
  EXPECT_EQ(page.contents[0].size, UINT64_MAX);
  EXPECT_EQ(page.contents[1].key, " ");
  EXPECT_EQ(page.contents[2].key, "p/\xc3\xa9 +%");
  EXPECT_EQ(page.contents[2].size, 7u);
  EXPECT_EQ(page.commonPrefixes, std::vector<std::string>{"p/V_1/"});
  EXPECT_TRUE(page.isTruncated);
  EXPECT_EQ(page.nextContinuationToken, "1ueGcxLPRx1Tr/XYExHnhbYLgveDs2J/wm36Hy4vbOwM=");
}

TEST(ListObjectsV2Parser, EmptyLastPageAndUrlEncodedNames) {
  ListPage page;
  std::string error;
  ASSERT_TRUE(Parse(Doc("<IsTruncated>false</IsTruncated>"), page, error)) << error;
  EXPECT_TRUE(page.contents.empty());
  EXPECT_FALSE(page.isTruncated);

  ASSERT_TRUE(Parse(Doc("<EncodingType>url</EncodingType>"
                        "<Contents><Key>a%20b+c%2B%C3%A9</Key><Size>1</Size></Contents>"
                        "<CommonPrefixes><Prefix>d%2F+/</Prefix></CommonPrefixes>"),
                    page, error))
      << error;
  EXPECT_EQ(page.contents.at(0).key, "a b c+\xc3\xa9");
  EXPECT_EQ(page.commonPrefixes.at(0), "d/ /");
}

TEST(ListObjectsV2Parser, RejectsBadDocuments) {
  const std::pair<std::string, const char*> bad[] = {
      {"", "empty document"},
      {"not xml at all <", "malformed XML"},
      {"<ListBucketResult><Contents><Key>a</Key>", "malformed XML"},
      {"<Error><Code>AccessDenied</Code></Error>", "expected ListBucketResult"},
      {Doc("<Contents><Size>1</Size></Contents>"), "Contents without Key"},
      {Doc("<Contents><Key>a</Key></Contents>"), "bad Size"},
      {Doc("<Contents><Key>a</Key><Size>-1</Size></Contents>"), "bad Size"},
      {Doc("<Contents><Key>a</Key><Size>12x</Size></Contents>"), "bad Size"},
      {Doc("<Contents><Key>a</Key><Size>18446744073709551616</Size></Contents>"), "bad Size"},
      {Doc("<CommonPrefixes></CommonPrefixes>"), "CommonPrefixes without Prefix"},
      {Doc("<IsTruncated>maybe</IsTruncated>"), "IsTruncated"},
      {Doc("<EncodingType>url</EncodingType><Contents><Key>a%G1</Key><Size>1</Size></Contents>"),
       "bad URL encoding"},
      {Doc("<EncodingType>url</EncodingType><Contents><Key>a%4</Key><Size>1</Size></Contents>"),
       "bad URL encoding"},
  };
  for (const auto& [xml, reason] : bad) {
    ListPage page;
    std::string error;
    EXPECT_FALSE(Parse(xml, page, error)) << xml;
    EXPECT_NE(error.find(reason), std::string::npos) << xml << " gave: " << error;
  }
  ListPage page;
  std::string error;
  EXPECT_FALSE(ParseListObjectsV2(nullptr, 0, page, error));
}

TEST(S3ErrorParser, ReadsCodeAndMessage) {
  const std::string xml =
      "<?xml version=\"1.0\"?><Error><Code>NoSuchKey</Code><Message>The key &lt;x&gt;"
      "</Message><Key>x</Key></Error>";
  std::string code, message;
  ASSERT_TRUE(ParseS3Error(xml.data(), xml.size(), code, message));
  EXPECT_EQ(code, "NoSuchKey");
  EXPECT_EQ(message, "The key <x>");
  EXPECT_FALSE(ParseS3Error("<html>busy</html>", 17, code, message));
  EXPECT_EQ(code, "");
  EXPECT_FALSE(ParseS3Error("", 0, code, message));
}

tzhost::MountPathEntry Entry(const std::string& endpoint, const std::string& path,
                             const std::string& addressing = "path") {
  tzhost::MountPathEntry entry;
  entry.endpoint = endpoint;
  entry.path = path;
  entry.addressing = addressing;
  return entry;
}

TEST(S3Location, ParsesEndpointRootAndAddressing) {
  S3Location location;
  std::string error;
  ASSERT_TRUE(ParseS3Location(Entry("https://s3.eu-west-1.amazonaws.com/", "/bkt/a/b/"),
                              location, error))
      << error;
  EXPECT_TRUE(location.https);
  EXPECT_EQ(location.host, "s3.eu-west-1.amazonaws.com");
  EXPECT_EQ(location.bucket, "bkt");
  EXPECT_EQ(location.prefix, "a/b");
  EXPECT_EQ(location.root, "bkt/a/b");
  EXPECT_FALSE(location.virtualHost);

  ASSERT_TRUE(ParseS3Location(Entry("HTTP://127.0.0.1:4568", "bkt", "virtual"), location, error));
  EXPECT_FALSE(location.https);
  EXPECT_EQ(location.host, "127.0.0.1:4568");
  EXPECT_EQ(location.prefix, "");
  EXPECT_TRUE(location.virtualHost);
}

TEST(S3Location, RejectsBadEntries) {
  const tzhost::MountPathEntry bad[] = {
      Entry("ftp://host", "b"),           Entry("127.0.0.1:4568", "b"),
      Entry("http://", "b"),              Entry("http://host/base", "b"),
      Entry("http://user@host", "b"),     Entry("http://host", ""),
      Entry("http://host", "/"),          Entry("http://host", "bad bucket/x"),
      Entry("http://host", "b", "vhost"),
  };
  for (const auto& entry : bad) {
    S3Location location;
    std::string error;
    EXPECT_FALSE(ParseS3Location(entry, location, error))
        << entry.endpoint << " " << entry.path << " " << entry.addressing;
    EXPECT_FALSE(error.empty());
  }
}

TEST(S3Location, PathsMapToKeysUnderThePrefix) {
  S3Location deep, flat;
  std::string error;
  ASSERT_TRUE(ParseS3Location(Entry("http://h", "b/p/q"), deep, error));
  ASSERT_TRUE(ParseS3Location(Entry("http://h", "b"), flat, error));
  const struct {
    const S3Location& location;
    const char* path;
    const char* key;  // null: outside the root
  } cases[] = {
      {deep, "b/p/q", "p/q"},
      {deep, "b/p/q/", "p/q"},
      {deep, "/b/p/q/V_12/", "p/q/V_12"},
      {deep, "b/p/q/V_12/CHUNK_5", "p/q/V_12/CHUNK_5"},
      {deep, "b/p/q/V 1/a+b%", "p/q/V 1/a+b%"},
      {deep, "b/p/qx/V_1", nullptr},
      {deep, "b/p", nullptr},
      {deep, "c/p/q/V_1", nullptr},
      {flat, "b", ""},
      {flat, "b/", ""},
      {flat, "b/V_1/MEDIA_LABEL", "V_1/MEDIA_LABEL"},
      {flat, "bb/V_1", nullptr},
  };
  for (const auto& c : cases) {
    std::string key = "unset";
    bool mapped = PathToKey(c.location, c.path, key);
    EXPECT_EQ(mapped, c.key != nullptr) << c.path;
    if (c.key != nullptr) {
      EXPECT_EQ(key, c.key) << c.path;
    }
  }
}

}  // namespace
}  // namespace tzs3
