#include "DumpRecord.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "Interrupted.h"
#include "Text.h"

namespace tzcli {

namespace {

using nlohmann::json;

std::string Hex(const unsigned char* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[data[i] >> 4];
    text += kDigits[data[i] & 15];
  }
  return text;
}

// The size field of a row read backwards from its line end (`end`, the
// '\n'): "<size>, <flag>" then an optional '\r'. False when the line does
// not end so.
bool SizeBeforeLineEnd(const char* begin, const char* end, uint64_t* size) {
  const char* p = end;
  if (p > begin && p[-1] == '\r') --p;
  if (p - begin < 5 || (p[-1] != '0' && p[-1] != '1') || p[-2] != ' ' || p[-3] != ',') return false;
  const char* const digitsEnd = p - 3;
  p = digitsEnd;
  while (p > begin && static_cast<unsigned>(p[-1] - '0') < 10u) --p;
  if (p == digitsEnd || p == begin || p[-1] != ' ') return false;
  const auto [last, ec] = std::from_chars(p, digitsEnd, *size);
  return ec == std::errc() && last == digitsEnd;
}

// Sums the size fields of the rows, fed one buffer after another.
class SizeSum {
 public:
  // Takes the line ends of [begin, end); `line` counts the lines before it.
  // Returns the lines counted after it.
  uint64_t Take(const char* begin, const char* end, uint64_t line, FileDigest& digest) {
    const char* lineStart = begin;
    const auto next = [end](const char* p) {
      return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    };
    for (const char* nl = next(begin); nl != nullptr; lineStart = nl + 1, nl = next(nl + 1), ++line) {
      if (line == 0) continue;  // the header
      uint64_t size = 0;
      bool ok;
      if (lineStart == begin && static_cast<size_t>(nl - begin) < kKept) {
        // The line began in the buffer before: its last bytes are kept.
        char joined[2 * kKept];
        const size_t head = m_tail.size(), rest = static_cast<size_t>(nl - begin);
        std::memcpy(joined, m_tail.data(), head);
        std::memcpy(joined + head, begin, rest);
        ok = SizeBeforeLineEnd(joined, joined + head + rest, &size);
      } else {
        ok = SizeBeforeLineEnd(lineStart, nl, &size);
      }
      if (!ok) digest.chunkBytesKnown = false;
      const uint64_t sum = digest.chunkBytes;
      digest.chunkBytes = sum > UINT64_MAX - size ? UINT64_MAX : sum + size;  // stops, never wraps
    }
    // The last bytes of a line that goes on in the next buffer.
    const size_t open = static_cast<size_t>(end - lineStart);
    if (lineStart != begin) m_tail.clear();
    m_tail.append(lineStart, open);
    if (m_tail.size() > kKept) m_tail.erase(0, m_tail.size() - kKept);
    return line;
  }

 private:
  static constexpr size_t kKept = 48;  // more than the flag, the size and their separators
  std::string m_tail;
};

// Reads `fd` to its end into the digest and the counts.
bool Consume(int fd, EVP_MD_CTX* context, FileDigest& digest) {
  std::vector<char> buffer(1 << 20);
  uint64_t lines = 0;
  SizeSum sizes;
  for (;;) {
    const ssize_t n =
        tzhost::RetryInterrupted([&] { return read(fd, buffer.data(), buffer.size()); });
    if (n < 0) {
      digest.error = std::string("cannot read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) break;
    const char* const end = buffer.data() + n;
    lines = sizes.Take(buffer.data(), end, lines, digest);
    digest.bytes += static_cast<uint64_t>(n);
    if (EVP_DigestUpdate(context, buffer.data(), static_cast<size_t>(n)) != 1) {
      digest.error = "SHA-256 failed";
      return false;
    }
  }
  digest.rows = lines > 0 ? lines - 1 : 0;  // the first line is the header
  return true;
}

std::string Iso8601(time_t t) {
  struct tm utc;
  char text[32];
  if (gmtime_r(&t, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
    return "";
  return text;
}

// Publishes `temp` at `path` unless something is there already.
bool PublishWithoutReplacing(const std::string& temp, const std::string& path) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without RENAME_NOREPLACE: a link fails as well on a name
  // that is taken.
  if (link(temp.c_str(), path.c_str()) != 0) return false;
  unlink(temp.c_str());
  return true;
}

bool WriteText(int fd, const std::string& text) {
  return tzhost::WriteAll(fd, text.data(), text.size());
}

void SyncFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // the rename reaches the disk; its failure loses no data now
  close(fd);
}

// What a record says against what the file holds; "" when they agree.
std::string Disagreement(const json& record, const FileDigest& digest) {
  const auto number = [&](const char* name, uint64_t* value) {
    const auto it = record.find(name);
    if (it == record.end() || !it->is_number_unsigned()) return false;
    *value = it->get<uint64_t>();
    return true;
  };
  uint64_t rows = 0, bytes = 0;
  const auto sha = record.find("sha256");
  if (!number("rows", &rows) || !number("bytes", &bytes) || sha == record.end() || !sha->is_string())
    return "the record lacks the file's rows, bytes or SHA-256";
  if (rows != digest.rows)
    return "the file has " + std::to_string(digest.rows) + " rows, its record says " +
           std::to_string(rows);
  if (bytes != digest.bytes)
    return "the file has " + std::to_string(digest.bytes) + " bytes, its record says " +
           std::to_string(bytes);
  if (sha->get<std::string>() != digest.sha256) return "the file's SHA-256 is not its record's";
  return "";
}

}  // namespace

FileDigest DigestFile(const std::string& path) {
  FileDigest digest;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    digest.error = std::string("cannot open: ") + std::strerror(errno);
    return digest;
  }
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    digest.error = "SHA-256 is not available";
  } else if (Consume(fd, context.get(), digest)) {
    if (EVP_DigestFinal_ex(context.get(), hash, &length) == 1) {
      digest.sha256 = Hex(hash, length);
      digest.ok = true;
    } else {
      digest.error = "SHA-256 failed";
    }
  }
  close(fd);
  return digest;
}

