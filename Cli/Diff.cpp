#include "Diff.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <nlohmann/json.hpp>
#include <thread>

#include "Args.h"
#include "DiffFolders.h"
#include "DiffPartitions.h"
#include "DumpRecord.h"
#include "DumpTable.h"
#include "Interrupted.h"
#include "DiffOutput.h"
#include "Human.h"
#include "Metrics.h"
#include "Progress.h"
#include "Signals.h"

namespace tzcli {

namespace {

const char kDiffHelp[] =
    "usage: tzrecon diff OLD NEW [--output FILE] [--json] [--allow-incomplete]\n"
    "                            [--memory SIZE] [--temp-dir DIR]\n"
    "                            [--human] [--metrics FILE]\n"
    "       tzrecon diff OLD_DIR NEW_DIR --output OUT_DIR [--jobs N] [--json]\n"
    "\n"
    "Compares two chunk-lister dump files. A chunk is known by its volume id and\n"
    "chunk id; the mount path id is not part of it, so dumps of two mount paths\n"
    "holding copies of the same chunks compare.\n"
    "\n"
    "The differences are written as CSV (lines end in LF), ordered by volume id\n"
    "then chunk id:\n"
    "  Change,Volume-ID,Chunk-ID,Old-Size,New-Size,Old-SIVolume,New-SIVolume\n"
    "where Change is\n"
    "  missing    in OLD only (the New fields are empty)\n"
    "  new        in NEW only (the Old fields are empty)\n"
    "  changed    in both, with another size or single-instance flag\n"
    "  duplicate  a chunk listed more than once in OLD (the Old fields hold its\n"
    "             first row) or in NEW (the New fields), and not compared further\n"
    "\n"
    "A summary goes to standard error: the rows of each file, the count and\n"
    "bytes of each kind, and the ten volumes with the most bytes missing.\n"
    "\n"
    "A dump file that tzrecon dump wrote has a record beside it, FILE.json. A\n"
    "file whose record says the dump failed, or whose rows, size or SHA-256 are\n"
    "not the record's, is refused (status 2) unless --allow-incomplete is given;\n"
    "a file without a record is compared, its completeness shown as unknown.\n"
    "\n"
    "options:\n"
    "  --output FILE  write the differences to FILE, a new file (one that exists,\n"
    "                 an input above all, is refused), instead of standard output\n"
    "  --json         print the summary as one JSON object on standard output;\n"
    "                 the differences are then written only with --output\n"
    "  --allow-incomplete  compare a file whose record says it is incomplete\n"
    "  --memory SIZE  the memory the rows may take: bytes, or a number followed by\n"
    "                 K, M, G or T (powers of 1024), as in 512M or 2G (default: a\n"
    "                 quarter of the physical memory); see Memory below\n"
    "  --temp-dir DIR  where the rows go when they do not fit in SIZE (default:\n"
    "                 $TMPDIR, else /tmp)\n"
    "  --human        sizes in KiB, MiB, GiB, TiB beside the bytes (the default\n"
    "                 when standard error, where the summary goes, is a terminal)\n"
    "  --metrics FILE write the outcome as Prometheus text metrics to FILE\n"
    "                 (replaced atomically; written when the diff fails too)\n"
    "\n"
    "OLD or NEW (not both) may be '-', standard input.\n"
    "\n"
    "Exit status: 0 the files hold the same chunks with the same sizes and\n"
    "flags, 1 they differ, 2 bad input (a file that cannot be read, a first line\n"
    "that is not the dump header, a row that is not five integers: the message\n"
    "gives the file, line and text; FILE is then not made), an incomplete input\n"
    "(above), a bad command line, or differences or temporary files that could\n"
    "not be written.\n"
    "\n"
    "Memory: both files are held in memory, 12 bytes a row of each file (20 for\n"
    "sizes of 1 GiB and more), and sorted: a file that lists each volume's rows\n"
    "together (as dumps do) is sorted volume by volume, any other takes 12 bytes\n"
    "a row of the larger file more. When that would pass SIZE, the rows are\n"
    "written instead to temporary files in DIR by ranges of volume ids (12\n"
    "bytes a row), and the ranges are compared one after the other, each in\n"
    "memory; the differences and the summary are the same. The temporary files\n"
    "have no name: they take space only while the diff runs and are gone when it\n"
    "ends, however it ends. The program and its buffers take about 16 MiB more\n"
    "than SIZE. With --json, \"memory\" says whether the rows went to temporary\n"
    "files, the space they took and the peak memory, and \"phaseSeconds\" the\n"
    "time of each phase (read, sort, compare; or partition, split, diff).\n"
    "SIGINT, SIGTERM or SIGHUP end the diff with status 128 + the signal, FILE\n"
    "removed. On a terminal, progress is shown on standard error.\n";

const char* const kOutputHeader = kDiffOutputHeader;

enum Kind { kMissing, kNew, kChanged, kDuplicate, kKinds };
const char* const kKindNames[kKinds] = {"missing", "new", "changed", "duplicate"};
constexpr size_t kTopVolumes = 10;

// Sums of sizes stop at 2^64 - 1 rather than wrap.
uint64_t AddBytes(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }

struct Side {
  bool present = false;
  uint64_t size = 0;
  int flag = 0;
};

struct KindStats {
  uint64_t count = 0;
  uint64_t oldBytes = 0;  // sizes of the rows' Old fields
  uint64_t newBytes = 0;
  void Add(const Side& o, const Side& n) {
    ++count;
    if (o.present) oldBytes = AddBytes(oldBytes, o.size);
    if (n.present) newBytes = AddBytes(newBytes, n.size);
  }
};

struct VolumeStats {
  int32_t volumeId = 0;
  KindStats kinds[kKinds];
};

// Missing bytes first, then missing chunks, then the lower volume id.
bool MoreMissing(const VolumeStats& a, const VolumeStats& b) {
  const KindStats& x = a.kinds[kMissing];
  const KindStats& y = b.kinds[kMissing];
  if (x.oldBytes != y.oldBytes) return x.oldBytes > y.oldBytes;
  if (x.count != y.count) return x.count > y.count;
  return a.volumeId < b.volumeId;
}

// Buffered writes of the difference rows to a file descriptor; the first
// failure is kept and later writes are dropped.
class RowWriter {
 public:
  explicit RowWriter(int fd) : m_fd(fd) { m_buffer.reserve(kFlushAt + 256); }

