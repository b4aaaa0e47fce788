// The XML documents the S3 store reads: a ListObjectsV2 page and an error
// body. Parsing is kept apart from HTTP so that it can be fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tzs3 {

struct ListedObject {
  std::string key;
  uint64_t size = 0;
};

// One page of a ListObjectsV2 answer: full keys and full common prefixes, as
// the server sent them (URL-decoded when the page says EncodingType "url").
struct ListPage {
  std::vector<ListedObject> contents;
  std::vector<std::string> commonPrefixes;
  bool isTruncated = false;
  std::string nextContinuationToken;
};

// Parses a ListBucketResult document. On failure returns false and sets
// `error` to the reason; `out` is then unspecified. Never throws.
bool ParseListObjectsV2(const char* data, size_t size, ListPage& out, std::string& error);

// Reads Code and Message from an S3 <Error> document. Returns false (both
// left empty) when the body is not one.
bool ParseS3Error(const char* data, size_t size, std::string& code, std::string& message);

}  // namespace tzs3
