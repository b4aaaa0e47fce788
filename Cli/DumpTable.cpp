#include "DumpTable.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <new>
#include <string_view>
#include <thread>

#include "DumpFormat.h"
#include "Interrupted.h"

namespace tzcli {

namespace {

using tzrecon::kDumpFieldNames;
using tzrecon::kDumpFieldSeparator;
using tzrecon::kDumpHeaderText;

// Reads are this large; a line longer than this is no dump row.
constexpr size_t kBufferSize = 8u << 20;
// The shortest row, "0, 0, 0, 0, 0\n", bounds the row count by the file size.
constexpr uint64_t kShortestRow = 14;
constexpr size_t kShownLine = 120;  // bytes of an offending line shown

// The fast path takes rows exactly as the listers write them. It reads a
// region that ends in '\n', so every loop below stops at that byte at the
// latest, and a byte is looked at only after the byte before it matched.

// At most `maxDigits` decimal digits at `p` into `*value`; nullptr when there
// are none or more (longer numbers, with leading zeros say, go the slow way).
inline const char* Digits(const char* p, long maxDigits, uint64_t* value) {
  const char* start = p;
  uint64_t v = 0;
  while (static_cast<unsigned>(*p - '0') < 10u) {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    ++p;
  }
  if (p == start || p - start > maxDigits) return nullptr;
  *value = v;
  return p;
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
  if (p == nullptr || p[0] != kDumpFieldSeparator[0] || p[1] != kDumpFieldSeparator[1])
    return nullptr;
  return p + 2;
}

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

RecordArray::~RecordArray() {
  if (m_data != nullptr) munmap(m_data, m_capacity * sizeof(DumpRecord));
}

void RecordArray::Reserve(size_t capacity) {
  if (capacity <= m_capacity) return;
  const size_t bytes = capacity * sizeof(DumpRecord);
  void* p = m_data == nullptr
                ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                : mremap(m_data, m_capacity * sizeof(DumpRecord), bytes, MREMAP_MAYMOVE);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without large pages it only runs slower
  m_data = static_cast<DumpRecord*>(p);
  m_capacity = capacity;
}

inline void DumpTable::Add(int32_t mountPathId, int32_t volumeId, int32_t chunkId,
                           uint64_t size, int flag) {
  const uint64_t key = MakeKey(volumeId, chunkId);
  if (m_records.size() == 0) {
    m_mountPathId = mountPathId;
    m_firstKey = key;
  } else {
    m_mixedMountPathIds |= mountPathId != m_mountPathId;
    m_inOrder &= m_lastKey <= key;
    m_varyingBits |= key ^ m_firstKey;
  }
  m_lastKey = key;
  uint32_t value;
  if (size < kInlineSizes) {
    value = static_cast<uint32_t>(size) << 1 | static_cast<uint32_t>(flag);
  } else {
    // 2^30 such rows would take files of tens of GiB, beyond what is held
    // in memory anyway.
    if (m_bigSizes.size() >= kInlineSizes) throw std::bad_alloc();
    value = kBigSize | static_cast<uint32_t>(m_bigSizes.size()) << 1 | static_cast<uint32_t>(flag);
    m_bigSizes.push_back(size);
  }
  m_records.PushBack({key, value});
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

bool DumpTable::ParseLines(const char* p, const char* stop, uint64_t* line, std::string* error) {
  if (*line == 0) {
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(stop - p)));
    const std::string_view text = WithoutCr(p, nl);
    *line = 1;
    if (text != kDumpHeaderText) {
      *error = Where(1) + ": not the dump header '" + std::string(kDumpHeaderText) + "': '" +
               Shown(text) + "'";
      return false;
    }
    p = nl + 1;
  }
  uint64_t n = *line;
  while (p < stop) {
    ++n;
    int32_t mountPathId = 0, volumeId = 0, chunkId = 0;
    uint64_t size = 0;
    const char* q = Separator(Signed32(p, &mountPathId));
    if (q != nullptr) q = Separator(Signed32(q, &volumeId));
    if (q != nullptr) q = Separator(Signed32(q, &chunkId));
    if (q != nullptr) q = Separator(Digits(q, 19, &size));
    if (q != nullptr && (q[0] == '0' || q[0] == '1')) {
      const int flag = q[0] - '0';
      const char* next = q[1] == '\n' ? q + 2 : (q[1] == '\r' && q[2] == '\n' ? q + 3 : nullptr);
      if (next != nullptr) {
        Add(mountPathId, volumeId, chunkId, size, flag);
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
    p = nl + 1;
  }
  *line = n;
  return true;
}

bool DumpTable::Load(std::atomic<uint64_t>* progress, std::string* error) {
  try {
    // Every row takes at least kShortestRow bytes of the file.
    if (m_fileSize > 0) m_records.Reserve(static_cast<size_t>(m_fileSize / kShortestRow + 1));
    // Read, not mapped: a mapped file that another process truncates while
    // it is parsed would end the program with SIGBUS instead of an error.
    return LoadByReading(progress, error);
  } catch (const std::bad_alloc&) {
    *error = m_label + " '" + m_path + "': out of memory after " + std::to_string(rows()) + " rows";
    return false;
  }
}

bool DumpTable::LoadByReading(std::atomic<uint64_t>* progress, std::string* error) {
  std::unique_ptr<char[]> buffer(new char[kBufferSize]);
  char* const buf = buffer.get();
  size_t have = 0;     // bytes in the buffer, from its start
  uint64_t line = 0;   // lines taken so far
  for (;;) {
    const ssize_t n =
        tzhost::RetryInterrupted([&] { return read(m_fd, buf + have, kBufferSize - have); });
    if (n < 0) {
      *error = Where(line + 1) + ": cannot read: " + std::strerror(errno);
      return false;
    }
    const bool eof = n == 0;
    have += static_cast<size_t>(n);
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
    have = static_cast<size_t>(buf + have - stop);
    std::memmove(buf, stop, have);
    if (eof && have == 0) return true;
  }
}

void DumpTable::Sort(DumpRecord* scratch) {
  const size_t n = m_records.size();
  if (m_inOrder || n < 2) return;
  // Least significant digit first: a stable sort in a few passes, each over
  // a window of 12 key bits that starts at the lowest varying bit not yet
  // sorted (the bits that are the same in every key need no pass). Each pass
  // moves the two halves of the records on two threads; the second half's
  // records of a digit go after the first half's, so equal keys keep their
  // order. While moving, each thread counts the next window's digits of what
  // it wrote, by the half it wrote into.
  constexpr int kDigitBits = 12;
  constexpr size_t kBuckets = size_t{1} << kDigitBits;
  std::vector<int> shifts;
  for (int shift = 0; shift < 64 && (m_varyingBits >> shift) != 0; shift += kDigitBits) {
    shift += __builtin_ctzll(m_varyingBits >> shift);
    shifts.push_back(shift);
  }
  const size_t parts[3] = {0, n / 2, n};
  const auto onBothHalves = [](auto work) {
    std::thread second([&] { work(1); });
    work(0);
    second.join();
  };
  // counts[(thread * 2 + half) * kBuckets + digit]
  std::vector<size_t> counts(4 * kBuckets, 0);
  std::vector<size_t> next(2 * kBuckets);
  DumpRecord* from = m_records.data();
  DumpRecord* to = scratch;
  onBothHalves([&](int half) {
    size_t* count = &counts[static_cast<size_t>(half * 3) * kBuckets];
    for (size_t i = parts[half]; i < parts[half + 1]; ++i)
      ++count[(from[i].key >> shifts[0]) & (kBuckets - 1)];
  });
  for (size_t pass = 0; pass < shifts.size(); ++pass) {
    size_t offset = 0;
    for (size_t b = 0; b < kBuckets; ++b)
      for (size_t half = 0; half < 2; ++half) {
        next[half * kBuckets + b] = offset;
        offset += counts[half * kBuckets + b] + counts[(2 + half) * kBuckets + b];
      }
    std::fill(counts.begin(), counts.end(), 0);
    const int shift = shifts[pass];
    const bool last = pass + 1 == shifts.size();
    const int nextShift = last ? 0 : shifts[pass + 1];
    onBothHalves([&](int half) {
      size_t* slot = &next[static_cast<size_t>(half) * kBuckets];
      size_t* count = &counts[static_cast<size_t>(half * 2) * kBuckets];
      for (size_t i = parts[half]; i < parts[half + 1]; ++i) {
        const DumpRecord r = from[i];
        const size_t at = slot[(r.key >> shift) & (kBuckets - 1)]++;
        to[at] = r;
        if (!last) ++count[(at >= parts[1] ? kBuckets : 0) + ((r.key >> nextShift) & (kBuckets - 1))];
      }
    });
    std::swap(from, to);
  }
  if (from != m_records.data()) std::memcpy(m_records.data(), from, n * sizeof(DumpRecord));
  m_inOrder = true;
}

}  // namespace tzcli