std::string RecordPath(const std::string& dumpFile) { return dumpFile + ".json"; }

json RecordJson(const DumpOutcome& outcome, const FileDigest& digest, time_t started, time_t ended) {
  json record = ToJson(outcome);
  record["sha256"] = digest.ok ? json(digest.sha256) : json(nullptr);
  record["started"] = Iso8601(started);
  record["startedUnix"] = static_cast<int64_t>(started);
  record["ended"] = Iso8601(ended);
  record["endedUnix"] = static_cast<int64_t>(ended);
  record["tzreconVersion"] = TZRECON_VERSION;
  // The process that ran the dump: the second field of its lines in the log.
  record["pid"] = static_cast<int64_t>(getpid());
  return record;
}

bool WriteRecord(const std::string& dumpFile, const json& record, std::string* error) {
  const std::string path = RecordPath(dumpFile);
  std::string temp = path + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && WriteText(fd, JsonText(record) + "\n") && fsync(fd) == 0;
  int err = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    err = errno;
    ok = false;
  }
  if (ok && !PublishWithoutReplacing(temp, path)) {
    err = errno;
    ok = false;
  }
  if (!ok) {
    unlink(temp.c_str());
    *error = "cannot write " + path + ": " + std::strerror(err);
    return false;
  }
  SyncFolderOf(path);
  return true;
}

Completeness ReadRecord(const std::string& dumpFile, json* record) {
  Completeness c;
  if (dumpFile == "-") {
    c.state = "unknown";
    c.reason = "standard input has no record";
    return c;
  }
  const std::string path = RecordPath(dumpFile);
  struct stat st;
  if (stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    c.state = "unknown";
    c.reason = "no record " + path;
    return c;
  }
  c.record = true;
  std::string text, reason;
  if (!ReadSmallFile(path, text, reason)) {
    c.state = "disagrees";
    c.reason = "its record " + path + " cannot be read: " + reason;
    return c;
  }
  *record = json::parse(text, nullptr, false);
  const auto ok = record->is_object() ? record->find("ok") : record->end();
  if (!record->is_object() || ok == record->end() || !ok->is_boolean()) {
    c.state = "disagrees";
    c.reason = "its record " + path + " is not a dump record";
  } else if (!ok->get<bool>()) {
    c.state = "failed";
    c.reason = "its record " + path + " says the dump failed";
  }
  return c;
}

Completeness CheckCompleteness(const std::string& dumpFile) {
  json record;
  Completeness c = ReadRecord(dumpFile, &record);
  if (!c.state.empty()) return c;
  const FileDigest digest = DigestFile(dumpFile);
  const std::string disagreement =
      digest.ok ? Disagreement(record, digest) : "the file cannot be read: " + digest.error;
  c.state = disagreement.empty() ? "complete" : "disagrees";
  if (!disagreement.empty()) c.reason = disagreement + " (" + RecordPath(dumpFile) + ")";
  return c;
}

}  // namespace tzcli
