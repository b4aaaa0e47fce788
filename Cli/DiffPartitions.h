// `tzrecon diff --memory SIZE`: a diff whose rows do not fit in memory.
//
// Both inputs are read into memory as the diff always reads them, as long as
// the records held (12 bytes a row) fit the limit. Once they do not, every
// record is written instead to temporary files, one for each key range
// ("part") and input, in the order read: the ranges are cut at volume ids
// (at chunk ids within a volume too large for one part) from a sample of the
// inputs' lines, so that each part holds about half of what fits. The parts
// are then compared one after the other, in key order, each read back and
// sorted in memory as a whole diff would be. A part that turns out too large
// is cut again, from a sample of its own records. The rows of one key are
// always in one part, in file order, so the differences, the first of
// duplicate rows and the summary are the same as when everything fits.
//
// The temporary files have no name (O_TMPFILE; where the file system does not
// offer it, a name unlinked as soon as the file is open): they take disk
// space only while open, and nothing is left behind however the process
// ends, killed included.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "DumpTable.h"
#include "PartFiles.h"

namespace tzcli {

// SIZE of --memory: a decimal number of bytes, or followed by K, M, G or T
// (powers of 1024; "KiB", "KB" and the lower case alike). Throws UsageError.
uint64_t ParseMemorySize(const std::string& text);
// A quarter of the physical memory.
uint64_t DefaultMemoryLimit();
// $TMPDIR when set, else /tmp.
std::string DefaultTempDir();

struct SpillStats {
  bool spilled = false;
  uint64_t parts = 0;        // parts compared
  uint64_t splits = 0;       // parts cut again
  uint64_t tempBytesWritten = 0;
  uint64_t tempPeakBytes = 0;  // the most held in temporary files at once
  double splitSeconds = 0;     // spent cutting parts again
};

class DiffSpill {
 public:
  // `limit`: bytes of memory for the records (see the file comment);
  // `tables`: OLD and NEW, opened, loaded with Hook().
  DiffSpill(uint64_t limit, std::string tempDir, DumpTable* oldTable, DumpTable* newTable);
  ~DiffSpill();
  DiffSpill(const DiffSpill&) = delete;
  DiffSpill& operator=(const DiffSpill&) = delete;

  // What the load of input `side` (0 OLD, 1 NEW) calls after each piece.
  DumpTable::AfterPiece Hook(int side);
  // Input `side` failed to load: once OLD has (whose message comes first),
  // NEW stops at its next piece.
  void Failed(int side);
  // Whether the records held and `scratchRecords` of sort scratch fit.
  bool Fits(uint64_t scratchRecords) const;
  // Writes the records held to parts (when sorting them would not fit);
  // false with `*error` set.
  bool SpillHeld(std::string* error);
  bool spilled() const { return m_spilled.load(); }

  // With spilled(), once both inputs are loaded: writes what is still held
  // (an input read to its end before the other went over the limit), and
  // ends the writing of the parts. False with `*error` set.
  bool EndWriting(std::string* error);
  // Then compares the parts in key order, giving `merge` the sorted tables
  // of each. False with `*error` set (a temporary file that could not be
  // made, written or read).
  using MergePart = std::function<void(const DumpTable& oldPart, const DumpTable& newPart)>;
  bool ForEachPart(const MergePart& merge, std::string* error);

  SpillStats stats() const;
  // The parts compared and the parts known so far, for a status line.
  uint64_t partsDone() const { return m_partsDone.load(std::memory_order_relaxed); }
  uint64_t partsKnown() const { return m_partsKnown.load(std::memory_order_relaxed); }

 private:
  bool Piece(int side, DumpTable& table, std::string* error);
  // Cuts the key space into the first parts, once (`m_mutex` held).
  void Begin();
  bool Drain(int side, DumpTable& table, std::string* error);
  bool Process(Part& part, int depth, const MergePart& merge, std::string* error);
  bool Compare(Part& part, const MergePart& merge, std::string* error);
  bool Split(Part& part, std::vector<Part>* children, std::string* error);
  uint64_t WriterBudget() const { return m_limit / 8; }

  const uint64_t m_limit;
  const std::string m_tempDir;
  DumpTable* m_tables[2];
  std::mutex m_mutex;
  std::atomic<bool> m_spilled{false};
  std::atomic<uint64_t> m_held[2];
  std::atomic<bool> m_failed[2];
  // Before the files that count on it (members go in reverse order).
  TempSpace m_space;
  std::vector<uint64_t> m_cuts;  // where each first part but the first starts
  std::unique_ptr<PartWriters> m_writers[2];
  std::vector<Part> m_firstParts;
  PartMemory m_memory[2];
  uint64_t m_parts = 0;
  uint64_t m_splits = 0;
  double m_splitSeconds = 0;
  std::atomic<uint64_t> m_partsDone{0};
  std::atomic<uint64_t> m_partsKnown{0};
};

}  // namespace tzcli
