#include "DiffPartitions.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "Args.h"
#include "DumpFormat.h"
#include "Interrupted.h"

namespace tzcli {

namespace {

// A part is cut so that it needs about this share of the limit: the sample
// that cuts it only estimates its rows.
constexpr double kFill = 0.5;
// Keys sampled to cut a part again, from each input's file.
constexpr uint64_t kPartSamples = 4096;
// Lines sampled from each input file for the first cuts.
constexpr uint64_t kLineSamples = 4096;
// A part cut this many times over is a fault here, not a large input.
constexpr int kMostDepth = 100;

// Keys sampled from an input: the key and the rows it stands for.
struct Sample {
  uint64_t key;
  double rows;
  bool big;  // a size of 1 GiB or more
  bool operator<(const Sample& o) const { return key < o.key; }
};

// The first key of the volume of `key`.
uint64_t VolumeStart(uint64_t key) { return key & 0xffffffff00000000ULL; }

// Where to cut [lo, hi] into at most `parts` ranges of about the same rows
// (`samples` sorted): each cut is the first key of a range, at a volume's
// start unless the volume reaches back into the range before. Cuts are
// increasing, in (lo, hi].
std::vector<uint64_t> ChooseCuts(const std::vector<Sample>& samples, uint64_t parts, uint64_t lo,
                                 uint64_t hi) {
  std::vector<uint64_t> cuts;
  double total = 0;
  for (const Sample& s : samples) total += s.rows;
  if (parts < 2 || total <= 0) return cuts;
  const double each = total / static_cast<double>(parts);
  double before = 0;  // rows of the samples before the one looked at
  double next = each;
  for (const Sample& s : samples) {
    if (before >= next && cuts.size() + 1 < parts) {
      const uint64_t last = cuts.empty() ? lo : cuts.back();
      uint64_t cut = VolumeStart(s.key);
      if (cut <= last) cut = s.key;
      if (cut > last && cut <= hi) {
        cuts.push_back(cut);
        next = before + each;
      }
    }
    before += s.rows;
  }
  return cuts;
}

// The line of a dump file around byte `at` (an offset past the header), read
// with one pread: its key, length and whether its size is big. False when
// no whole row is there.
bool LineAt(int fd, uint64_t at, uint64_t fileSize, uint64_t headerEnd, uint64_t* key,
            size_t* length, bool* big) {
  constexpr size_t kBefore = 128, kAfter = 128;
  char window[kBefore + kAfter];
  const uint64_t from = at >= headerEnd + kBefore ? at - kBefore : headerEnd;
  const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof window, fileSize - from));
  const ssize_t got = tzhost::RetryInterrupted([&] { return pread(fd, window, want, static_cast<off_t>(from)); });
  if (got <= 0) return false;
  const char* const end = window + got;
  const char* const here = window + (at - from);
  if (here >= end) return false;
  // The line starts after the last '\n' before `here` (or at the header's
  // end), and ends at the first '\n' from `here`.
  const char* start = here;
  while (start > window && start[-1] != '\n') --start;
  if (start == window && from != headerEnd) return false;
  const char* stop = static_cast<const char*>(std::memchr(here, '\n', static_cast<size_t>(end - here)));
  if (stop == nullptr) return false;
  // "mount, volume, chunk, size, flag": the volume, chunk and size.
  int64_t fields[4] = {0, 0, 0, 0};
  uint64_t size = 0;
  const char* p = start;
  for (int i = 0; i < 4; ++i) {
    const auto r = i == 3 ? std::from_chars(p, stop, size) : std::from_chars(p, stop, fields[i]);
    if (r.ec != std::errc() || stop - r.ptr < 2 || r.ptr[0] != ',' || r.ptr[1] != ' ') return false;
    p = r.ptr + 2;
  }
  if (fields[1] < INT32_MIN || fields[1] > INT32_MAX || fields[2] < INT32_MIN || fields[2] > INT32_MAX)
    return false;
  *key = MakeKey(static_cast<int32_t>(fields[1]), static_cast<int32_t>(fields[2]));
  *length = static_cast<size_t>(stop - start + 1);
  *big = size >= kInlineSizes;
  return true;
}

