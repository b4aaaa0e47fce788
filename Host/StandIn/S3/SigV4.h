// AWS Signature Version 4 for the S3 store: canonical request, string to
// sign, signing key and the Authorization header, computed with OpenSSL.
#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace tzs3 {

using NameValues = std::vector<std::pair<std::string, std::string>>;

struct SigV4Credentials {
  std::string accessKeyId;
  std::string secretKey;
  std::string region;
  std::string service = "s3";
};

// One request as the signer sees it. Names and values are raw text; the
// signer encodes them.
struct SigV4Request {
  std::string method;   // "GET", "HEAD", ...
  std::string path;     // raw path, "/" first; every byte but "/" is encoded
  NameValues query;     // raw query parameters, in any order
  NameValues headers;   // every header to sign; names in any case
  std::string payloadHash;  // hex SHA-256 of the body, or "UNSIGNED-PAYLOAD"
};

struct SigV4Result {
  std::string canonicalRequest;
  std::string stringToSign;
  std::string signature;      // lower-case hex
  std::string authorization;  // the value of the Authorization header
};

// S3's URI encoding: every byte except A-Z a-z 0-9 - . _ ~ becomes %XY
// (upper-case hex); "/" is kept when `keepSlash` is set (object key paths).
std::string UriEncode(const std::string& text, bool keepSlash);

// The query in canonical form: names and values encoded, pairs sorted by
// name then value, joined with "&". Also valid as a URL query string.
std::string CanonicalQuery(const NameValues& query);

// Lower-case hex SHA-256 of `data`.
std::string Sha256Hex(const std::string& data);

// "YYYYMMDDTHHMMSSZ" for `when` in UTC.
std::string AmzDate(std::time_t when);

// Signs `request` at `amzDate` (the x-amz-date value, which the caller also
// sends). Returns false only when OpenSSL fails.
bool SignV4(const SigV4Request& request, const SigV4Credentials& credentials,
            const std::string& amzDate, SigV4Result& result);

}  // namespace tzs3