  void Text(const char* text) { m_buffer.append(text); }
  void Row(Kind kind, uint64_t key, const Side& o, const Side& n) {
    if (m_fd < 0) return;
    m_buffer.append(kKindNames[kind]);
    Field(true, VolumeIdOf(key));
    Field(true, ChunkIdOf(key));
    Field(o.present, o.size);
    Field(n.present, n.size);
    Field(o.present, o.flag);
    Field(n.present, n.flag);
    m_buffer.push_back('\n');
    if (m_buffer.size() >= kFlushAt) Flush();
  }
  // Writes what is buffered; false once any write has failed.
  bool Flush() {
    if (m_error == 0 && !tzhost::WriteAll(m_fd, m_buffer.data(), m_buffer.size())) m_error = errno;
    m_buffer.clear();
    return m_error == 0;
  }
  int error() const { return m_error; }

 private:
  static constexpr size_t kFlushAt = 1 << 20;
  template <typename T>
  void Field(bool present, T value) {
    m_buffer.push_back(',');
    if (!present) return;
    char text[24];
    const auto r = std::to_chars(text, text + sizeof text, value);
    m_buffer.append(text, r.ptr);
  }
  int m_fd;
  int m_error = 0;
  std::string m_buffer;
};

struct Comparison {
  KindStats kinds[kKinds];
  std::vector<VolumeStats> top;  // at most kTopVolumes, by MoreMissing
};

// Merges pairs of sorted tables, writing a row per difference to `writer`
// (when given) and counting them. A diff that does not fit in memory merges
// one pair a key range, the ranges in order.
class Merger {
 public:
  explicit Merger(RowWriter* writer) : m_writer(writer) {}