// Lines sampled evenly from a dump file, each standing for the rows of the
// bytes around it (a short line for more rows than a long one).
std::vector<Sample> SampleLines(int fd, uint64_t fileSize) {
  std::vector<Sample> samples;
  const uint64_t headerEnd = tzrecon::kDumpHeaderSize;
  if (fileSize <= headerEnd) return samples;
  const uint64_t body = fileSize - headerEnd;
  const uint64_t count = std::min<uint64_t>(kLineSamples, body / 32 + 1);
  const double bytesEach = static_cast<double>(body) / static_cast<double>(count);
  for (uint64_t j = 0; j < count; ++j) {
    const uint64_t at = headerEnd + static_cast<uint64_t>((static_cast<double>(j) + 0.5) * bytesEach);
    uint64_t key = 0;
    size_t length = 0;
    bool big = false;
    if (LineAt(fd, at, fileSize, headerEnd, &key, &length, &big))
      samples.push_back({key, bytesEach / static_cast<double>(length), big});
  }
  return samples;
}

// The most parts that one cut makes: each takes a file of each input and a
// buffer for it.
uint64_t MaxFanOut(uint64_t writerBudget) {
  uint64_t most = 1024;
  struct rlimit files;
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    most = std::min<uint64_t>(most, files.rlim_cur > 96 ? (files.rlim_cur - 64) / 2 : 16);
  most = std::min<uint64_t>(most, std::max<uint64_t>(64, writerBudget / (2 * 4096)));
  // For the tests: few parts a cut, so that parts are cut again.
  if (const char* forced = getenv("TZRECON_DIFF_MAX_FANOUT")) {
    const uint64_t value = strtoull(forced, nullptr, 10);
    if (value >= 2) most = std::min(most, value);
  }
  return most;
}

// The records of a writer's buffer, when `parts` writers share `budget` bytes.
size_t BufferRecords(uint64_t budget, uint64_t parts) {
  const uint64_t bytes = std::clamp<uint64_t>(budget / (2 * std::max<uint64_t>(parts, 1)), 4096, 256 << 10);
  return static_cast<size_t>(bytes / kRecordBytes);
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

uint64_t ParseMemorySize(const std::string& text) {
  uint64_t value = 0;
  const char* const first = text.data();
  const char* const last = first + text.size();
  const auto [end, ec] = std::from_chars(first, last, value, 10);
  std::string unit(end, last);
  for (char& c : unit) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  int shift = -1;
  if (unit.empty() || unit == "B") shift = 0;
  for (int k = 1; k <= 4 && shift < 0; ++k) {
    const char letter = "KMGT"[k - 1];
    if (unit == std::string(1, letter) || unit == std::string(1, letter) + "B" ||
        unit == std::string(1, letter) + "IB")
      shift = 10 * k;
  }
  if (end == first || (ec != std::errc() && ec != std::errc::result_out_of_range) || shift < 0)
    throw UsageError("--memory: '" + text + "' is not a size (bytes, or a number followed by K, M, G or T)");
  if (ec != std::errc() || value == 0 || (shift > 0 && value > (UINT64_MAX >> shift)))
    throw UsageError("--memory: '" + text + "' is out of range");
  return value << shift;
}

uint64_t DefaultMemoryLimit() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return uint64_t{1} << 30;
  return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize) / 4;
}

std::string DefaultTempDir() {
  const char* dir = getenv("TMPDIR");
  return dir != nullptr && dir[0] != '\0' ? dir : "/tmp";
}

DiffSpill::DiffSpill(uint64_t limit, std::string tempDir, DumpTable* oldTable, DumpTable* newTable)
    : m_limit(limit), m_tempDir(std::move(tempDir)), m_tables{oldTable, newTable} {
  for (int k = 0; k < 2; ++k) {
    m_held[k] = 0;
    m_failed[k] = false;
  }
}

DiffSpill::~DiffSpill() {
  for (Part& part : m_firstParts)
    for (PartFile& file : part.files) ClosePart(file, &m_space);
}

DumpTable::AfterPiece DiffSpill::Hook(int side) {
  return [this, side](DumpTable& table, std::string* error) { return Piece(side, table, error); };
}

void DiffSpill::Failed(int side) { m_failed[side] = true; }

bool DiffSpill::Fits(uint64_t scratchRecords) const {
  const uint64_t held = m_held[0].load() + m_held[1].load();
  return held + scratchRecords * kRecordBytes + WriterBudget() <= m_limit;
}

bool DiffSpill::Piece(int side, DumpTable& table, std::string* error) {
  if (side == 1 && m_failed[0].load()) {
    error->clear();  // OLD's message is the one told
    return false;
  }
  m_held[side] = table.heldBytes();
  if (!m_spilled.load()) {
    if (m_held[0].load() + m_held[1].load() + WriterBudget() <= m_limit) return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_spilled.load()) Begin();
  }
  return Drain(side, table, error);
}

