#include "PageInputs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "DiffOutput.h"
#include "DumpFormat.h"
#include "Interrupted.h"
#include "Text.h"

namespace tzcli::page {

namespace {

// Reads are this large; no line of a dump, a difference file or a log line
// worth reading is longer.
constexpr size_t kBufferSize = 4u << 20;
constexpr size_t kShownLine = 120;

template <typename T>
bool Number(std::string_view text, T* value) {
  const char* first = text.data();
  const char* last = first + text.size();
  const auto r = std::from_chars(first, last, *value);
  return !text.empty() && r.ptr == last && r.ec == std::errc();
}

// Splits `line` at each ',' into at most `most` fields; the count found.
size_t Split(std::string_view line, std::string_view* fields, size_t most) {
  size_t count = 0, start = 0;
  for (;;) {
    const size_t comma = line.find(',', start);
    if (count < most) fields[count] = line.substr(start, comma == std::string_view::npos ? comma : comma - start);
    ++count;
    if (comma == std::string_view::npos) return count;
    start = comma + 1;
  }
}

bool Flag(std::string_view text, int* flag) {
  if (text != "0" && text != "1") return false;
  *flag = text[0] - '0';
  return true;
}

// Reads `path`, whose first line must be `header`, handing each further
// line to `onLine` (false from it stops with its reason).
bool ReadRows(const std::string& path, std::string_view header,
              const std::function<bool(std::string_view, std::string*)>& onLine,
              std::string* error) {
  LineReader reader;
  if (!reader.Open(path, error)) {
    *error = "'" + path + "': " + *error;
    return false;
  }
  std::string_view line;
  const auto where = [&] { return "'" + path + "' line " + std::to_string(reader.line()); };
  if (!reader.Next(&line)) {
    *error = "'" + path + "': " + (reader.error().empty() ? "the file is empty" : reader.error());
    return false;
  }
  if (line != header) {
    *error = where() + ": the first line is not the header '" + std::string(header) + "': '" +
             Shown(line) + "'";
    return false;
  }
  std::string reason;
  while (reader.Next(&line)) {
    if (!onLine(line, &reason)) {
      *error = where() + ": " + reason + ": '" + Shown(line) + "'";
      return false;
    }
  }
  if (!reader.error().empty()) {
    *error = "'" + path + "' line " + std::to_string(reader.line() + 1) + ": " + reader.error();
    return false;
  }
  return true;
}

}  // namespace

LineReader::LineReader() : m_buffer(new char[kBufferSize]) {}

LineReader::~LineReader() {
  if (m_fd >= 0) close(m_fd);
}

bool LineReader::Open(const std::string& path, std::string* error) {
  m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (m_fd < 0) {
    *error = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(m_fd, &st) != 0) {
    *error = std::string("cannot examine: ") + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "is a folder";
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    // A FIFO or a device never stalls the page: only files are read.
    *error = "not a regular file";
    return false;
  }
  posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only
  return true;
}

bool LineReader::Fill() {
  if (m_begin > 0) {
    std::memmove(m_buffer.get(), m_buffer.get() + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
  }
  if (m_end == kBufferSize) {
    m_error = "a line longer than " + std::to_string(kBufferSize) + " bytes";
    return false;
  }
  const ssize_t n = tzhost::RetryInterrupted(
      [&] { return read(m_fd, m_buffer.get() + m_end, kBufferSize - m_end); });
  if (n < 0) {
    m_error = std::string("cannot read: ") + std::strerror(errno);
    return false;
  }
  if (n == 0) m_eof = true;
  m_end += static_cast<size_t>(n);
  return true;
}

bool LineReader::Next(std::string_view* line) {
  if (m_fd < 0 || !m_error.empty()) return false;
  for (;;) {
    const char* begin = m_buffer.get() + m_begin;
    const char* nl = static_cast<const char*>(std::memchr(begin, '\n', m_end - m_begin));
    if (nl != nullptr) {
      const char* end = nl > begin && nl[-1] == '\r' ? nl - 1 : nl;
      *line = std::string_view(begin, static_cast<size_t>(end - begin));
      m_begin = static_cast<size_t>(nl + 1 - m_buffer.get());
      ++m_line;
      return true;
    }
    if (m_eof) {
      if (m_begin == m_end) return false;
      if (!m_lastLineMayBeOpen) {
        m_error = "the last line has no line end (a file cut short?)";
        return false;
      }
      const char* end = m_buffer.get() + m_end;
      if (end[-1] == '\r') --end;
      *line = std::string_view(begin, static_cast<size_t>(end - begin));
      m_begin = m_end;
      ++m_line;
      return true;
    }
    if (!Fill()) return false;
  }
}

std::string Shown(std::string_view text) {
  const bool clipped = text.size() > kShownLine;
  return EscapeControl(std::string(text.substr(0, kShownLine))) + (clipped ? "..." : "");
}

std::string_view DiffHeaderText() {
  std::string_view header(kDiffOutputHeader);
  return header.substr(0, header.size() - 1);  // without its LF
}

bool Classify(const std::string& path, InputType* type, std::string* error) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    *type = InputType::kFolder;
    return true;
  }
  LineReader reader;
  reader.SetLastLineMayBeOpen(true);
  std::string_view line;
  if (!reader.Open(path, error)) return false;
  if (!reader.Next(&line)) {
    *error = reader.error().empty() ? "the file is empty" : reader.error();
    return false;
  }
  if (line == tzrecon::kDumpHeaderText) {
    *type = InputType::kDump;
    return true;
  }
  if (line == DiffHeaderText()) {
    *type = InputType::kDiff;
    return true;
  }
  *error = "its first line is neither a dump's header nor a difference file's: '" + Shown(line) +
           "'" + (line.substr(0, 1) == "{" ? " (a record goes beside its dump: give the dump)" : "");
  return false;
}

