#include "PartFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "Interrupted.h"
#include "Signals.h"

namespace tzcli {

namespace {

std::string Errno(int err) { return std::strerror(err); }

}  // namespace

int CreateTempFile(const std::string& dir, std::string* error) {
  static std::mutex named;
  static std::atomic<uint64_t> counter{0};
  // For the tests: the named way on any file system.
  static const bool forceNamed = getenv("TZRECON_DIFF_NAMED_TEMP") != nullptr;
  int fd = -1;
  if (!forceNamed) {
    fd = tzhost::RetryInterrupted(
        [&] { return open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600); });
    if (fd >= 0) return fd;
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      *error = "cannot make a temporary file in '" + dir + "': " + Errno(errno);
      return -1;
    }
  }
  std::lock_guard<std::mutex> lock(named);
  const std::string path = dir + "/.tzrecon-diff-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter.fetch_add(1)) + ".tmp";
  // A stop signal is being handled: the process ends in a moment.
  while (!BeginDiffTempName(path.c_str())) pause();
  fd = tzhost::RetryInterrupted(
      [&] { return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); });
  const int err = errno;
  if (fd >= 0) unlink(path.c_str());
  EndDiffTempName();
  if (fd < 0) *error = "cannot make a temporary file in '" + dir + "': " + Errno(err);
  return fd;
}

bool CheckTempDir(const std::string& dir, std::string* error) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    *error = "--temp-dir '" + dir + "': " + Errno(errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) {
    *error = "--temp-dir '" + dir + "': not a folder";
    return false;
  }
  const int fd = CreateTempFile(dir, error);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void TempSpace::Wrote(uint64_t bytes) {
  written.fetch_add(bytes, std::memory_order_relaxed);
  const uint64_t now = live.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  uint64_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

void ClosePart(PartFile& file, TempSpace* space) {
  if (file.fd >= 0) {
    close(file.fd);
    space->Freed(file.records * kRecordBytes);
  }
  file = PartFile();
}

bool ReadRecords(const PartFile& file, uint64_t index, uint64_t count, DumpRecord* out,
                 const std::string& dir, std::string* error) {
  char* at = reinterpret_cast<char*>(out);
  uint64_t offset = index * kRecordBytes;
  uint64_t left = count * kRecordBytes;
  while (left > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(left, 1u << 30));
    const ssize_t n =
        tzhost::RetryInterrupted([&] { return pread(file.fd, at, want, static_cast<off_t>(offset)); });
    if (n <= 0) {
      *error = "cannot read a temporary file in '" + dir + "': " +
               (n == 0 ? std::string("it is shorter than written") : Errno(errno));
      return false;
    }
    at += n;
    offset += static_cast<uint64_t>(n);
    left -= static_cast<uint64_t>(n);
  }
  return true;
}

PartWriters::~PartWriters() {
  for (Out& out : m_outs) ClosePart(out.file, m_space);
}

bool PartWriters::Open(std::string* error) {
  m_outs.resize(m_cuts.size() + 1);
  for (Out& out : m_outs) {
    out.file.fd = CreateTempFile(m_dir, error);
    if (out.file.fd < 0) return false;
    out.buffer.reserve(m_bufferRecords);
  }
  Enter(0);
  return true;
}

bool PartWriters::Put(const DumpRecord& r, uint64_t bigSize, std::string* error) {
  if (r.key < m_lo || r.key > m_hi)
    Enter(static_cast<size_t>(std::upper_bound(m_cuts.begin(), m_cuts.end(), r.key) - m_cuts.begin()));
  Out& out = m_outs[m_current];
  ++out.file.rows;
  if ((r.value & kBigSize) == 0) return Append(out, r, error);
  ++out.file.bigs;
  return Append(out, {r.key, kBigSize | (r.value & 1)}, error) &&
         Append(out, {bigSize, kContinuation}, error);
}

bool PartWriters::PutAll(const PartFile& file, std::string* error) {
  // Read in pieces that never part a big record from its continuation.
  std::vector<DumpRecord> piece((1 << 20) / kRecordBytes);
  uint64_t at = 0;
  while (at < file.records) {
    const uint64_t count = std::min<uint64_t>(piece.size(), file.records - at);
    if (!ReadRecords(file, at, count, piece.data(), m_dir, error)) return false;
    uint64_t i = 0;
    for (; i < count; ++i) {
      const DumpRecord& r = piece[i];
      uint64_t size = 0;
      if ((r.value & kBigSize) != 0) {
        if (i + 1 == count) break;  // read again with its continuation
        size = piece[++i].key;
      }
      if (!Put(r, size, error)) return false;
    }
    at += i;
  }
  return true;
}

bool PartWriters::Flush(std::string* error) {
  for (Out& out : m_outs)
    if (!FlushOne(out, error)) return false;
  return true;
}

void PartWriters::TakeInto(std::vector<Part>* parts, uint64_t lo, uint64_t hi, int side) {
  parts->resize(m_outs.size());
  for (size_t i = 0; i < m_outs.size(); ++i) {
    Part& part = (*parts)[i];
    part.lo = i == 0 ? lo : m_cuts[i - 1];
    part.hi = i < m_cuts.size() ? m_cuts[i] - 1 : hi;
    part.files[side] = m_outs[i].file;
    m_outs[i].file = PartFile();
  }
}

void PartWriters::Enter(size_t part) {
  m_current = part;
  m_lo = part == 0 ? 0 : m_cuts[part - 1];
  m_hi = part < m_cuts.size() ? m_cuts[part] - 1 : UINT64_MAX;
}

bool PartWriters::Append(Out& out, const DumpRecord& r, std::string* error) {
  out.buffer.push_back(r);
  ++out.file.records;
  return out.buffer.size() < m_bufferRecords || FlushOne(out, error);
}

bool PartWriters::FlushOne(Out& out, std::string* error) {
  if (out.buffer.empty()) return true;
  const size_t bytes = out.buffer.size() * kRecordBytes;
  if (!tzhost::WriteAll(out.file.fd, out.buffer.data(), bytes)) {
    *error = "cannot write a temporary file in '" + m_dir + "': " + Errno(errno);
    return false;
  }
  m_space->Wrote(bytes);
  out.buffer.clear();
  return true;
}

bool LoadPart(const PartFile& file, bool oneKey, const std::string& dir, PartMemory* memory,
              DumpTable* table, std::string* error) {
  RecordArray records = std::move(memory->records);
  MappedArray<uint64_t> bigs = std::move(memory->bigs);
  records.Resize(0);
  bigs.Resize(0);
  const uint64_t count = oneKey ? std::min<uint64_t>(file.records, 4) : file.records;
  if (count > 0) {
    records.Reserve(static_cast<size_t>(count));
    if (!ReadRecords(file, 0, count, records.data(), dir, error)) return false;
    if (file.bigs > 0) bigs.Reserve(static_cast<size_t>(std::min(file.bigs, count)));
  }
  DumpRecord* const r = records.data();
  size_t kept = 0;
  for (size_t i = 0; i < count && (!oneKey || kept < 2); ++i) {
    DumpRecord record = r[i];
    if ((record.value & kBigSize) != 0) {
      if (i + 1 == count) break;  // its size is beyond what was read
      record.value = kBigSize | static_cast<uint32_t>(bigs.size()) << 1 | (record.value & 1);
      bigs.PushBack(r[++i].key);
    }
    r[kept++] = record;
  }
  records.Resize(kept);
  table->Adopt(std::move(records), std::move(bigs));
  table->PlanSort();
  memory->scratch.Reserve(table->SortScratch());
  table->Sort(memory->scratch.data());
  return true;
}

}  // namespace tzcli