void DiffSpill::Begin() {
  // The rows each input will have, from a sample of its lines (a pipe's: as
  // many as the other's, or when both are pipes no estimate: one part, cut
  // later from its own records).
  std::vector<Sample> samples;
  double rows[2] = {0, 0}, bigs = 0;
  bool sampled[2] = {false, false};
  for (int k = 0; k < 2; ++k) {
    const DumpTable& t = *m_tables[k];
    if (t.fileSize() == 0) continue;
    std::vector<Sample> s = SampleLines(t.fd(), t.fileSize());
    sampled[k] = !s.empty();
    for (const Sample& x : s) {
      rows[k] += x.rows;
      if (x.big) bigs += x.rows;
    }
    samples.insert(samples.end(), s.begin(), s.end());
  }
  for (int k = 0; k < 2; ++k)
    if (!sampled[k]) rows[k] = rows[1 - k];
  std::sort(samples.begin(), samples.end());
  const double need = (rows[0] + rows[1]) * static_cast<double>(PartNeed(1, 1, 0)) +
                      bigs * static_cast<double>(PartNeed(1, 0, 1));
  const double parts = std::ceil(need / (kFill * static_cast<double>(m_limit)));
  const uint64_t fanOut = std::min<uint64_t>(MaxFanOut(WriterBudget()), static_cast<uint64_t>(std::max(1.0, parts)));
  m_cuts = ChooseCuts(samples, fanOut, 0, UINT64_MAX);
  m_spilled = true;
}

bool DiffSpill::Drain(int side, DumpTable& table, std::string* error) {
  if (!m_writers[side]) {
    m_writers[side] = std::make_unique<PartWriters>(
        m_cuts, BufferRecords(WriterBudget(), m_cuts.size() + 1), m_tempDir, &m_space);
    if (!m_writers[side]->Open(error)) return false;
    // The records read so far go; the memory they took with them.
    PartWriters& writers = *m_writers[side];
    const DumpRecord* r = table.records();
    for (size_t i = 0; i < table.held(); ++i)
      if (!writers.Put(r[i], table.SizeOf(r[i]), error)) return false;
    table.DropHeld(true);
  } else {
    PartWriters& writers = *m_writers[side];
    const DumpRecord* r = table.records();
    for (size_t i = 0; i < table.held(); ++i)
      if (!writers.Put(r[i], table.SizeOf(r[i]), error)) return false;
    table.DropHeld(false);
  }
  m_held[side] = 0;
  return true;
}

bool DiffSpill::SpillHeld(std::string* error) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_spilled.load()) Begin();
  }
  for (int k = 0; k < 2; ++k)
    if (!Drain(k, *m_tables[k], error)) return false;
  return true;
}

bool DiffSpill::EndWriting(std::string* error) {
  for (int k = 0; k < 2; ++k)
    if ((m_tables[k]->held() > 0 || !m_writers[k]) && !Drain(k, *m_tables[k], error)) return false;
  for (int k = 0; k < 2; ++k) {
    if (!m_writers[k]->Flush(error)) return false;
    m_writers[k]->TakeInto(&m_firstParts, 0, UINT64_MAX, k);
    m_writers[k].reset();
  }
  m_partsKnown = m_firstParts.size();
  return true;
}

bool DiffSpill::ForEachPart(const MergePart& merge, std::string* error) {
  bool ok = true;
  for (Part& part : m_firstParts) {
    if (ok) ok = Process(part, 0, merge, error);
    for (PartFile& file : part.files) ClosePart(file, &m_space);
  }
  m_firstParts.clear();
  return ok;
}

bool DiffSpill::Process(Part& part, int depth, const MergePart& merge, std::string* error) {
  const PartFile* f = part.files;
  const uint64_t need = PartNeed(f[0].records + f[1].records, f[0].rows + f[1].rows, f[0].bigs + f[1].bigs);
  if (f[0].rows + f[1].rows == 0) {
    ++m_partsDone;
    return true;
  }
  if (need <= m_limit || part.lo == part.hi) {
    ++m_partsDone;
    return Compare(part, merge, error);
  }
  if (depth >= kMostDepth) {
    *error = "cannot cut the rows into parts that fit --memory";
    return false;
  }
  const auto started = std::chrono::steady_clock::now();
  std::vector<Part> children;
  const bool cut = Split(part, &children, error);
  m_splitSeconds += Since(started);
  if (!cut) {
    for (Part& child : children)
      for (PartFile& file : child.files) ClosePart(file, &m_space);
    return false;
  }
  ++m_splits;
  m_partsKnown += children.size() - 1;
  bool ok = true;
  for (Part& child : children) {
    if (ok) ok = Process(child, depth + 1, merge, error);
    for (PartFile& file : child.files) ClosePart(file, &m_space);
  }
  return ok;
}

