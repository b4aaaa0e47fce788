// The rows of a chunk-lister dump file, read into a compact table for
// comparing two dumps.
//
// Every row becomes one 12-byte record: a 64-bit key that orders by volume id
// then chunk id, and a 32-bit value holding the single-instance flag and the
// size, or for sizes of 1 GiB and more the index of the size in a side table
// (8 bytes more for such a row). A table of N rows takes 12 N bytes.
// The mount path id is not kept per row: a dump holds one mount path, so the
// table remembers the first row's id and whether any other row differs.
//
// A dump holds each volume's rows together (a volume folder is listed at
// once), so the table notes where each run of one volume starts. When every
// volume is one run, sorting is sorting each run by chunk id (in the cache,
// with scratch for the longest run) and taking the runs in volume order;
// otherwise the records are sorted as a whole, which takes 12 bytes a row
// more.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

namespace tzcli {

struct __attribute__((packed)) DumpRecord {
  uint64_t key;    // see MakeKey
  uint32_t value;  // see DumpTable::SizeOf and FlagOf
};
static_assert(sizeof(DumpRecord) == 12, "a record is 12 bytes");

// Value bits: the flag at bit 0; bit 31 clear: the size in bits 1 to 30;
// bit 31 set: the index of the size in the side table in bits 1 to 30.
constexpr uint32_t kBigSize = 1u << 31;
constexpr uint64_t kInlineSizes = 1u << 30;  // sizes below this fit in a value

// A key whose unsigned order is the numeric order of (volume id, chunk id):
// each signed id has its sign bit flipped.
inline uint64_t MakeKey(int32_t volumeId, int32_t chunkId) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(volumeId) ^ 0x80000000u) << 32) |
         (static_cast<uint32_t>(chunkId) ^ 0x80000000u);
}
inline int32_t VolumeIdOf(uint64_t key) {
  return static_cast<int32_t>(static_cast<uint32_t>(key >> 32) ^ 0x80000000u);
}
inline int32_t ChunkIdOf(uint64_t key) {
  return static_cast<int32_t>(static_cast<uint32_t>(key) ^ 0x80000000u);
}

// Elements in anonymous memory mapped for them: a reserve that no element
// reaches costs address space only, growing moves no element (mremap), and
// large pages keep the page faults few. For trivially copyable T.
template <typename T>
class MappedArray {
 public:
  MappedArray() = default;
  ~MappedArray() { Release(); }
  MappedArray(const MappedArray&) = delete;
  MappedArray& operator=(const MappedArray&) = delete;
  MappedArray(MappedArray&& o) noexcept { *this = std::move(o); }
  MappedArray& operator=(MappedArray&& o) noexcept {
    if (this != &o) {
      Release();
      m_data = o.m_data;
      m_size = o.m_size;
      m_capacity = o.m_capacity;
      o.m_data = nullptr;
      o.m_size = o.m_capacity = 0;
    }
    return *this;
  }

