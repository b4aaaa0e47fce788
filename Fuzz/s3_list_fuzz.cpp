// The S3 store's listing parser: tzs3::ParseListObjectsV2 and
// tzs3::ParseS3Error.
//
// Input: a mode byte, then
//  - mode even: an arbitrary document for both parsers;
//  - mode odd: a ListBucketResult page built from the input: keys with
//    sizes, common prefixes, a truncation flag and a continuation token, the
//    names either XML-escaped text or URL-encoded bytes (EncodingType url).
// Checked: nothing crashes; a refused page comes with a reason, a refused
// error body leaves code and message empty; a built page reads back exactly
// as it was built, whatever bytes its names hold.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "S3Xml.h"

namespace {

std::string XmlText(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncoded(const std::string& bytes, bool lower) {
  static const char kUpper[] = "0123456789ABCDEF";
  static const char kLower[] = "0123456789abcdef";
  const char* hex = lower ? kLower : kUpper;
  std::string out;
  for (char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '-' ||
        u == '_' || u == '.' || u == '~' || u == '/') {
      out += c;
    } else {
      out += '%';
      out += hex[u >> 4];
      out += hex[u & 15];
    }
  }
  return out;
}

// A name as plain XML text carries it: printable ASCII, tab and line feed
// (a carriage return would be read back as a line feed).
std::string PlainName(std::string text) {
  for (char& c : text) {
    const unsigned char u = static_cast<unsigned char>(c) & 0x7f;
    c = u >= 0x20 && u < 0x7f ? static_cast<char>(u) : u == '\t' || u == '\n' ? u : 'x';
  }
  return text;
}

void BuiltPage(tzfuzz::Input& input) {
  const uint8_t flags = input.Byte();
  const bool url = flags & 1;
  const bool lowerHex = flags & 2;
  tzs3::ListPage built;
  const size_t keys = input.Byte() % 6, prefixes = input.Byte() % 4;
  for (size_t i = 0; i < keys; ++i) {
    tzs3::ListedObject object;
    object.key = url ? input.Text(64) : PlainName(input.Text(64));
    object.size = input.U64();
    built.contents.push_back(object);
  }
  for (size_t i = 0; i < prefixes; ++i)
    built.commonPrefixes.push_back(url ? input.Text(64) : PlainName(input.Text(64)));
  const uint8_t truncation = input.Byte() % 3;  // absent, false, true
  built.isTruncated = truncation == 2;
  if (built.isTruncated) {
    built.nextContinuationToken = PlainName(input.Text(64));
    for (char& c : built.nextContinuationToken)
      if (c == '\t' || c == '\n' || c == ' ') c = '_';  // a token is one word
    if (built.nextContinuationToken.empty()) built.nextContinuationToken = "t";
  }

  const auto name = [&](const std::string& n) { return url ? UrlEncoded(n, lowerHex) : XmlText(n); };
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<ListBucketResult xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\"><Name>b</Name>";
  if (url) xml += "<EncodingType>url</EncodingType>";
  for (const auto& o : built.contents)
    xml += "<Contents><Key>" + name(o.key) + "</Key><LastModified>2026-01-01T00:00:00.000Z"
           "</LastModified><Size>" + std::to_string(o.size) + "</Size></Contents>";
  for (const auto& p : built.commonPrefixes)
    xml += "<CommonPrefixes><Prefix>" + name(p) + "</Prefix></CommonPrefixes>";
  if (truncation > 0)
    xml += std::string("<IsTruncated>") + (built.isTruncated ? "true" : "false") + "</IsTruncated>";
  if (built.isTruncated)
    xml += "<NextContinuationToken>" + XmlText(built.nextContinuationToken) +
           "</NextContinuationToken>";
  xml += "</ListBucketResult>";

  tzs3::ListPage page;
  std::string error;
  FUZZ_CHECK(tzs3::ParseListObjectsV2(xml.data(), xml.size(), page, error));
  FUZZ_CHECK(page.contents.size() == built.contents.size());
  for (size_t i = 0; i < built.contents.size(); ++i) {
    FUZZ_CHECK(page.contents[i].key == built.contents[i].key);
    FUZZ_CHECK(page.contents[i].size == built.contents[i].size);
  }
  FUZZ_CHECK(page.commonPrefixes == built.commonPrefixes);
  FUZZ_CHECK(page.isTruncated == built.isTruncated);
  FUZZ_CHECK(page.nextContinuationToken == built.nextContinuationToken);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  tzfuzz::Input input(data, size);
  if (input.Byte() & 1) {
    BuiltPage(input);
    return 0;
  }
  const std::string document = input.Rest();
  tzs3::ListPage page;
  std::string error;
  if (!tzs3::ParseListObjectsV2(document.data(), document.size(), page, error))
    FUZZ_CHECK(!error.empty());
  std::string code = "unset", message = "unset";
  if (!tzs3::ParseS3Error(document.data(), document.size(), code, message))
    FUZZ_CHECK(code.empty() && message.empty());
  return 0;
}
