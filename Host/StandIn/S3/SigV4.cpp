#include "SigV4.h"

#include <openssl/evp.h>

#include <algorithm>

#include "Ascii.h"

namespace tzs3 {
namespace {

const char kHex[] = "0123456789abcdef";
const char kUpperHex[] = "0123456789ABCDEF";

std::string ToHex(const unsigned char* data, size_t size) {
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    out += kHex[data[i] >> 4];
    out += kHex[data[i] & 15];
  }
  return out;
}

// HMAC-SHA256 of `data` keyed with `key`; false when OpenSSL fails.
bool HmacSha256(const std::string& key, const std::string& data, std::string& mac) {
  unsigned char out[EVP_MAX_MD_SIZE];
  size_t size = 0;
  if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(),
                reinterpret_cast<const unsigned char*>(data.data()), data.size(), out,
                sizeof out, &size) == nullptr) {
    return false;
  }
  mac.assign(reinterpret_cast<const char*>(out), size);
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

// Header values are signed with outer blanks removed and inner runs of
// blanks collapsed to one space.
std::string TrimHeaderValue(const std::string& value) {
  std::string out;
  bool blank = false;
  for (char c : value) {
    if (c == ' ' || c == '\t') {
      blank = true;
      continue;
    }
    if (blank && !out.empty()) out += ' ';
    blank = false;
    out += c;
  }
  return out;
}

}  // namespace

std::string UriEncode(const std::string& text, bool keepSlash) {
  std::string out;
  out.reserve(text.size() * 3);
  for (unsigned char c : text) {
    if (IsAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
        (c == '/' && keepSlash)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kUpperHex[c >> 4];
      out += kUpperHex[c & 15];
    }
  }
  return out;
}

std::string CanonicalQuery(const NameValues& query) {
  NameValues encoded;
  for (const auto& [name, value] : query) {
    encoded.emplace_back(UriEncode(name, false), UriEncode(value, false));
  }
  std::sort(encoded.begin(), encoded.end());
  std::string out;
  for (const auto& [name, value] : encoded) {
    if (!out.empty()) out += '&';
    out += name + "=" + value;
  }
  return out;
}

std::string Sha256Hex(const std::string& data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), md, &size, EVP_sha256(), nullptr) != 1) return "";
  return ToHex(md, size);
}

std::string AmzDate(std::time_t when) {
  struct tm utc;
  gmtime_r(&when, &utc);
  char text[32];
  strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
  return text;
}

bool SignV4(const SigV4Request& request, const SigV4Credentials& credentials,
            const std::string& amzDate, SigV4Result& result) {
  // Canonical headers: lower-case names, sorted; repeated names joined by ",".
  NameValues headers;
  for (const auto& [name, value] : request.headers) {
    headers.emplace_back(Lower(name), TrimHeaderValue(value));
  }
  std::stable_sort(headers.begin(), headers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string canonicalHeaders, signedHeaders;
  for (size_t i = 0; i < headers.size(); ++i) {
    if (i > 0 && headers[i].first == headers[i - 1].first) {
      canonicalHeaders.back() = ',';  // replaces the line feed of the previous value
      canonicalHeaders += headers[i].second + "\n";
      continue;
    }
    canonicalHeaders += headers[i].first + ":" + headers[i].second + "\n";
    if (!signedHeaders.empty()) signedHeaders += ';';
    signedHeaders += headers[i].first;
  }

  result.canonicalRequest = request.method + "\n" + UriEncode(request.path, true) + "\n" +
                            CanonicalQuery(request.query) + "\n" + canonicalHeaders + "\n" +
                            signedHeaders + "\n" + request.payloadHash;

  const std::string date = amzDate.substr(0, 8);
  const std::string scope =
      date + "/" + credentials.region + "/" + credentials.service + "/aws4_request";
  const std::string requestHash = Sha256Hex(result.canonicalRequest);
  if (requestHash.empty()) return false;
  result.stringToSign = "AWS4-HMAC-SHA256\n" + amzDate + "\n" + scope + "\n" + requestHash;

  std::string key;
  if (!HmacSha256("AWS4" + credentials.secretKey, date, key) ||
      !HmacSha256(key, credentials.region, key) ||
      !HmacSha256(key, credentials.service, key) ||
      !HmacSha256(key, "aws4_request", key) ||
      !HmacSha256(key, result.stringToSign, key)) {
    return false;
  }
  result.signature =
      ToHex(reinterpret_cast<const unsigned char*>(key.data()), key.size());
  result.authorization = "AWS4-HMAC-SHA256 Credential=" + credentials.accessKeyId + "/" +
                         scope + ", SignedHeaders=" + signedHeaders +
                         ", Signature=" + result.signature;
  return true;
}

}  // namespace tzs3