  void Merge(const DumpTable& oldTable, const DumpTable& newTable) {
    SortedCursor a(oldTable.sorted()), b(newTable.sorted());
    while (!a.done() || !b.done()) {
      // The usual case: one row on each side, the same size and flag.
      if (!a.done() && !b.done()) {
        const DumpRecord& x = a.record();
        const DumpRecord& y = b.record();
        if (x.key == y.key && x.value == y.value && (x.value & kBigSize) == 0 && !a.NextSameKey() &&
            !b.NextSameKey()) {
          a.Advance();
          b.Advance();
          continue;
        }
      }
      const uint64_t key =
          b.done() || (!a.done() && a.record().key <= b.record().key) ? a.record().key : b.record().key;
      bool oldTwice = false, newTwice = false;
      const Side o = Take(oldTable, a, key, &oldTwice);
      const Side n = Take(newTable, b, key, &newTwice);
      if (oldTwice || newTwice)
        Note(kDuplicate, key, oldTwice ? o : Side(), newTwice ? n : Side());
      else if (!n.present)
        Note(kMissing, key, o, n);
      else if (!o.present)
        Note(kNew, key, o, n);
      else if (o.size != n.size || o.flag != n.flag)
        Note(kChanged, key, o, n);
    }
  }

  // The counts and the volumes with the most missing, once every pair is merged.
  Comparison Finish() {
    EndVolume();
    std::sort(m_result.top.begin(), m_result.top.end(), MoreMissing);
    return m_result;
  }

 private:
  // The first record of `key` at the cursor (absent when the cursor is not
  // at `key`), passing over every record of the key; `*twice` when there are
  // more than one.
  static Side Take(const DumpTable& table, SortedCursor& at, uint64_t key, bool* twice) {
    Side side;
    if (at.done() || at.record().key != key) return side;
    side.present = true;
    side.size = table.SizeOf(at.record());
    side.flag = DumpTable::FlagOf(at.record());
    for (;;) {
      const bool more = at.NextSameKey();
      at.Advance();
      if (!more) break;
      *twice = true;
    }
    return side;
  }

  void Note(Kind kind, uint64_t key, const Side& o, const Side& n) {
    const int32_t volumeId = VolumeIdOf(key);
    if (!m_haveVolume || volumeId != m_volume.volumeId) {
      EndVolume();
      m_volume = VolumeStats();
      m_volume.volumeId = volumeId;
      m_haveVolume = true;
    }
    m_volume.kinds[kind].Add(o, n);
    m_result.kinds[kind].Add(o, n);
    if (m_writer != nullptr) m_writer->Row(kind, key, o, n);
  }

  // Keeps the volume just finished when it is among the most missing so far.
  void EndVolume() {
    if (!m_haveVolume || m_volume.kinds[kMissing].count == 0) return;
    std::vector<VolumeStats>& top = m_result.top;
    if (top.size() < kTopVolumes) {
      top.push_back(m_volume);
      return;
    }
    auto least = std::min_element(top.begin(), top.end(), [](const VolumeStats& x, const VolumeStats& y) {
      return MoreMissing(y, x);
    });
    if (MoreMissing(m_volume, *least)) *least = m_volume;
  }