bool ParseDumpRow(std::string_view line, DumpRow* row, std::string* reason) {
  std::string_view f[5];
  const size_t count = Split(line, f, 5);
  if (count != 5) {
    *reason = std::to_string(count) + (count == 1 ? " field" : " fields") +
              " where a row has 5 (separated by ', ')";
    return false;
  }
  for (size_t i = 1; i < 5; ++i) {
    if (f[i].empty() || f[i][0] != ' ') {
      *reason = "field " + std::to_string(i + 1) + " (" + tzrecon::kDumpFieldNames[i] +
                ") does not follow ', '";
      return false;
    }
    f[i].remove_prefix(1);
  }
  int32_t* ids[3] = {&row->mountPathId, &row->volumeId, &row->chunkId};
  for (size_t i = 0; i < 3; ++i)
    if (!Number(f[i], ids[i])) {
      *reason = "field " + std::to_string(i + 1) + " (" + tzrecon::kDumpFieldNames[i] +
                ") is not a decimal integer of 32 bits";
      return false;
    }
  if (!Number(f[3], &row->size)) {
    *reason = "field 4 (Chunk-Size) is not an unsigned decimal integer of 64 bits";
    return false;
  }
  if (!Flag(f[4], &row->flag)) {
    *reason = "field 5 (SIVolume) is neither 0 nor 1";
    return false;
  }
  return true;
}

bool ReadDump(const std::string& path, const std::function<void(const DumpRow&)>& onRow,
              std::string* error) {
  DumpRow row;
  return ReadRows(
      path, tzrecon::kDumpHeaderText,
      [&](std::string_view line, std::string* reason) {
        if (!ParseDumpRow(line, &row, reason)) return false;
        onRow(row);
        return true;
      },
      error);
}

const char* DiffKindName(int kind) {
  static const char* const kNames[kDiffKinds] = {"missing", "new", "changed", "duplicate"};
  return kind >= 0 && kind < kDiffKinds ? kNames[kind] : "?";
}

