#include "DumpTable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>

#include "DumpFormat.h"
#include "Interrupted.h"

namespace tzcli {

namespace {

using tzrecon::kDumpFieldNames;
using tzrecon::kDumpFieldSeparator;
using tzrecon::kDumpHeaderText;

// A line longer than the buffer is no dump row. Reads take 1 MiB at most, so
// the buffer's memory is touched only as far as a line needs (and the rows
// of a piece, held before AfterPiece, stay few).
constexpr size_t kBufferSize = 8u << 20;
constexpr size_t kReadSize = 1u << 20;
// The shortest row, "0, 0, 0, 0, 0\n", bounds the row count by the file size.
constexpr uint64_t kShortestRow = 14;
constexpr size_t kShownLine = 120;  // bytes of an offending line shown

// The fast path takes rows exactly as the listers write them, eight bytes
// at a time. It reads a region that ends in '\n' from a buffer with
// kPadding bytes after it, so it may load a few bytes past the '\n' but
// never uses them: a number ends at the first byte that is no digit, and the
// '\n' is none.
constexpr size_t kPadding = 16;

inline uint64_t Load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint32_t Load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint16_t Load16(const char* p) {
  uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// The high bit of each byte of the eight at `raw` (first byte lowest) that is
// no decimal digit.
inline uint64_t NonDigits(uint64_t raw) {
  const uint64_t t = raw ^ 0x3030303030303030ULL;  // digits become 0 to 9
  return (((t & 0x7f7f7f7f7f7f7f7fULL) + 0x7676767676767676ULL) | t) & 0x8080808080808080ULL;
}

// The value of eight digits (first byte lowest, most significant); bytes
// that are zero count as leading zeros.
inline uint64_t EightDigits(uint64_t raw) {
  raw = (raw & 0x0f0f0f0f0f0f0f0fULL) * 2561 >> 8;
  raw = (raw & 0x00ff00ff00ff00ffULL) * 6553601 >> 16;
  return (raw & 0x0000ffff0000ffffULL) * 42949672960001ULL >> 32;
}

// The first `n` (1 to 8) digits of `raw`.
inline uint64_t FirstDigits(uint64_t raw, unsigned n) {
  return EightDigits(n == 8 ? raw : raw << (64 - 8 * n));
}

constexpr uint64_t kPowersOf10[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

// At most `maxDigits` (10 or 19) decimal digits at `p` into `*value`; nullptr
// when there are none or more (longer numbers, with leading zeros say, go the
// slow way). maxDigits stays below 20, so the value fits.
inline const char* Digits(const char* p, unsigned maxDigits, uint64_t* value) {
  uint64_t raw = Load64(p);
  uint64_t stops = NonDigits(raw);
  if (stops != 0) {
    const unsigned n = static_cast<unsigned>(__builtin_ctzll(stops)) >> 3;
    if (n == 0) return nullptr;
    *value = FirstDigits(raw, n);
    return p + n;
  }
  uint64_t v = EightDigits(raw);
  unsigned taken = 8;
  for (;;) {
    raw = Load64(p + taken);
    stops = NonDigits(raw);
    const unsigned n = stops == 0 ? 8 : static_cast<unsigned>(__builtin_ctzll(stops)) >> 3;
    if (taken + n > maxDigits) return nullptr;
    if (n > 0) v = v * kPowersOf10[n] + FirstDigits(raw, n);
    taken += n;
    if (n < 8) break;
  }
  *value = v;
  return p + taken;
}

inline const char* Signed32(const char* p, int32_t* out) {
  const bool negative = *p == '-';
  uint64_t v = 0;
  p = Digits(p + negative, 10, &v);
  if (p == nullptr || v > 0x7fffffffULL + negative) return nullptr;
  *out = static_cast<int32_t>(negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v));
  return p;
}

inline const char* Separator(const char* p) {
  static_assert(sizeof kDumpFieldSeparator == 3, "the separator is two bytes");
  constexpr uint16_t kSeparator = static_cast<uint16_t>(
      static_cast<unsigned char>(kDumpFieldSeparator[0]) |
      static_cast<unsigned char>(kDumpFieldSeparator[1]) << 8);
  if (p == nullptr || Load16(p) != kSeparator) return nullptr;
  return p + 2;
}

// The first bytes of a row, up to 16, to tell the next row that starts with
// them (reading 16 bytes from it, within the padding).
struct LinePrefix {
  size_t size = 0;  // 0: none
  uint64_t text[2] = {0, 0};
  uint64_t mask[2] = {0, 0};
  bool Starts(const char* p) const {
    return size != 0 && (((Load64(p) ^ text[0]) & mask[0]) | ((Load64(p + 8) ^ text[1]) & mask[1])) == 0;
  }
  void Take(const char* begin, const char* end) {
    size = static_cast<size_t>(end - begin);
    if (size > 16) {
      size = 0;
      return;
    }
    for (size_t i = 0; i < 2; ++i) {
      const size_t bytes = std::min<size_t>(8, size > 8 * i ? size - 8 * i : 0);
      mask[i] = bytes == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * bytes)) - 1;
      text[i] = Load64(begin + 8 * i) & mask[i];
    }
  }
};

// `text` for a message: bytes outside printable ASCII as \r, \t or \xNN, and
// clipped.
std::string Shown(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size() && i < kShownLine; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  if (text.size() > kShownLine) out += "...";
  return out;
}

std::string_view WithoutCr(const char* begin, const char* end) {
  if (end > begin && end[-1] == '\r') --end;
  return std::string_view(begin, static_cast<size_t>(end - begin));
}

}  // namespace

