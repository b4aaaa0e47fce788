// The rows of a chunk-lister dump file, read into a compact table for
// comparing two dumps.
//
// Every row becomes one 12-byte record: a 64-bit key that orders by volume id
// then chunk id, and a 32-bit value holding the single-instance flag and the
// size, or for sizes of 1 GiB and more the index of the size in a side table
// (8 bytes more for such a row). A table of N rows takes 12 N bytes, and
// sorting takes 12 bytes a row more.
// The mount path id is not kept per row: a dump holds one mount path, so the
// table remembers the first row's id and whether any other row differs.
#pragma once

#include <atomic>
#include <cstdint>
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

// Records in anonymous memory mapped for them: a reserve that no row reaches
// costs address space only, and large pages keep the page faults few.
class RecordArray {
 public:
  RecordArray() = default;
  ~RecordArray();
  RecordArray(const RecordArray&) = delete;
  RecordArray& operator=(const RecordArray&) = delete;

  // Makes room for `capacity` records; throws std::bad_alloc when the memory
  // cannot be mapped.
  void Reserve(size_t capacity);
  void PushBack(const DumpRecord& r) {
    if (m_size == m_capacity) Reserve(m_capacity < 4096 ? 8192 : m_capacity * 2);
    m_data[m_size++] = r;
  }
  DumpRecord* data() const { return m_data; }
  size_t size() const { return m_size; }
  const DumpRecord& operator[](size_t i) const { return m_data[i]; }

 private:
  DumpRecord* m_data = nullptr;
  size_t m_size = 0;
  size_t m_capacity = 0;
};

class DumpTable {
 public:
  // Opens the dump at `path`, or standard input for "-" (`label` names it
  // in messages, e.g. "OLD").
  // Returns false with `*error` set when it cannot be opened or is not a
  // regular file.
  bool Open(const std::string& path, const std::string& label, std::string* error);
  ~DumpTable();

  // Reads the whole file into the table (a regular file through a mapping
  // that is let go behind the reading, anything else through reads), adding
  // the bytes read to `*progress` as it goes. Returns false with `*error` set to
  // "LABEL 'path' line N: reason: 'text of the line'" for a first line that
  // is not the header, a row that is not five integers in the dump's form,
  // a last line without a line end, or a read error. Lines may end in CR LF
  // (as written) or LF.
  bool Load(std::atomic<uint64_t>* progress, std::string* error);

  // Sorts the records by key on two threads, keeping rows with equal keys in
  // file order, so the first of equal keys is the first occurrence in the
  // file. `scratch` holds room for rows() records.
  void Sort(DumpRecord* scratch);

  uint64_t fileSize() const { return m_fileSize; }
  size_t rows() const { return m_records.size(); }
  const DumpRecord* records() const { return m_records.data(); }
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
  // Takes the lines of [p, stop), which ends in '\n': the header when no line
  // has been taken yet, then rows. `*line` counts the lines taken.
  bool ParseLines(const char* p, const char* stop, uint64_t* line, std::string* error);
  bool LoadByReading(std::atomic<uint64_t>* progress, std::string* error);
  // The message for a last line `text` without a line end.
  std::string CutShort(uint64_t line, const char* text, size_t size) const;
  std::string Where(uint64_t line) const;

  std::string m_path;
  std::string m_label;
  int m_fd = -1;
  uint64_t m_fileSize = 0;
  RecordArray m_records;
  // Sizes of kInlineSizes and more, by the index their records hold.
  std::vector<uint64_t> m_bigSizes;
  int32_t m_mountPathId = 0;
  bool m_mixedMountPathIds = false;
  // Kept while loading, for Sort: whether the keys came in order, and which
  // key bits vary (OR of every key XOR the first key).
  bool m_inOrder = true;
  uint64_t m_firstKey = 0;
  uint64_t m_lastKey = 0;
  uint64_t m_varyingBits = 0;
};

}  // namespace tzcli