  // Makes room for `capacity` elements; throws std::bad_alloc when the
  // memory cannot be mapped.
  void Reserve(size_t capacity) {
    if (capacity <= m_capacity) return;
    const size_t bytes = capacity * sizeof(T);
    void* p = m_data == nullptr
                  ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                  : mremap(m_data, m_capacity * sizeof(T), bytes, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without large pages it only runs slower
    m_data = static_cast<T*>(p);
    m_capacity = capacity;
  }
  void PushBack(const T& v) {
    if (m_size == m_capacity) Reserve(m_capacity < 4096 ? 8192 : m_capacity * 2);
    m_data[m_size++] = v;
  }
  // Sets the size (at most the capacity); elements beyond it are kept as
  // they are.
  void Resize(size_t size) { m_size = size; }
  // Unmaps the memory: the array is empty and holds no memory.
  void Release() {
    if (m_data != nullptr) munmap(m_data, m_capacity * sizeof(T));
    m_data = nullptr;
    m_size = m_capacity = 0;
  }
  T* data() const { return m_data; }
  size_t size() const { return m_size; }
  size_t capacity() const { return m_capacity; }
  const T& operator[](size_t i) const { return m_data[i]; }

 private:
  T* m_data = nullptr;
  size_t m_size = 0;
  size_t m_capacity = 0;
};

using RecordArray = MappedArray<DumpRecord>;

// Records with consecutive places in the sorted order of a table.
struct RecordSpan {
  const DumpRecord* begin;
  size_t size;
};

// The records of a sorted table (DumpTable::sorted()) in key order, span
// after span.
class SortedCursor {
 public:
  explicit SortedCursor(const std::vector<RecordSpan>& spans)
      : m_span(spans.data()), m_spansEnd(spans.data() + spans.size()) {
    Enter();
  }
  bool done() const { return m_at == nullptr; }
  const DumpRecord& record() const { return *m_at; }
  // Whether the record after this one has the same key (no key is in two
  // spans).
  bool NextSameKey() const { return m_at + 1 != m_end && m_at[1].key == m_at->key; }
  void Advance() {
    if (++m_at == m_end) {
      ++m_span;
      Enter();
    }
  }

 private:
  // Goes to the first record of the first span from m_span that has one.
  void Enter() {
    while (m_span != m_spansEnd && m_span->size == 0) ++m_span;
    if (m_span == m_spansEnd) {
      m_at = m_end = nullptr;
      return;
    }
    m_at = m_span->begin;
    m_end = m_at + m_span->size;
  }
  const RecordSpan* m_span;
  const RecordSpan* m_spansEnd;
  const DumpRecord* m_at = nullptr;
  const DumpRecord* m_end = nullptr;
};

class DumpTable {
 public:
  DumpTable() = default;
  ~DumpTable();
  DumpTable(const DumpTable&) = delete;
  DumpTable& operator=(const DumpTable&) = delete;

  // Opens the dump at `path`, or standard input for "-" (`label` names it
  // in messages, e.g. "OLD").
  // Returns false with `*error` set when it cannot be opened or is not a
  // regular file.
  bool Open(const std::string& path, const std::string& label, std::string* error);

  // Called after each piece of the file is taken (every 1 MiB), with the
  // rows read so far held; false stops the load, which then fails with
  // `*error` (left empty when the caller knows why it stopped).
  using AfterPiece = std::function<bool(DumpTable& table, std::string* error)>;

  // Reads the whole file into the table through reads (never mapped: a
  // file that another process truncates must not end the program with
  // SIGBUS), adding the bytes read to `*progress` as it goes. Returns false
  // with `*error` set to
  // "LABEL 'path' line N: reason: 'text of the line'" for a first line that
  // is not the header, a row that is not five integers in the dump's form,
  // a last line without a line end, or a read error. Lines may end in CR LF
  // (as written) or LF.
  bool Load(std::atomic<uint64_t>* progress, std::string* error,
            const AfterPiece& afterPiece = nullptr);

  // Decides how Sort (DumpSort.cpp) sorts the records held; call it once
  // they are all there. Then SortScratch() is the records of scratch that Sort needs: 0
  // when they are in order, twice the longest run when every volume is one
  // run, else as many as the records held.
  void PlanSort();
  size_t SortScratch() const { return m_sortScratch; }
  // Sorts the records by key on two threads, keeping rows with equal keys in
  // file order, so the first of equal keys is the first occurrence in the
  // file. `scratch` holds room for SortScratch() records. Then sorted() gives
  // the records in key order, no key in two spans.
  void Sort(DumpRecord* scratch);
  const std::vector<RecordSpan>& sorted() const { return m_sorted; }

  // For a diff that does not fit in memory (DiffPartitions.h): lets go of
  // the records held (and their memory when `release`), keeping the counts
  // and mount path ids; and takes records from elsewhere in place of a file.
  void DropHeld(bool release);
  void Adopt(RecordArray&& records, MappedArray<uint64_t>&& bigSizes);
  // Hands the records' memory back, for the next records to take.
  void GiveBack(RecordArray* records, MappedArray<uint64_t>* bigSizes);