bool ParseDiffRow(std::string_view line, DiffRow* row, std::string* reason) {
  std::string_view f[7];
  const size_t count = Split(line, f, 7);
  if (count != 7) {
    *reason = std::to_string(count) + (count == 1 ? " field" : " fields") + " where a row has 7";
    return false;
  }
  int kind = 0;
  while (kind < kDiffKinds && f[0] != DiffKindName(kind)) ++kind;
  if (kind == kDiffKinds) {
    *reason = "the change is not missing, new, changed or duplicate";
    return false;
  }
  row->kind = static_cast<DiffKind>(kind);
  if (!Number(f[1], &row->volumeId) || !Number(f[2], &row->chunkId)) {
    *reason = "the volume id or chunk id is not a decimal integer of 32 bits";
    return false;
  }
  row->hasOld = !f[3].empty();
  row->hasNew = !f[4].empty();
  if ((row->hasOld && !Number(f[3], &row->oldSize)) || (row->hasNew && !Number(f[4], &row->newSize)) ||
      f[5].empty() != !row->hasOld || f[6].empty() != !row->hasNew ||
      (row->hasOld && !Flag(f[5], &row->oldFlag)) || (row->hasNew && !Flag(f[6], &row->newFlag))) {
    *reason = "a size is not an unsigned integer, a flag is not 0 or 1, or a side is half given";
    return false;
  }
  const bool sidesAgree = row->kind == kMissing   ? row->hasOld && !row->hasNew
                          : row->kind == kNew     ? !row->hasOld && row->hasNew
                          : row->kind == kChanged ? row->hasOld && row->hasNew
                                                  : row->hasOld || row->hasNew;
  if (!sidesAgree) {
    *reason = std::string("a '") + DiffKindName(kind) + "' row with the wrong sides given";
    return false;
  }
  return true;
}

bool ReadDiff(const std::string& path, const std::function<void(const DiffRow&)>& onRow,
              std::string* error) {
  DiffRow row;
  return ReadRows(
      path, DiffHeaderText(),
      [&](std::string_view line, std::string* reason) {
        if (!ParseDiffRow(line, &row, reason)) return false;
        onRow(row);
        return true;
      },
      error);
}

bool DumpsOfFolder(const std::string& folder, std::vector<std::string>* dumps,
                   std::vector<std::string>* older, std::string* error) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) {
    *error = "'" + folder + "': cannot list: " + std::strerror(errno);
    return false;
  }
  // (copy id, mount path id) -> (time, name) of the newest dump.
  std::map<std::pair<int32_t, int32_t>, std::pair<int64_t, std::string>> newest;
  std::vector<std::string> superseded;
  errno = 0;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    static const char kPrefix[] = "ChunkLister_";
    static const char kSuffix[] = ".csv";
    if (name.rfind(kPrefix, 0) != 0 || name.size() <= sizeof kPrefix + 4 ||
        name.compare(name.size() - 4, 4, kSuffix) != 0)
      continue;
    std::string_view middle(name);
    middle = middle.substr(sizeof kPrefix - 1, middle.size() - (sizeof kPrefix - 1) - 4);
    std::string_view parts[3];
    int32_t copy = 0, mountPath = 0;
    int64_t time = 0;
    size_t count = 0, start = 0;
    for (;;) {
      const size_t underscore = middle.find('_', start);
      if (count < 3) parts[count] = middle.substr(start, underscore == std::string_view::npos ? underscore : underscore - start);
      ++count;
      if (underscore == std::string_view::npos) break;
      start = underscore + 1;
    }
    if (count != 3 || !Number(parts[0], &copy) || !Number(parts[1], &mountPath) ||
        !Number(parts[2], &time))
      continue;
    const std::string path = folder + (folder.back() == '/' ? "" : "/") + name;
    auto& slot = newest[{copy, mountPath}];
    if (slot.second.empty() || time > slot.first) {
      if (!slot.second.empty()) superseded.push_back(slot.second);
      slot = {time, path};
    } else {
      superseded.push_back(path);
    }
    errno = 0;
  }
  const int listError = errno;
  closedir(dir);
  if (listError != 0) {
    *error = "'" + folder + "': cannot list: " + std::strerror(listError);
    return false;
  }
  if (newest.empty()) {
    *error = "'" + folder + "': a folder without a dump file (ChunkLister_<copy>_<mount path>_<time>.csv)";
    return false;
  }
  for (const auto& [key, value] : newest) dumps->push_back(value.second);
  std::sort(superseded.begin(), superseded.end());
  older->insert(older->end(), superseded.begin(), superseded.end());
  return true;
}

}  // namespace tzcli::page