DumpTable::~DumpTable() {
  if (m_fd >= 0) close(m_fd);
}

bool DumpTable::Open(const std::string& path, const std::string& label, std::string* error) {
  m_path = path;
  m_label = label;
  // "-" is standard input, read through reads like any file that is not
  // regular (a pipe has no size).
  m_fd = path == "-" ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                     : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) {
    *error = label + " '" + path + "': cannot open: " + std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(m_fd, &st) != 0) {
    *error = label + " '" + path + "': cannot examine: " + std::strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = label + " '" + path + "': is a folder, not a dump file";
    return false;
  }
  m_fileSize = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
  posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint: its failure changes nothing
  return true;
}

std::string DumpTable::Where(uint64_t line) const {
  return m_label + " '" + m_path + "' line " + std::to_string(line);
}

void DumpTable::NewRun(size_t index) {
  // A file that is not grouped by volume would take a word a row here: give
  // up once the runs are many and long runs are not to be had.
  if (m_runStarts.size() >= 4096 && m_runStarts.size() > index / 16) {
    m_grouped = false;
    std::vector<size_t>().swap(m_runStarts);
    return;
  }
  m_runStarts.push_back(index);
}

__attribute__((always_inline)) inline void DumpTable::NoteKey(uint64_t key, size_t index) {
  const uint32_t volume = static_cast<uint32_t>(key >> 32);
  if (index == 0) {
    m_firstKey = key;
    m_runVolume = volume;
    if (m_grouped) NewRun(0);
  } else {
    m_inOrder &= m_lastKey <= key;
    m_varyingBits |= key ^ m_firstKey;
    if (volume != m_runVolume) {
      m_runVolume = volume;
      if (m_grouped) NewRun(index);
    }
  }
  m_lastKey = key;
}

__attribute__((always_inline)) inline void DumpTable::Push(uint64_t key, uint64_t size, int flag) {
  uint32_t value;
  if (size < kInlineSizes) {
    value = static_cast<uint32_t>(size) << 1 | static_cast<uint32_t>(flag);
  } else {
    // 2^30 such rows would take files of tens of GiB, beyond what is held
    // in memory anyway.
    if (m_bigSizes.size() >= kInlineSizes) throw std::bad_alloc();
    value = kBigSize | static_cast<uint32_t>(m_bigSizes.size()) << 1 | static_cast<uint32_t>(flag);
    m_bigSizes.PushBack(size);
  }
  m_records.PushBack({key, value});
}

__attribute__((always_inline)) inline void DumpTable::Add(int32_t mountPathId, int32_t volumeId,
                                                          int32_t chunkId, uint64_t size, int flag) {
  const uint64_t key = MakeKey(volumeId, chunkId);
  if (m_rows++ == 0) m_mountPathId = mountPathId;
  else m_mixedMountPathIds |= mountPathId != m_mountPathId;
  NoteKey(key, m_records.size());
  Push(key, size, flag);
}

// A row of the same mount path and volume as the row before: no new run.
__attribute__((always_inline)) inline void DumpTable::AddOfVolume(int32_t chunkId, uint64_t size,
                                                                  int flag) {
  const uint64_t key =
      (m_lastKey & 0xffffffff00000000ULL) | (static_cast<uint32_t>(chunkId) ^ 0x80000000u);
  ++m_rows;
  m_inOrder &= m_lastKey <= key;
  m_varyingBits |= key ^ m_firstKey;
  m_lastKey = key;
  Push(key, size, flag);
}

