#include "S3Xml.h"

#include <pugixml.hpp>

#include <cstring>

namespace tzs3 {
namespace {

// Whitespace-only text is kept when it is an element's only child: a key of
// blanks is still a key.
const unsigned kParseOptions = pugi::parse_default | pugi::parse_ws_pcdata_single;

bool LoadXml(const char* data, size_t size, pugi::xml_document& doc, std::string& error) {
  if (data == nullptr || size == 0) {
    error = "empty document";
    return false;
  }
  pugi::xml_parse_result parsed = doc.load_buffer(data, size, kParseOptions);
  if (!parsed) {
    error = std::string("malformed XML at byte ") + std::to_string(parsed.offset) + ": " +
            parsed.description();
    return false;
  }
  return true;
}

// Decodes %XY escapes and "+" (S3's "url" encoding type). False on a bad escape.
bool UrlDecode(const std::string& in, std::string& out) {
  out.clear();
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == '+') {
      out += ' ';
    } else if (in[i] != '%') {
      out += in[i];
    } else {
      if (i + 2 >= in.size()) return false;
      auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
      };
      int hi = hex(in[i + 1]), lo = hex(in[i + 2]);
      if (hi < 0 || lo < 0) return false;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  return true;
}

// A decimal size of at most 20 digits that fits 64 bits.
bool ParseSize(const char* text, uint64_t& value) {
  value = 0;
  if (*text == '\0') return false;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    unsigned digit = static_cast<unsigned>(*p - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

}  // namespace

bool ParseListObjectsV2(const char* data, size_t size, ListPage& out, std::string& error) {
  out = ListPage();
  pugi::xml_document doc;
  if (!LoadXml(data, size, doc, error)) return false;
  pugi::xml_node root = doc.document_element();
  if (std::strcmp(root.name(), "ListBucketResult") != 0) {
    error = std::string("expected ListBucketResult, found <") + root.name() + ">";
    return false;
  }

  const std::string truncated = root.child("IsTruncated").child_value();
  if (truncated == "true") {
    out.isTruncated = true;
  } else if (!truncated.empty() && truncated != "false") {
    error = "IsTruncated is neither true nor false: " + truncated;
    return false;
  }
  out.nextContinuationToken = root.child("NextContinuationToken").child_value();
  const bool urlEncoded = std::strcmp(root.child("EncodingType").child_value(), "url") == 0;

  // Copies a name, decoding it when the page is URL-encoded.
  auto name = [&](const char* text, std::string& to, const char* what) {
    if (!urlEncoded) {
      to = text;
      return true;
    }
    if (UrlDecode(text, to)) return true;
    error = std::string("bad URL encoding in ") + what + ": " + text;
    return false;
  };

  for (pugi::xml_node item : root.children("Contents")) {
    pugi::xml_node key = item.child("Key");
    if (!key) {
      error = "Contents without Key";
      return false;
    }
    ListedObject object;
    if (!name(key.child_value(), object.key, "Key")) return false;
    if (!ParseSize(item.child("Size").child_value(), object.size)) {
      error = "bad Size for key " + object.key + ": \"" + item.child("Size").child_value() + "\"";
      return false;
    }
    out.contents.push_back(std::move(object));
  }
  for (pugi::xml_node item : root.children("CommonPrefixes")) {
    pugi::xml_node prefix = item.child("Prefix");
    if (!prefix) {
      error = "CommonPrefixes without Prefix";
      return false;
    }
    std::string text;
    if (!name(prefix.child_value(), text, "Prefix")) return false;
    out.commonPrefixes.push_back(std::move(text));
  }
  return true;
}

bool ParseS3Error(const char* data, size_t size, std::string& code, std::string& message) {
  code.clear();
  message.clear();
  pugi::xml_document doc;
  std::string ignored;
  if (!LoadXml(data, size, doc, ignored)) return false;
  pugi::xml_node root = doc.document_element();
  if (std::strcmp(root.name(), "Error") != 0) return false;
  code = root.child("Code").child_value();
  message = root.child("Message").child_value();
  return true;
}

}  // namespace tzs3
