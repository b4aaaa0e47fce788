// Sorting a dump table (DumpTable.h): a dump's volumes run by run, anything
// else as a whole.
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "DumpTable.h"

namespace tzcli {

namespace {

// Runs `work(0)` here and `work(1)` on a second thread.
template <typename Work>
void OnTwoThreads(const Work& work) {
  std::thread second([&] { work(1); });
  work(0);
  second.join();
}

// Sorts the `n` records of one volume's run at `r` by chunk id, stably,
// with room for `n` records at `scratch`: least significant byte first over
// the bits that vary, insertion for a few records.
void SortRun(DumpRecord* r, size_t n, DumpRecord* scratch) {
  if (n < 2) return;
  const uint32_t first = static_cast<uint32_t>(r[0].key);
  uint32_t varying = 0, previous = first;
  bool ordered = true;
  for (size_t i = 1; i < n; ++i) {
    const uint32_t chunk = static_cast<uint32_t>(r[i].key);
    varying |= chunk ^ first;
    ordered &= previous <= chunk;
    previous = chunk;
  }
  if (ordered) return;
  if (n <= 24) {
    for (size_t i = 1; i < n; ++i) {
      const DumpRecord x = r[i];
      size_t k = i;
      for (; k > 0 && static_cast<uint32_t>(r[k - 1].key) > static_cast<uint32_t>(x.key); --k)
        r[k] = r[k - 1];
      r[k] = x;
    }
    return;
  }
  DumpRecord* from = r;
  DumpRecord* to = scratch;
  for (int shift = 0; shift < 32 && (varying >> shift) != 0; shift += 8) {
    shift += __builtin_ctz(varying >> shift);
    size_t slot[256] = {};
    for (size_t i = 0; i < n; ++i) ++slot[(static_cast<uint32_t>(from[i].key) >> shift) & 255];
    size_t offset = 0;
    for (size_t& s : slot) {
      const size_t count = s;
      s = offset;
      offset += count;
    }
    for (size_t i = 0; i < n; ++i)
      to[slot[(static_cast<uint32_t>(from[i].key) >> shift) & 255]++] = from[i];
    std::swap(from, to);
  }
  if (from != r) std::memcpy(r, from, n * sizeof(DumpRecord));
}

}  // namespace

void DumpTable::PlanSort() {
  const size_t n = m_records.size();
  DumpRecord* const records = m_records.data();
  m_sorted.clear();
  m_sortScratch = 0;
  m_sortKind = SortKind::kWhole;
  if (m_inOrder || n < 2) {
    m_sortKind = SortKind::kNone;
    if (n > 0) m_sorted.push_back({records, n});
    return;
  }
  const size_t runs = m_runStarts.size();
  if (m_grouped && runs > 0 && runs < (size_t{1} << 32)) {
    // The runs in volume order, the earlier first for one volume.
    std::vector<uint64_t> order(runs);
    for (size_t k = 0; k < runs; ++k)
      order[k] = (records[m_runStarts[k]].key >> 32) << 32 | k;
    std::sort(order.begin(), order.end());
    bool once = true;  // every volume is one run
    for (size_t k = 1; k < runs && once; ++k) once = order[k] >> 32 != order[k - 1] >> 32;
    // The runs are sorted on two threads, the first half of the rows
    // (in file order) on one; each thread needs room for its longest run.
    const auto runSize = [&](size_t k) {
      return (k + 1 < runs ? m_runStarts[k + 1] : n) - m_runStarts[k];
    };
    size_t longest[2] = {0, 0};
    for (size_t k = 0; k < runs; ++k) {
      const int half = m_runStarts[k] < n / 2 ? 0 : 1;
      longest[half] = std::max(longest[half], runSize(k));
    }
    if (once && longest[0] + longest[1] < n) {
      m_sortKind = SortKind::kRuns;
      m_sortScratch = longest[0] + longest[1];
      m_sorted.reserve(runs);
      for (const uint64_t o : order) {
        const size_t k = static_cast<uint32_t>(o);
        m_sorted.push_back({records + m_runStarts[k], runSize(k)});
      }
      return;
    }
  }
  m_sortScratch = n;
  m_sorted.push_back({records, n});
}

void DumpTable::Sort(DumpRecord* scratch) {
  if (m_sortKind == SortKind::kRuns) SortRuns(scratch);
  else if (m_sortKind == SortKind::kWhole) SortWhole(scratch);
  m_sortKind = SortKind::kNone;
  m_inOrder = true;
}

void DumpTable::SortRuns(DumpRecord* scratch) {
  const size_t n = m_records.size();
  const size_t runs = m_runStarts.size();
  // The first thread's runs start in the first half of the rows.
  const size_t split = static_cast<size_t>(
      std::lower_bound(m_runStarts.begin(), m_runStarts.end(), n / 2) - m_runStarts.begin());
  size_t longestFirst = 0;
  for (size_t k = 0; k < split; ++k)
    longestFirst = std::max(longestFirst, (k + 1 < runs ? m_runStarts[k + 1] : n) - m_runStarts[k]);
  DumpRecord* const records = m_records.data();
  OnTwoThreads([&](int half) {
    DumpRecord* const room = scratch + (half == 0 ? 0 : longestFirst);
    for (size_t k = half == 0 ? 0 : split; k < (half == 0 ? split : runs); ++k) {
      const size_t end = k + 1 < runs ? m_runStarts[k + 1] : n;
      SortRun(records + m_runStarts[k], end - m_runStarts[k], room);
    }
  });
}

void DumpTable::SortWhole(DumpRecord* scratch) {
  const size_t n = m_records.size();
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
  const auto onBothHalves = [](const auto& work) { OnTwoThreads(work); };
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
}

}  // namespace tzcli