  RowWriter* m_writer;
  Comparison m_result;
  VolumeStats m_volume;
  bool m_haveVolume = false;
};

// Reading one file on a thread of its own.
struct Input {
  DumpTable table;
  std::atomic<uint64_t> bytesRead{0};
  bool ok = false;
  std::string error;
};

// The seconds of each phase, for --json: reading (with the rows written to
// parts when they do not fit), sorting and comparing (for parts: reading
// each back, sorting and comparing it).
struct Timings {
  double read = 0, sort = 0, compare = 0;
};

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads both inputs, one thread each, within the memory limit of `spill`;
// then, when they are held and sorting them fits, sorts them one after the
// other (each on two threads, sharing one scratch area), with a progress line
// on a terminal. Returns what went wrong besides the inputs' own failures
// ("" when nothing did).
std::string LoadBoth(Input* inputs, DiffSpill* spill, Timings* times) {
  const auto started = std::chrono::steady_clock::now();
  const auto percent = [](const Input& in) {
    const uint64_t size = in.table.fileSize();
    const uint64_t read = in.bytesRead.load(std::memory_order_relaxed);
    return size == 0 ? std::string("reading") : std::to_string(std::min(read, size) * 100 / size) + "%";
  };
  std::unique_ptr<StatusLine> status;
  if (isatty(STDERR_FILENO) == 1)
    status = std::make_unique<StatusLine>(
        [&](double) {
          return "reading OLD " + percent(inputs[0]) + ", NEW " + percent(inputs[1]) +
                 (spill->spilled() ? " (into parts)" : "");
        },
        "tzrecon diff: ");
  std::thread threads[2];
  try {
    for (int k = 0; k < 2; ++k)
      threads[k] = std::thread([&in = inputs[k], spill, k] {
        in.ok = in.table.Load(&in.bytesRead, &in.error, spill->Hook(k));
        if (!in.ok) spill->Failed(k);
      });
  } catch (...) {
    // The thread that started is waited for: never left running (that
    // would end the program).
    for (std::thread& t : threads)
      if (t.joinable()) t.join();
    throw;
  }
  if (status) status->Start();
  for (std::thread& t : threads) t.join();
  if (status) status->Halt();
  const bool shown = status && status->Shown();
  std::string error;
  if (inputs[0].ok && inputs[1].ok && !spill->spilled()) {
    for (int k = 0; k < 2; ++k) inputs[k].table.PlanSort();
    const size_t most = std::max(inputs[0].table.SortScratch(), inputs[1].table.SortScratch());
    // Sorting that does not fit beside the rows: the rows go to parts.
    if (!spill->Fits(most)) spill->SpillHeld(&error);
  }
  if (inputs[0].ok && inputs[1].ok && error.empty() && spill->spilled()) spill->EndWriting(&error);
  times->read = Since(started);
  if (!inputs[0].ok || !inputs[1].ok || !error.empty() || spill->spilled()) {
    if (shown) status->Erase();
    return error;
  }
  const auto sorting = std::chrono::steady_clock::now();
  if (shown) status->Write("sorting");
  const size_t most = std::max(inputs[0].table.SortScratch(), inputs[1].table.SortScratch());
  RecordArray scratch;
  if (most > 0) scratch.Reserve(most);
  for (int k = 0; k < 2; ++k) inputs[k].table.Sort(scratch.data());
  if (shown) status->Erase();
  times->sort = Since(sorting);
  return error;
}

// The completeness of each input from its record; false with `*error` set
// when one is known to be incomplete and `allow` is not given.
bool CheckInputs(const std::string paths[2], bool allow, Completeness out[2],
                       std::string* error) {
  for (int k = 0; k < 2; ++k) {
    out[k] = CheckCompleteness(paths[k]);
    const std::string& state = out[k].state;
    if (allow || state == "complete" || state == "unknown") continue;
    *error = std::string(k == 0 ? "OLD" : "NEW") + " '" + paths[k] + "' " +
             (state == "failed" ? "is a failed dump: " : "does not match its record: ") +
             out[k].reason + "; give --allow-incomplete to compare it anyway";
    return false;
  }
  return true;
}

std::string CompletenessText(const Completeness& c) {
  if (c.state == "complete") return " (complete: its record agrees)";
  if (c.state == "unknown") return " (completeness unknown: no record)";
  return std::string(" (") + (c.state == "failed" ? "INCOMPLETE" : "NOT AS RECORDED") + ": " +
         c.reason + "; compared because of --allow-incomplete)";
}

nlohmann::ordered_json KindJson(const KindStats& k) {
  return {{"count", k.count}, {"oldBytes", k.oldBytes}, {"newBytes", k.newBytes}};
}

nlohmann::ordered_json FileJson(const std::string& path, const DumpTable& t, const Completeness& c) {
  nlohmann::ordered_json j = {{"file", path}, {"rows", t.rows()}, {"completeness", c.state}};
  j["completenessReason"] = c.reason.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(c.reason);
  j["mountPathId"] = t.rows() > 0 ? nlohmann::ordered_json(t.mountPathId()) : nlohmann::ordered_json();
  j["mixedMountPathIds"] = t.mixedMountPathIds();
  return j;
}

std::string FileLine(const char* label, const std::string& path, const DumpTable& t,
                     const Completeness& c) {
  std::string line = std::string(label) + " " + path + ": " + std::to_string(t.rows()) + " rows";
  if (t.rows() > 0) line += ", mount path id " + std::to_string(t.mountPathId());
  if (t.mixedMountPathIds()) line += " (other ids on some rows)";
  return line + CompletenessText(c) + "\n";
}

std::string KindText(Kind kind, const KindStats& k) {
  if (HumanSizes())
    return HumanKindText(kKindNames[kind], k.count, kind != kNew, k.oldBytes, kind != kMissing,
                         k.newBytes);
  std::string text = std::to_string(k.count) + " " + kKindNames[kind];
  if (kind == kMissing) return text + " (" + std::to_string(k.oldBytes) + " bytes)";
  if (kind == kNew) return text + " (" + std::to_string(k.newBytes) + " bytes)";
  return text + " (" + std::to_string(k.oldBytes) + " bytes in OLD, " + std::to_string(k.newBytes) +
         " in NEW)";
}

// The summary as one JSON object on standard output; false when it cannot
// be written.
bool PrintJsonSummary(const std::string paths[2], const Input inputs[2],
                      const Completeness completeness[2], const Comparison& result,
                      uint64_t differences, bool idsDiffer, const std::string& outputPath,
                      const nlohmann::ordered_json& run) {
  nlohmann::ordered_json summary;
  summary["old"] = FileJson(paths[0], inputs[0].table, completeness[0]);
  summary["new"] = FileJson(paths[1], inputs[1].table, completeness[1]);
  summary["mountPathIdsDiffer"] = idsDiffer;
  summary["same"] = differences == 0;
  summary["differences"] = differences;
  for (int k = 0; k < kKinds; ++k) summary["kinds"][kKindNames[k]] = KindJson(result.kinds[k]);
  summary["topMissingVolumes"] = nlohmann::ordered_json::array();
  for (const VolumeStats& v : result.top) {
    nlohmann::ordered_json volume = {{"volumeId", v.volumeId}};
    for (int k = 0; k < kKinds; ++k) volume[kKindNames[k]] = KindJson(v.kinds[k]);
    summary["topMissingVolumes"].push_back(volume);
  }
  summary["output"] = outputPath.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(outputPath);
  for (const auto& [name, value] : run.items()) summary[name] = value;
  const std::string text = summary.dump() + "\n";
  return fwrite(text.data(), 1, text.size(), stdout) == text.size() && fflush(stdout) == 0;
}

// "1 missing (10 bytes); 0 new (0 bytes); ...": the kinds of `kinds` that
// `all` or a count shows.
std::string KindsText(const KindStats kinds[kKinds], bool all) {
  std::string text;
  for (int k = 0; k < kKinds; ++k)
    if (all || kinds[k].count > 0)
      text += std::string(k == 0 ? " " : "; ") + KindText(static_cast<Kind>(k), kinds[k]);
  return text;
}

// The summary as text on standard error.
void PrintTextSummary(const std::string paths[2], const Input inputs[2],
                      const Completeness completeness[2], const Comparison& result,
                      uint64_t differences, bool idsDiffer) {
  const DumpTable& oldTable = inputs[0].table;
  const DumpTable& newTable = inputs[1].table;
  std::string text = FileLine("OLD", paths[0], oldTable, completeness[0]) +
                     FileLine("NEW", paths[1], newTable, completeness[1]);
  if (idsDiffer)
    text += "the mount path ids differ (" + std::to_string(oldTable.mountPathId()) + " and " +
            std::to_string(newTable.mountPathId()) +
            "): chunks are matched by volume id and chunk id only\n";
  if (differences == 0)
    text += "no differences: the same chunks with the same sizes and flags\n";
  else
    text += std::to_string(differences) + " differences:" + KindsText(result.kinds, true) + "\n";
  if (!result.top.empty()) {
    text += "volumes with the most bytes missing:\n";
    for (const VolumeStats& v : result.top)
      text += "  volume " + std::to_string(v.volumeId) + ":" + KindsText(v.kinds, false) + "\n";
  }
  fputs(text.c_str(), stderr);
}

int Fail(const std::string& message) {
  fprintf(stderr, "tzrecon diff: %s\n", message.c_str());
  return 2;
}

// Opens both inputs and checks their records; false with `*error` set.
bool OpenInputs(const std::string paths[2], bool allowIncomplete, Input inputs[2],
                Completeness completeness[2], std::string* error) {
  return inputs[0].table.Open(paths[0], "OLD", error) &&
         inputs[1].table.Open(paths[1], "NEW", error) &&
         CheckInputs(paths, allowIncomplete, completeness, error);
}

// Loads and sorts both inputs (or writes them to parts); 0, or the exit
// status of a failure (told).
int Load(Input inputs[2], DiffSpill* spill, Timings* times) {
  std::string error;
  try {
    error = LoadBoth(inputs, spill, times);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory for sorting: both files are held in memory, see --help");
  } catch (const std::system_error& e) {
    return Fail(std::string("cannot start a thread: ") + e.what());
  }
  for (int k = 0; k < 2; ++k)
    if (!inputs[k].ok) return Fail(inputs[k].error);
  if (!error.empty()) return Fail(error);
  return 0;
}

// Compares the loaded inputs (or their parts, one after the other), writing
// the differences to `rowsFd` (none when it is -1); 0, or the exit status of
// a failure (told).
int Compare(const Input inputs[2], DiffSpill* spill, int rowsFd, const std::string& outputPath,
            Comparison* result, Timings* times) {
  const auto started = std::chrono::steady_clock::now();
  RowWriter writer(rowsFd);
  if (rowsFd >= 0) writer.Text(kOutputHeader);
  Merger merger(rowsFd >= 0 ? &writer : nullptr);
  if (!spill->spilled()) {
    merger.Merge(inputs[0].table, inputs[1].table);
  } else {
    std::unique_ptr<StatusLine> status;
    if (isatty(STDERR_FILENO) == 1) {
      status = std::make_unique<StatusLine>(
          [spill](double) {
            return "comparing part " + std::to_string(spill->partsDone()) + " of " +
                   std::to_string(spill->partsKnown());
          },
          "tzrecon diff: ");
      status->Start();
    }
    std::string error;
    const bool ok = spill->ForEachPart(
        [&](const DumpTable& o, const DumpTable& n) { merger.Merge(o, n); }, &error);
    if (status) {
      status->Halt();
      if (status->Shown()) status->Erase();
    }
    if (!ok) return Fail(error);
  }
  *result = merger.Finish();
  times->compare = Since(started);
  if (rowsFd >= 0 && !writer.Flush())
    return Fail(std::string("cannot write the differences to ") +
                (outputPath.empty() ? "standard output" : "'" + outputPath + "'") + ": " +
                std::strerror(writer.error()));
  return 0;
}

// The fields of --json on how the diff ran: the memory limit, whether the
// rows went to parts, the temporary space, the peak memory and the phases.
nlohmann::ordered_json RunJson(uint64_t limit, const std::string& tempDir, const SpillStats& s,
                               const Timings& t) {
  struct rusage usage;
  const uint64_t peak =
      getrusage(RUSAGE_SELF, &usage) == 0 ? static_cast<uint64_t>(usage.ru_maxrss) * 1024 : 0;
  nlohmann::ordered_json memory = {{"limit", limit},
                                   {"partitioned", s.spilled},
                                   {"parts", s.parts},
                                   {"partsCutAgain", s.splits},
                                   {"tempDir", tempDir},
                                   {"tempBytesWritten", s.tempBytesWritten},
                                   {"tempPeakBytes", s.tempPeakBytes},
                                   {"peakResidentBytes", peak}};
  nlohmann::ordered_json phases;
  if (s.spilled) {
    phases = {{"partition", t.read}, {"split", s.splitSeconds}, {"diff", t.compare - s.splitSeconds}};
  } else {
    phases = {{"read", t.read}, {"sort", t.sort}, {"compare", t.compare}};
  }
  return {{"memory", memory}, {"phaseSeconds", phases}};
}

}  // namespace

// The diff of a checked command line; `facts` receives what the metrics
// show.
static int Diff(const ParsedArgs& parsed, DiffFacts* facts) {
  if (parsed.positional.size() < 2) throw UsageError("needs two dump files, OLD and NEW");
  if (parsed.positional.size() > 2)
    throw UsageError("unexpected argument '" + parsed.positional[2] + "'");
  const std::string paths[2] = {parsed.positional[0], parsed.positional[1]};
  if (paths[0] == "-" && paths[1] == "-")
    throw UsageError("'-' (standard input) may be OLD or NEW, not both");
  const bool json = parsed.Has("--json");
  const std::string outputPath = parsed.Text("--output");
  const uint64_t limit =
      parsed.Has("--memory") ? ParseMemorySize(parsed.Text("--memory")) : DefaultMemoryLimit();
  const std::string tempDir = parsed.Text("--temp-dir", DefaultTempDir());
  // A stop signal removes the output made for the run (temporary files have
  // no name to remove).
  InstallDiffHandlers();

  Input inputs[2];
  Completeness completeness[2];
  std::string error;
  if (parsed.Has("--temp-dir") && !CheckTempDir(tempDir, &error)) return Fail(error);
  if (!OpenInputs(paths, parsed.Has("--allow-incomplete"), inputs, completeness, &error))
    return Fail(error);
  OutputFile output;
  if (!outputPath.empty() && !output.Create(outputPath, paths, &error)) return Fail(error);
  // On a failure from here on, `output` removes its file.
  DiffSpill spill(limit, tempDir, &inputs[0].table, &inputs[1].table);
  Timings times;
  if (const int status = Load(inputs, &spill, &times)) return status;
  const int rowsFd = !outputPath.empty() ? output.fd() : json ? -1 : STDOUT_FILENO;
  Comparison result;
  if (const int status = Compare(inputs, &spill, rowsFd, outputPath, &result, &times)) return status;
  if (!outputPath.empty() && !output.Commit(&error)) return Fail(error);

  uint64_t differences = 0;
  for (const KindStats& k : result.kinds) differences += k.count;
  const DumpTable& oldTable = inputs[0].table;
  const DumpTable& newTable = inputs[1].table;
  for (int k = 0; k < kKinds; ++k)
    facts->kinds.push_back({kKindNames[k], result.kinds[k].count, result.kinds[k].oldBytes,
                            result.kinds[k].newBytes});
  for (int k = 0; k < 2; ++k) {
    facts->rows[k] = inputs[k].table.rows();
    facts->mountPathKnown[k] = inputs[k].table.rows() > 0;
    facts->mountPathIds[k] = inputs[k].table.mountPathId();
  }
  const bool idsDiffer = oldTable.rows() > 0 && newTable.rows() > 0 &&
                         oldTable.mountPathId() != newTable.mountPathId();
  if (json) {
    if (!PrintJsonSummary(paths, inputs, completeness, result, differences, idsDiffer, outputPath,
                          RunJson(limit, tempDir, spill.stats(), times)))
      return Fail(std::string("cannot write the summary: ") + std::strerror(errno));
  } else {
    PrintTextSummary(paths, inputs, completeness, result, differences, idsDiffer);
  }
  facts->compared = true;
  return differences == 0 ? 0 : 1;
}

int RunDiff(const std::vector<std::string>& args) {
  if (IsFolderDiff(args)) return RunDiffFolders(args);  // two folders: DiffFolders.cpp
  const ParsedArgs parsed =
      ParseArgs(args, {{"--output", true}, {"--json", false}, {"--allow-incomplete", false},
                       {"--memory", true}, {"--temp-dir", true}, {"--human", false},
                       {"--metrics", true}});
  if (parsed.help) {
    fputs(kDiffHelp, stdout);
    fputs(kDiffFoldersHelp, stdout);
    return 0;
  }
  SetHumanSizes(WantHumanSizes(parsed.Has("--human"), STDERR_FILENO));
  const std::string metrics = parsed.Text("--metrics");
  if (!metrics.empty()) CheckMetricsPath(metrics);
  const auto started = std::chrono::steady_clock::now();
  DiffFacts facts;
  int status = 2;
  try {
    status = Diff(parsed, &facts);
  } catch (const UsageError&) {
    WriteDiffMetrics(metrics, facts, started, status);
    throw;
  }
  return WriteDiffMetrics(metrics, facts, started, status);
}

}  // namespace tzcli
