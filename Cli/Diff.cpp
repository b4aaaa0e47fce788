#include "Diff.h"

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
#include "DumpRecord.h"
#include "DumpTable.h"
#include "Interrupted.h"
#include "DiffOutput.h"
#include "Human.h"
#include "Metrics.h"
#include "Progress.h"

namespace tzcli {

namespace {

const char kDiffHelp[] =
    "usage: tzrecon diff OLD NEW [--output FILE] [--json] [--allow-incomplete]\n"
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
    "(above), a bad command line, or differences that could not be written.\n"
    "\n"
    "Both files are held in memory: 12 bytes a row of each file (20 for sizes\n"
    "of 1 GiB and more), and while sorting 12 bytes a row of the larger file. On a terminal, progress\n"
    "is shown on standard error.\n";

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

// Merges the two sorted tables, writing a row per difference to `writer`
// (when given) and counting them.
class Merger {
 public:
  Merger(const DumpTable& oldTable, const DumpTable& newTable, RowWriter* writer)
      : m_old(oldTable), m_new(newTable), m_writer(writer) {}

  Comparison Run() {
    const DumpRecord* a = m_old.records();
    const DumpRecord* b = m_new.records();
    const size_t na = m_old.rows(), nb = m_new.rows();
    size_t i = 0, j = 0;
    while (i < na || j < nb) {
      // The usual case: one row on each side, the same size and flag.
      if (i < na && j < nb && a[i].key == b[j].key && a[i].value == b[j].value &&
          (a[i].value & kBigSize) == 0 && (i + 1 == na || a[i + 1].key != a[i].key) &&
          (j + 1 == nb || b[j + 1].key != b[j].key)) {
        ++i;
        ++j;
        continue;
      }
      const uint64_t key = j == nb || (i < na && a[i].key <= b[j].key) ? a[i].key : b[j].key;
      size_t iEnd = i, jEnd = j;
      while (iEnd < na && a[iEnd].key == key) ++iEnd;
      while (jEnd < nb && b[jEnd].key == key) ++jEnd;
      const Side o = SideOf(m_old, a, i, iEnd);
      const Side n = SideOf(m_new, b, j, jEnd);
      const bool oldTwice = iEnd - i > 1, newTwice = jEnd - j > 1;
      if (oldTwice || newTwice)
        Note(kDuplicate, key, oldTwice ? o : Side(), newTwice ? n : Side());
      else if (!n.present)
        Note(kMissing, key, o, n);
      else if (!o.present)
        Note(kNew, key, o, n);
      else if (o.size != n.size || o.flag != n.flag)
        Note(kChanged, key, o, n);
      i = iEnd;
      j = jEnd;
    }
    EndVolume();
    std::sort(m_result.top.begin(), m_result.top.end(), MoreMissing);
    return m_result;
  }

 private:
  static Side SideOf(const DumpTable& table, const DumpRecord* records, size_t begin, size_t end) {
    Side side;
    if (begin == end) return side;
    side.present = true;
    side.size = table.SizeOf(records[begin]);
    side.flag = DumpTable::FlagOf(records[begin]);
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

  const DumpTable& m_old;
  const DumpTable& m_new;
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

// Reads both inputs, one thread each, then sorts them one after the other
// (each on two threads, sharing one scratch area), with a progress line on
// a terminal.
void LoadBoth(Input* inputs) {
  const auto percent = [](const Input& in) {
    const uint64_t size = in.table.fileSize();
    const uint64_t read = in.bytesRead.load(std::memory_order_relaxed);
    return size == 0 ? std::string("reading") : std::to_string(std::min(read, size) * 100 / size) + "%";
  };
  std::unique_ptr<StatusLine> status;
  if (isatty(STDERR_FILENO) == 1)
    status = std::make_unique<StatusLine>(
        [&](double) {
          return "reading OLD " + percent(inputs[0]) + ", NEW " + percent(inputs[1]);
        },
        "tzrecon diff: ");
  std::thread threads[2];
  try {
    for (int k = 0; k < 2; ++k)
      threads[k] = std::thread([&in = inputs[k]] { in.ok = in.table.Load(&in.bytesRead, &in.error); });
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
  if (!inputs[0].ok || !inputs[1].ok) {
    if (shown) status->Erase();
    return;
  }
  if (shown) status->Write("sorting");
  const size_t most = std::max(inputs[0].table.rows(), inputs[1].table.rows());
  RecordArray scratch;
  scratch.Reserve(most);
  for (int k = 0; k < 2; ++k) inputs[k].table.Sort(scratch.data());
  if (shown) status->Erase();
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
                      uint64_t differences, bool idsDiffer, const std::string& outputPath) {
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

// Loads and sorts both inputs; 0, or the exit status of a failure (told).
int Load(Input inputs[2]) {
  try {
    LoadBoth(inputs);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory for sorting: both files are held in memory, see --help");
  } catch (const std::system_error& e) {
    return Fail(std::string("cannot start a thread: ") + e.what());
  }
  for (int k = 0; k < 2; ++k)
    if (!inputs[k].ok) return Fail(inputs[k].error);
  return 0;
}

// Compares the loaded inputs, writing the differences to `rowsFd` (none
// when it is -1); 0, or the exit status of a failure (told).
int Compare(const Input inputs[2], int rowsFd, const std::string& outputPath,
            Comparison* result) {
  RowWriter writer(rowsFd);
  if (rowsFd >= 0) writer.Text(kOutputHeader);
  *result = Merger(inputs[0].table, inputs[1].table, rowsFd >= 0 ? &writer : nullptr).Run();
  if (rowsFd >= 0 && !writer.Flush())
    return Fail(std::string("cannot write the differences to ") +
                (outputPath.empty() ? "standard output" : "'" + outputPath + "'") + ": " +
                std::strerror(writer.error()));
  return 0;
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

  Input inputs[2];
  Completeness completeness[2];
  std::string error;
  if (!OpenInputs(paths, parsed.Has("--allow-incomplete"), inputs, completeness, &error))
    return Fail(error);
  OutputFile output;
  if (!outputPath.empty() && !output.Create(outputPath, paths, &error)) return Fail(error);
  // On a failure from here on, `output` removes its file.
  if (const int status = Load(inputs)) return status;
  const int rowsFd = !outputPath.empty() ? output.fd() : json ? -1 : STDOUT_FILENO;
  Comparison result;
  if (const int status = Compare(inputs, rowsFd, outputPath, &result)) return status;
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
    if (!PrintJsonSummary(paths, inputs, completeness, result, differences, idsDiffer, outputPath))
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
                       {"--human", false}, {"--metrics", true}});
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