bool DiffSpill::Compare(Part& part, const MergePart& merge, std::string* error) {
  ++m_parts;
  DumpTable tables[2];
  bool ok[2] = {false, false};
  std::string errors[2];
  const bool oneKey = part.lo == part.hi;
  const auto load = [&](int k) {
    try {
      ok[k] = LoadPart(part.files[k], oneKey, m_tempDir, &m_memory[k], &tables[k], &errors[k]);
    } catch (const std::bad_alloc&) {
      errors[k] = "out of memory for a part of the rows: give a smaller --memory";
    } catch (const std::system_error& e) {
      errors[k] = std::string("cannot start a thread: ") + e.what();
    }
  };
  try {
    std::thread second(load, 1);
    load(0);
    second.join();
  } catch (const std::system_error& e) {
    *error = std::string("cannot start a thread: ") + e.what();
    return false;
  }
  for (int k = 0; k < 2; ++k)
    if (!ok[k]) {
      *error = errors[k];
      return false;
    }
  for (PartFile& file : part.files) ClosePart(file, &m_space);
  merge(tables[0], tables[1]);
  for (int k = 0; k < 2; ++k) tables[k].GiveBack(&m_memory[k].records, &m_memory[k].bigs);
  return true;
}

namespace {

// Keys sampled evenly from the records of both inputs' files of `part`,
// sorted; false with `*error` set.
bool SampleRecords(const Part& part, const std::string& dir, std::vector<Sample>* samples,
                   std::string* error) {
  for (const PartFile& file : part.files) {
    const uint64_t count = std::min(file.records, kPartSamples);
    std::vector<Sample> mine;
    for (uint64_t j = 0; j < count; ++j) {
      DumpRecord r;
      if (!ReadRecords(file, j * file.records / count, 1, &r, dir, error)) return false;
      if (r.value != kContinuation) mine.push_back({r.key, 0, false});
    }
    for (Sample& s : mine) s.rows = static_cast<double>(file.rows) / static_cast<double>(mine.size());
    samples->insert(samples->end(), mine.begin(), mine.end());
  }
  std::sort(samples->begin(), samples->end());
  return true;
}

}  // namespace

bool DiffSpill::Split(Part& part, std::vector<Part>* children, std::string* error) {
  std::vector<Sample> samples;
  if (!SampleRecords(part, m_tempDir, &samples, error)) return false;
  const PartFile* f = part.files;
  const double need =
      static_cast<double>(PartNeed(f[0].records + f[1].records, f[0].rows + f[1].rows, f[0].bigs + f[1].bigs));
  const uint64_t fanOut = std::clamp<uint64_t>(
      static_cast<uint64_t>(std::ceil(need / (kFill * static_cast<double>(m_limit)))), 2,
      MaxFanOut(WriterBudget()));
  std::vector<uint64_t> cuts = ChooseCuts(samples, fanOut, part.lo, part.hi);
  if (cuts.empty()) {
    // One key holds most rows: it gets a part of its own.
    const uint64_t key = samples.empty() ? part.lo : samples[samples.size() / 2].key;
    if (key > part.lo) cuts.push_back(key);
    if (key < part.hi) cuts.push_back(key + 1);
  }
  for (int k = 0; k < 2; ++k) {
    PartWriters writers(cuts, BufferRecords(WriterBudget(), cuts.size() + 1), m_tempDir, &m_space);
    if (!writers.Open(error) || !writers.PutAll(part.files[k], error) || !writers.Flush(error))
      return false;
    writers.TakeInto(children, part.lo, part.hi, k);
    ClosePart(part.files[k], &m_space);
  }
  return true;
}

SpillStats DiffSpill::stats() const {
  SpillStats s;
  s.spilled = m_spilled.load();
  s.parts = m_parts;
  s.splits = m_splits;
  s.tempBytesWritten = m_space.written.load();
  s.tempPeakBytes = m_space.peak.load();
  s.splitSeconds = m_splitSeconds;
  return s;
}

}  // namespace tzcli