void DumpTable::DropHeld(bool release) {
  m_records.Resize(0);
  m_bigSizes.Resize(0);
  if (release) {
    m_records.Release();
    m_bigSizes.Release();
  }
  // The records to come are not sorted here.
  m_grouped = false;
  std::vector<size_t>().swap(m_runStarts);
  m_sorted.clear();
}

void DumpTable::GiveBack(RecordArray* records, MappedArray<uint64_t>* bigSizes) {
  *records = std::move(m_records);
  *bigSizes = std::move(m_bigSizes);
  m_sorted.clear();
  m_rows = 0;
}

void DumpTable::Adopt(RecordArray&& records, MappedArray<uint64_t>&& bigSizes) {
  m_records = std::move(records);
  m_bigSizes = std::move(bigSizes);
  m_rows = m_records.size();
  m_inOrder = m_grouped = true;
  m_varyingBits = 0;
  m_runStarts.clear();
  m_sorted.clear();
  const DumpRecord* r = m_records.data();
  for (size_t i = 0; i < m_records.size(); ++i) NoteKey(r[i].key, i);
}

bool DumpTable::ParseLineSlowly(const char* begin, const char* end, std::string* reason) {
  const std::string_view text = WithoutCr(begin, end);
  if (text.empty()) {
    *reason = "an empty line";
    return false;
  }
  std::string_view fields[5];
  size_t count = 0, start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    if (count < 5) fields[count] = text.substr(start, comma - start);
    ++count;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (count != 5) {
    *reason = std::to_string(count) + (count == 1 ? " field" : " fields") +
              " where a row has 5 (separated by ', ')";
    return false;
  }
  int64_t ids[3] = {0, 0, 0};
  uint64_t size = 0;
  int64_t flag = 0;
  for (size_t i = 0; i < 5; ++i) {
    std::string_view f = fields[i];
    const std::string name = "field " + std::to_string(i + 1) + " (" + kDumpFieldNames[i] + ")";
    if (i > 0) {
      if (f.empty() || f[0] != ' ') {
        *reason = name + " does not follow ', '";
        return false;
      }
      f.remove_prefix(1);
    }
    const char* first = f.data();
    const char* last = first + f.size();
    std::from_chars_result r;
    if (i == 3)
      r = std::from_chars(first, last, size);
    else
      r = std::from_chars(first, last, i == 4 ? flag : ids[i]);
    if (f.empty() || r.ptr != last || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
      *reason = name + (i == 3 ? " is not an unsigned decimal integer" : " is not a decimal integer");
      return false;
    }
    const bool outOfRange = r.ec == std::errc::result_out_of_range ||
                            (i < 3 && (ids[i] < INT32_MIN || ids[i] > INT32_MAX));
    if (outOfRange) {
      *reason = name + (i == 3 ? " is beyond 64 bits" : " is beyond the 32-bit range");
      return false;
    }
    if (i == 4 && flag != 0 && flag != 1) {
      *reason = name + " is neither 0 nor 1";
      return false;
    }
  }
  Add(static_cast<int32_t>(ids[0]), static_cast<int32_t>(ids[1]), static_cast<int32_t>(ids[2]),
      size, static_cast<int>(flag));
  return true;
}

std::string DumpTable::CutShort(uint64_t line, const char* text, size_t size) const {
  return Where(line) + ": the last line has no line end (is the file cut short?): '" +
         Shown(std::string_view(text, size)) + "'";
}

const char* DumpTable::TakeHeader(const char* p, const char* stop, std::string* error) {
  const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
  const std::string_view text = WithoutCr(p, nl);
  if (text == kDumpHeaderText) return nl + 1;
  *error = Where(1) + ": not the dump header '" + std::string(kDumpHeaderText) + "': '" +
           Shown(text) + "'";
  return nullptr;
}

