// The temporary files of a diff that does not fit in memory (DiffPartitions.h):
// one input's records of one key range ("part"), made without a name,
// written through a buffer, read back and loaded into a table to compare.
//
// A part file holds the records as the table holds them, 12 bytes each, in
// the order they were read. A record whose size is 1 GiB or more has its
// index bits clear and is followed by a continuation record: the size as its
// key, kContinuation as its value (which no record's value is).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "DumpTable.h"

namespace tzcli {

constexpr uint32_t kContinuation = 0xffffffffu;
constexpr uint64_t kRecordBytes = sizeof(DumpRecord);

// The memory that comparing a part of these records takes: the records as
// read (continuations included), the sizes of 1 GiB and more, and room to
// sort every row again beside them (13: with the run starts).
inline uint64_t PartNeed(uint64_t records, uint64_t rows, uint64_t bigs) {
  return records * kRecordBytes + bigs * sizeof(uint64_t) + rows * 13;
}

// Makes a temporary file in `dir` that has no name: O_TMPFILE, or where the
// file system refuses it, a new name unlinked at once (named to the signal
// handlers meanwhile). -1 with `*error` set.
int CreateTempFile(const std::string& dir, std::string* error);
// Whether a temporary file can be made in `dir`; false with `*error` set.
bool CheckTempDir(const std::string& dir, std::string* error);

// The space the temporary files take, shared by the threads that write them.
struct TempSpace {
  std::atomic<uint64_t> written{0};
  std::atomic<uint64_t> live{0};
  std::atomic<uint64_t> peak{0};
  void Wrote(uint64_t bytes);
  void Freed(uint64_t bytes) { live.fetch_sub(bytes, std::memory_order_relaxed); }
};

// One input's part file: the records it holds, continuations included.
struct PartFile {
  int fd = -1;
  uint64_t records = 0;
  uint64_t rows = 0;
  uint64_t bigs = 0;
};

// Closes a part file, whose space goes with it.
void ClosePart(PartFile& file, TempSpace* space);
// Reads `count` records of `file` from record `index` into `out`; false
// with `*error` set (`dir` names the folder in it).
bool ReadRecords(const PartFile& file, uint64_t index, uint64_t count, DumpRecord* out,
                 const std::string& dir, std::string* error);

// A key range and the part file of each input that holds its records.
struct Part {
  uint64_t lo = 0, hi = UINT64_MAX;  // keys, both included
  PartFile files[2];
};

// One input's writers of the parts that cut a range at `cuts` (the first key
// of each part but the first), a buffer of `bufferRecords` records each.
class PartWriters {
 public:
  PartWriters(std::vector<uint64_t> cuts, size_t bufferRecords, std::string dir, TempSpace* space)
      : m_cuts(std::move(cuts)), m_bufferRecords(bufferRecords), m_dir(std::move(dir)),
        m_space(space) {}
  ~PartWriters();
  PartWriters(const PartWriters&) = delete;
  PartWriters& operator=(const PartWriters&) = delete;

  // Makes the files; false with `*error` set.
  bool Open(std::string* error);
  // Adds a row's record (with its size, when big) to its part; false with
  // `*error` set.
  bool Put(const DumpRecord& r, uint64_t bigSize, std::string* error);
  // Adds every row of `file` (a part file cut again); false with `*error`
  // set.
  bool PutAll(const PartFile& file, std::string* error);
  // Writes what is buffered; false with `*error` set.
  bool Flush(std::string* error);
  // Gives input `side`'s part files to `parts` (one a part, the range
  // [lo, hi] cut at the cuts); the writers then hold none.
  void TakeInto(std::vector<Part>* parts, uint64_t lo, uint64_t hi, int side);

 private:
  struct Out {
    PartFile file;
    std::vector<DumpRecord> buffer;
  };
  void Enter(size_t part);
  bool Append(Out& out, const DumpRecord& r, std::string* error);
  bool FlushOne(Out& out, std::string* error);

  std::vector<uint64_t> m_cuts;
  size_t m_bufferRecords;
  std::string m_dir;
  TempSpace* m_space;
  std::vector<Out> m_outs;
  size_t m_current = 0;
  uint64_t m_lo = 0, m_hi = 0;  // the keys of the current part
};

// The memory in which one input's parts are compared, kept from part to
// part (memory mapped anew takes a page fault a page).
struct PartMemory {
  RecordArray records;
  MappedArray<uint64_t> bigs;
  RecordArray scratch;
};

// Reads one input's part into `table`, sorted, in `memory` (which `table`
// hands back with GiveBack). A part of one key only (one too large to be
// cut) keeps its first two rows: all that the merge looks at. False with
// `*error` set.
bool LoadPart(const PartFile& file, bool oneKey, const std::string& dir, PartMemory* memory,
              DumpTable* table, std::string* error);

}  // namespace tzcli
