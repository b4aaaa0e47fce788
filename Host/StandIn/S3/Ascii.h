// Character classes of the S3 protocol: plain ASCII, whatever the process
// locale. <cctype> follows the locale, so under Latin-1 std::isalnum(0xE9)
// holds and a signer using it would leave "é" unencoded. Keys are compared
// as bytes too.
#pragma once

#include <string>

namespace tzs3 {

inline bool IsAsciiDigit(unsigned char c) { return c >= '0' && c <= '9'; }

inline bool IsAsciiAlnum(unsigned char c) {
  return IsAsciiDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

inline bool StartsWith(const std::string& text, const std::string& head) {
  return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace tzs3