bool DumpTable::ParseLines(const char* p, const char* stop, uint64_t* line, std::string* error) {
  if (*line == 0) {
    *line = 1;
    if ((p = TakeHeader(p, stop, error)) == nullptr) return false;
  }
  uint64_t n = *line;
  // The text of the last row up to its chunk id ("1, 12, ") when it is 16
  // bytes at most, and the values it gave: a row that starts with the same
  // bytes is of the same mount path and volume, and only its chunk id, size
  // and flag are read.
  LinePrefix prefix;
  int32_t mountPathId = 0, volumeId = 0;
  while (p < stop) {
    ++n;
    int32_t chunkId = 0;
    uint64_t size = 0;
    const bool same = prefix.Starts(p);
    const char* q = p + prefix.size;
    if (!same) {
      q = Separator(Signed32(p, &mountPathId));
      if (q != nullptr) q = Separator(Signed32(q, &volumeId));
    }
    const char* chunkStart = q;
    if (q != nullptr) q = Separator(Signed32(q, &chunkId));
    if (q != nullptr) q = Separator(Digits(q, 19, &size));
    if (q != nullptr) {
      // The flag and the line end: "0\r\n", "1\r\n", "0\n" or "1\n".
      const uint32_t end = Load32(q);
      const char* next =
          (end & 0xfffffe) == 0x0a0d30 ? q + 3 : (end & 0xfffe) == 0x0a30 ? q + 2 : nullptr;
      if (next != nullptr) {
        const int flag = static_cast<int>(end & 1);
        if (same) {
          AddOfVolume(chunkId, size, flag);
        } else {
          Add(mountPathId, volumeId, chunkId, size, flag);
          prefix.Take(p, chunkStart);
        }
        p = next;
        continue;
      }
    }
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
    std::string reason;
    if (!ParseLineSlowly(p, nl, &reason)) {
      *line = n;
      *error = Where(n) + ": " + reason + ": '" + Shown(WithoutCr(p, nl)) + "'";
      return false;
    }
    prefix = LinePrefix();  // the row taken is not the one it holds
    p = nl + 1;
  }
  *line = n;
  return true;
}

bool DumpTable::Load(std::atomic<uint64_t>* progress, std::string* error,
                     const AfterPiece& afterPiece) {
  try {
    // Every row takes at least kShortestRow bytes of the file.
    if (m_fileSize > 0) m_records.Reserve(static_cast<size_t>(m_fileSize / kShortestRow + 1));
    // Read, not mapped: a mapped file that another process truncates while
    // it is parsed would end the program with SIGBUS instead of an error.
    return LoadByReading(progress, error, afterPiece);
  } catch (const std::bad_alloc&) {
    *error = m_label + " '" + m_path + "': out of memory after " + std::to_string(rows()) + " rows";
    return false;
  }
}

bool DumpTable::LoadByReading(std::atomic<uint64_t>* progress, std::string* error,
                              const AfterPiece& afterPiece) {
  // The fast path's loads past a line's end read bytes that are never used;
  // they are zeroed after each read, so they are defined.
  std::unique_ptr<char[]> buffer(new char[kBufferSize + kPadding]);
  char* const buf = buffer.get();
  size_t have = 0;     // bytes in the buffer, from its start
  uint64_t line = 0;   // lines taken so far
  for (;;) {
    const ssize_t n = tzhost::RetryInterrupted(
        [&] { return read(m_fd, buf + have, std::min(kReadSize, kBufferSize - have)); });
    if (n < 0) {
      *error = Where(line + 1) + ": cannot read: " + std::strerror(errno);
      return false;
    }
    const bool eof = n == 0;
    have += static_cast<size_t>(n);
    std::memset(buf + have, 0, kPadding);
    progress->fetch_add(static_cast<uint64_t>(n), std::memory_order_relaxed);

    const char* lastNl = static_cast<const char*>(memrchr(buf, '\n', have));
    if (lastNl == nullptr) {
      if (!eof && have < kBufferSize) continue;
      if (have == 0) {
        if (line > 0) return true;
        *error = Where(1) + ": the file is empty; a dump starts with the header '" +
                 std::string(kDumpHeaderText) + "'";
        return false;
      }
      if (eof) *error = CutShort(line + 1, buf, have);
      else *error = Where(line + 1) + ": a line longer than any dump row: '" +
                    Shown(std::string_view(buf, have)) + "'";
      return false;
    }
    const char* const stop = lastNl + 1;
    if (!ParseLines(buf, stop, &line, error)) return false;
    if (afterPiece && !afterPiece(*this, error)) return false;
    have = static_cast<size_t>(buf + have - stop);
    std::memmove(buf, stop, have);
    if (eof && have == 0) return true;
  }
}

}  // namespace tzcli
