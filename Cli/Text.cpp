#include "Text.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace tzcli {

std::string JsonEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char escaped[8];
          snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += ch;
        }
    }
  }
  return out;
}

}  // namespace tzcli

namespace tzcli {

std::string EscapeControl(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace tzcli

namespace tzcli {

bool ReadSmallFile(const std::string& path, std::string& text, std::string& reason) {
  // Checked before opening: a FIFO in the file's place must not block.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    reason = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > (64 << 20)) {
    reason = S_ISREG(st.st_mode) ? "larger than 64 MiB" : "not a regular file";
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (in) text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.is_open() || in.bad()) {
    reason = std::string(in.is_open() ? "cannot read: " : "cannot open: ") +
             std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  return true;
}

}  // namespace tzcli