  uint64_t fileSize() const { return m_fileSize; }
  int fd() const { return m_fd; }
  // Rows read from the file (Adopt: rows taken), and the records held.
  uint64_t rows() const { return m_rows; }
  size_t held() const { return m_records.size(); }
  const DumpRecord* records() const { return m_records.data(); }
  // The bytes of memory the records held take, their sizes beside them included.
  uint64_t heldBytes() const {
    return m_records.size() * sizeof(DumpRecord) + m_bigSizes.size() * sizeof(uint64_t) +
           m_runStarts.size() * sizeof(size_t);
  }
  // Mount path id of the first row (0 for a file without rows), and whether
  // some row names another one.
  int32_t mountPathId() const { return m_mountPathId; }
  bool mixedMountPathIds() const { return m_mixedMountPathIds; }

  uint64_t SizeOf(const DumpRecord& r) const {
    return (r.value & kBigSize) == 0 ? r.value >> 1 : m_bigSizes[(r.value & ~kBigSize) >> 1];
  }
  static int FlagOf(const DumpRecord& r) { return static_cast<int>(r.value & 1); }

 private:
  // Parses one line [begin, end) (without its line end) in full; used when
  // the fast path does not take a line. Returns false with `*reason` set.
  bool ParseLineSlowly(const char* begin, const char* end, std::string* reason);
  void Add(int32_t mountPathId, int32_t volumeId, int32_t chunkId, uint64_t size, int flag);
  void AddOfVolume(int32_t chunkId, uint64_t size, int flag);
  // Holds the record of `key` with `size` and `flag`.
  void Push(uint64_t key, uint64_t size, int flag);
  // Notes the key of the record about to be held at `index`, for Sort.
  void NoteKey(uint64_t key, size_t index);
  // A run of another volume starts at `index`.
  void NewRun(size_t index);
  // Takes the lines of [p, stop), which ends in '\n': the header when no line
  // has been taken yet, then rows. `*line` counts the lines taken.
  bool ParseLines(const char* p, const char* stop, uint64_t* line, std::string* error);
  // The first line of [p, stop): past it when it is the header, else
  // nullptr with `*error` set.
  const char* TakeHeader(const char* p, const char* stop, std::string* error);
  bool LoadByReading(std::atomic<uint64_t>* progress, std::string* error,
                     const AfterPiece& afterPiece);
  void SortRuns(DumpRecord* scratch);
  void SortWhole(DumpRecord* scratch);
  // The message for a last line `text` without a line end.
  std::string CutShort(uint64_t line, const char* text, size_t size) const;
  std::string Where(uint64_t line) const;

  std::string m_path;
  std::string m_label;
  int m_fd = -1;
  uint64_t m_fileSize = 0;
  uint64_t m_rows = 0;
  RecordArray m_records;
  // Sizes of kInlineSizes and more, by the index their records hold.
  MappedArray<uint64_t> m_bigSizes;
  int32_t m_mountPathId = 0;
  bool m_mixedMountPathIds = false;
  // Kept while loading, for Sort: whether the keys came in order, and which
  // key bits vary (OR of every key XOR the first key).
  bool m_inOrder = true;
  uint64_t m_firstKey = 0;
  uint64_t m_lastKey = 0;
  uint64_t m_varyingBits = 0;
  // Where each run of one volume starts among the records held, while
  // `m_grouped`: given up once runs are many (a file not grouped by volume).
  bool m_grouped = true;
  uint32_t m_runVolume = 0;
  std::vector<size_t> m_runStarts;
  // From PlanSort: the sort chosen, its scratch, and the runs in volume order.
  enum class SortKind { kNone, kRuns, kWhole } m_sortKind = SortKind::kNone;
  size_t m_sortScratch = 0;
  std::vector<RecordSpan> m_sorted;
};

}  // namespace tzcli
