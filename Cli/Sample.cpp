#include "Sample.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "Args.h"
#include "DumpFormat.h"
#include "Interrupted.h"
#include "Progress.h"
#include "SampleWriter.h"
#include "Text.h"

namespace tzcli {

namespace {

using namespace sample;

const char kSampleHelp[] =
    "usage: tzrecon sample DIR [options]\n"
    "       tzrecon sample --dump-only FILE --rows N [options]\n"
    "\n"
    "Writes a sample mount path into DIR (which must be missing or empty):\n"
    "volume folders V_<id> with a media label, one chunk map trailer per chunk\n"
    "and sparse chunk files whose sizes come from a seeded generator.\n"
    "\n"
    "options:\n"
    "  --volumes N            volume folders V_1 .. V_N (default 4)\n"
    "  --chunks-per-volume N  chunks in each volume (default 100)\n"
    "  --copy-id N            copy id written into each media label (default 1)\n"
    "  --single-instanced     single-instanced volumes: a .tzsivolume marker, and\n"
    "                         each chunk a folder of CHUNK_META_DATA_<n> files\n"
    "                         (1 to 3) with their .idx files\n"
    "  --seed N               seed of the size generator (default 1)\n"
    "  --config-out FILE      also write a mount path registry for DIR (a new\n"
    "                         file: an existing one is never overwritten)\n"
    "  --mount-path-id N      mount path id in that registry (default 1)\n"
    "  --threads N            writer threads, 1 to 16 (default 2)\n"
    "\n"
    "With --dump-only, no library is made: FILE gets the chunk-lister dump that\n"
    "a sample of --rows chunks would give (--chunks-per-volume chunks a volume,\n"
    "1000 unless given; the seeded sizes; mount path id --mount-path-id; flag 1\n"
    "with --single-instanced), volumes and chunks in a scrambled order as a\n"
    "folder listing gives them. With --changes P (0 to 33), about P percent of\n"
    "the rows are left out, P percent get another size and P percent gain a new\n"
    "chunk beside them, against the same command without --changes.\n";

constexpr int64_t kMaxVolumes = 1000000;
constexpr int64_t kMaxChunksPerVolume = 100000000;

// The registry text naming DIR as mount path `id`.
std::string RegistryText(int32_t id, const std::string& path) {
  return "{\"mountPaths\": [{\"id\": " + std::to_string(id) + ", \"path\": \"" +
         JsonEscape(path) + "\"}]}\n";
}

// The options of --dump-only.
Options ParseDumpOnly(const ParsedArgs& parsed) {
  if (!parsed.positional.empty())
    throw UsageError("unexpected argument '" + parsed.positional[0] + "' with --dump-only");
  for (const char* name : {"--volumes", "--copy-id", "--config-out", "--threads"})
    if (parsed.Has(name)) throw UsageError(std::string(name) + " does not go with --dump-only");
  parsed.Require("--rows");
  Options options;
  options.dumpOnly = parsed.Text("--dump-only");
  // New chunks take the ids after the first --rows, so twice --rows ids.
  options.rows = parsed.Int("--rows", 0, 0, INT32_MAX / 2);
  options.chunksPerVolume = parsed.Int("--chunks-per-volume", 1000, 1, kMaxChunksPerVolume);
  options.changes = static_cast<int>(parsed.Int("--changes", 0, 0, 33));
  options.seed = parsed.Unsigned("--seed", options.seed, UINT64_MAX);
  options.mountPathId =
      static_cast<int32_t>(parsed.Int("--mount-path-id", 1, INT32_MIN, INT32_MAX));
  options.singleInstanced = parsed.Has("--single-instanced");
  return options;
}

// The options of a sample written into DIR.
Options ParseSampleDir(const ParsedArgs& parsed) {
  for (const char* name : {"--rows", "--changes"})
    if (parsed.Has(name)) throw UsageError(std::string(name) + " needs --dump-only");
  if (parsed.positional.empty()) throw UsageError("missing the folder DIR to write the sample into");
  if (parsed.positional.size() > 1)
    throw UsageError("unexpected argument '" + parsed.positional[1] + "'");
  Options options;
  options.dir = parsed.positional[0];
  options.volumes = parsed.Int("--volumes", options.volumes, 0, kMaxVolumes);
  options.chunksPerVolume =
      parsed.Int("--chunks-per-volume", options.chunksPerVolume, 0, kMaxChunksPerVolume);
  options.copyId = static_cast<int32_t>(parsed.Int("--copy-id", 1, 0, INT32_MAX));
  options.singleInstanced = parsed.Has("--single-instanced");
  options.seed = parsed.Unsigned("--seed", options.seed, UINT64_MAX);
  options.configOut = parsed.Text("--config-out");
  options.mountPathId =
      static_cast<int32_t>(parsed.Int("--mount-path-id", 1, INT32_MIN, INT32_MAX));
  options.threads = static_cast<int>(parsed.Int("--threads", options.threads, 1, 16));
  // Chunk ids (and metadata numbers, four to a chunk) are 32-bit ids.
  const int64_t total = options.volumes * options.chunksPerVolume;
  const int64_t limit = options.singleInstanced
                            ? (INT32_MAX - kMaxMetadataPerChunk) / (kMaxMetadataPerChunk + 1)
                            : INT32_MAX;
  if (total > limit)
    throw UsageError("--volumes times --chunks-per-volume is " + std::to_string(total) +
                     ", more than the " + std::to_string(limit) + " chunks that 32-bit ids allow");
  return options;
}

Options ParseOptions(const std::vector<std::string>& args, bool& help) {
  const ParsedArgs parsed = ParseArgs(
      args, {{"--volumes", true}, {"--chunks-per-volume", true}, {"--copy-id", true},
             {"--single-instanced", false}, {"--seed", true}, {"--config-out", true},
             {"--mount-path-id", true}, {"--threads", true}, {"--dump-only", true},
             {"--rows", true}, {"--changes", true}});
  help = parsed.help;
  if (help) return Options();
  return parsed.Has("--dump-only") ? ParseDumpOnly(parsed) : ParseSampleDir(parsed);
}

// Makes sure DIR is an empty folder, creating it when missing.
void PrepareFolder(const std::string& dir) {
  struct stat st;
  if (stat(dir.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) throw UsageError("DIR '" + dir + "' exists and is not a folder");
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) throw UsageError("cannot read DIR '" + dir + "': " + Errno(errno));
    bool empty = true;
    while (struct dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        empty = false;
        break;
      }
    }
    closedir(d);
    if (!empty)
      throw UsageError("DIR '" + dir + "' is not empty; give a new or empty folder");
    return;
  }
  if (errno != ENOENT) throw UsageError("cannot examine DIR '" + dir + "': " + Errno(errno));
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) throw WriteFailure{"cannot create " + dir + ": " + ec.message()};
}

// The registry file of --config-out: created (exclusively) before the sample
// is written, so a name that is taken or a folder that cannot be written to
// is refused before any work; removed again unless the sample is complete.
class RegistryOut {
 public:
  explicit RegistryOut(const std::string& path) : m_path(path) {
    if (m_path.empty()) return;
    m_fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (m_fd >= 0) return;
    if (errno == EEXIST)
      throw UsageError("--config-out: '" + m_path + "' exists; give a new file name");
    throw UsageError("--config-out: cannot create '" + m_path + "': " + Errno(errno));
  }
  ~RegistryOut() {
    if (m_fd < 0) return;
    close(m_fd);
    unlink(m_path.c_str());
  }
  RegistryOut(const RegistryOut&) = delete;
  RegistryOut& operator=(const RegistryOut&) = delete;

  void Write(const std::string& text) {
    if (m_fd < 0) return;
    if (!tzhost::WriteAll(m_fd, text.data(), text.size()))
      throw WriteFailure{"cannot write the registry " + m_path + ": " + Errno(errno)};
    const int fd = m_fd;
    m_fd = -1;  // kept from here on
    if (close(fd) != 0) {
      unlink(m_path.c_str());
      throw WriteFailure{"cannot write the registry " + m_path + ": " + Errno(errno)};
    }
  }

 private:
  std::string m_path;
  int m_fd = -1;
};

uint64_t Gcd(uint64_t a, uint64_t b) { return b == 0 ? a : Gcd(b, a % b); }

// A multiplier that makes i -> (i * m + c) % n a permutation of 0 .. n-1.
uint64_t Scrambler(uint64_t n, uint64_t r) {
  if (n < 2) return 1;
  uint64_t m = r % n | 1;
  while (Gcd(m, n) != 1) m += 2;
  return m;
}

// FILE of --dump-only, a new file: one that exists is refused and kept.
FILE* CreateDumpOnlyFile(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST)
    throw UsageError("--dump-only: '" + path + "' exists; give a new file name");
  if (fd < 0) throw WriteFailure{"cannot create " + path + ": " + Errno(errno)};
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int err = errno;
    close(fd);
    throw WriteFailure{"cannot write " + path + ": " + Errno(err)};
  }
  return file;
}

// The rows of --dump-only, gathered and written in large pieces; a failed
// write is kept and reported by Close.
class DumpOnlyRows {
 public:
  DumpOnlyRows(FILE* file, int32_t mountPathId, bool singleInstanced)
      : m_file(file), m_mountPathId(mountPathId), m_singleInstanced(singleInstanced) {
    m_out.assign(tzrecon::kDumpHeader, tzrecon::kDumpHeaderSize);
  }
  void Row(uint64_t volumeId, uint64_t chunkId, uint64_t size) {
    // Every id drawn here fits a 32-bit id (see ParseDumpOnly).
    char text[tzrecon::kMaxRowSize];
    m_out.append(text, tzrecon::FormatRow(text, m_mountPathId, static_cast<int32_t>(volumeId),
                                          static_cast<int32_t>(chunkId), size, m_singleInstanced));
    ++m_rows;
    if (m_out.size() >= (1u << 20)) Flush();
  }
  // Writes what is left and closes the file; false when any write failed.
  bool Close() {
    Flush();
    m_failed |= fclose(m_file) != 0;
    return !m_failed;
  }
  uint64_t rows() const { return m_rows; }

 private:
  void Flush() {
    m_failed |= fwrite(m_out.data(), 1, m_out.size(), m_file) != m_out.size();
    m_out.clear();
  }
  FILE* m_file;
  int32_t m_mountPathId;
  bool m_singleInstanced;
  std::string m_out;
  uint64_t m_rows = 0;
  bool m_failed = false;
};

// The rows of the 0-based volume `v` of --dump-only, its chunks in a
// scrambled order, with the changes of --changes.
void DumpOnlyVolume(const Options& o, uint64_t v, DumpOnlyRows& rows) {
  const uint64_t total = static_cast<uint64_t>(o.rows);
  const uint64_t perVolume = static_cast<uint64_t>(o.chunksPerVolume);
  const uint64_t basis = static_cast<uint64_t>(o.changes) * 100;  // of 10000
  const uint64_t first = v * perVolume + 1;                        // its first chunk id
  const uint64_t count = std::min(perVolume, total - v * perVolume);
  const uint64_t chunkStep = Scrambler(count, Draw(o.seed, v, kSaltOrder));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t c = first + (i * chunkStep + 3) % count;
    uint64_t size = SizeFrom(Draw(o.seed, c, kSaltChunkSize));
    const uint64_t change = basis == 0 ? UINT64_MAX : Draw(o.seed, c, kSaltChange) % 10000;
    if (change < basis) continue;                           // left out
    if (change < 2 * basis) size += 1 + change % 4096;      // another size
    rows.Row(v + 1, c, size);
    if (change < 3 * basis && change >= 2 * basis)          // a new chunk beside it
      rows.Row(v + 1, total + c, SizeFrom(Draw(o.seed, total + c, kSaltChunkSize)));
  }
}

// Writes the dump of --dump-only; returns the rows written.
uint64_t WriteDumpOnly(const Options& o) {
  DumpOnlyRows rows(CreateDumpOnlyFile(o.dumpOnly), o.mountPathId, o.singleInstanced);
  const uint64_t total = static_cast<uint64_t>(o.rows);
  const uint64_t perVolume = static_cast<uint64_t>(o.chunksPerVolume);
  const uint64_t volumes = (total + perVolume - 1) / perVolume;
  const uint64_t volumeStep = Scrambler(volumes, Draw(o.seed, 0, kSaltOrder));
  for (uint64_t k = 0; k < volumes; ++k)
    DumpOnlyVolume(o, (k * volumeStep + 7) % volumes, rows);  // 0-based volume
  if (!rows.Close()) throw WriteFailure{"cannot write " + o.dumpOnly + ": " + Errno(errno)};
  return rows.rows();
}

// The writers of a sample, one a thread, taking volumes in turn until all
// are written or one fails.
class Writers {
 public:
  Writers(const Options& options, int rootFd) : m_options(options), m_rootFd(rootFd) {
    const int count = static_cast<int>(
        std::min<int64_t>(options.threads, std::max<int64_t>(options.volumes, 1)));
    for (int t = 0; t < count; ++t) m_writers.push_back(std::make_unique<Writer>(options));
  }

  // Writes every volume, with a status line on a terminal; throws the first
  // failure.
  void Run() {
    std::unique_ptr<StatusLine> status;
    if (isatty(STDERR_FILENO) == 1) {
      const uint64_t expectedChunks = static_cast<uint64_t>(m_options.volumes) *
                                      static_cast<uint64_t>(m_options.chunksPerVolume);
      status = std::make_unique<StatusLine>(
          [this, expectedChunks](double) {
            return std::to_string(Progress()) + " files of chunks written (of ~" +
                   std::to_string(expectedChunks) + " chunks)";
          },
          "tzrecon sample: ");
      status->Start();
    }
    std::vector<std::thread> threads;
    try {
      for (size_t t = 0; t < m_writers.size(); ++t)
        threads.emplace_back([this, t] { WriteVolumes(*m_writers[t]); });
    } catch (const std::exception& e) {
      // The writers that started stop at their next volume.
      Fail(std::string("cannot start a writer thread: ") + e.what());
    }
    for (std::thread& t : threads) t.join();
    if (status) {
      status->Halt();
      status->Erase();
    }
    if (m_failed) throw WriteFailure{m_failure};
  }

  uint64_t Chunks() const {
    uint64_t chunks = 0;
    for (const auto& w : m_writers) chunks += w->chunks();
    return chunks;
  }
  uint64_t Rows() const {
    uint64_t rows = 0;
    for (const auto& w : m_writers) rows += w->rows();
    return rows;
  }

 private:
  uint64_t Progress() const {
    uint64_t rows = 0;
    for (const auto& w : m_writers) rows += w->progress().load(std::memory_order_relaxed);
    return rows;
  }
  void WriteVolumes(Writer& writer) {
    try {
      for (int64_t v = m_nextVolume++; v <= m_options.volumes && !m_failed; v = m_nextVolume++)
        writer.Volume(m_rootFd, v);
    } catch (const WriteFailure& f) {
      Fail(f.what);
    } catch (const std::exception& e) {
      Fail(e.what());
    }
  }
  void Fail(const std::string& what) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_failed.exchange(true)) m_failure = what;
  }

  const Options& m_options;
  const int m_rootFd;
  std::vector<std::unique_ptr<Writer>> m_writers;
  std::atomic<int64_t> m_nextVolume{1};
  std::atomic<bool> m_failed{false};
  std::mutex m_mutex;
  std::string m_failure;
};

// Writes the sample into DIR (and its registry); returns the chunks and rows
// written.
std::pair<uint64_t, uint64_t> WriteSample(const Options& options, RegistryOut& registry) {
  PrepareFolder(options.dir);
  const int rootFd = open(options.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (rootFd < 0) throw WriteFailure{"cannot open " + options.dir + ": " + Errno(errno)};
  Writers writers(options, rootFd);
  try {
    writers.Run();
  } catch (...) {
    close(rootFd);
    throw;
  }
  close(rootFd);
  if (!options.configOut.empty()) {
    char* resolved = realpath(options.dir.c_str(), nullptr);
    if (resolved == nullptr)
      throw WriteFailure{"cannot resolve " + options.dir + ": " + Errno(errno)};
    const std::string absolute = resolved;
    free(resolved);
    registry.Write(RegistryText(options.mountPathId, absolute));
  }
  return {writers.Chunks(), writers.Rows()};
}

void PrintSample(const Options& options, uint64_t chunks, uint64_t rows, double seconds) {
  if (options.singleInstanced)
    printf("sample %s: %lld single-instanced volumes, %llu chunk folders, %llu metadata files "
           "(= dump rows), copy %d, %.2f s\n",
           options.dir.c_str(), static_cast<long long>(options.volumes),
           static_cast<unsigned long long>(chunks), static_cast<unsigned long long>(rows),
           static_cast<int>(options.copyId), seconds);
  else
    printf("sample %s: %lld volumes, %llu chunks (= dump rows), copy %d, %.2f s\n",
           options.dir.c_str(), static_cast<long long>(options.volumes),
           static_cast<unsigned long long>(chunks), static_cast<int>(options.copyId), seconds);
}

double SecondsSince(std::chrono::steady_clock::time_point started) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

}  // namespace

int RunSample(const std::vector<std::string>& args) {
  bool help = false;
  const Options options = ParseOptions(args, help);
  if (help) {
    fputs(kSampleHelp, stdout);
    return 0;
  }
  const auto started = std::chrono::steady_clock::now();
  RegistryOut registry(options.configOut);
  try {
    if (!options.dumpOnly.empty()) {
      const uint64_t rows = WriteDumpOnly(options);
      printf("dump %s: %llu rows, %.2f s\n", options.dumpOnly.c_str(),
             static_cast<unsigned long long>(rows), SecondsSince(started));
      return 0;
    }
    const auto [chunks, rows] = WriteSample(options, registry);
    PrintSample(options, chunks, rows, SecondsSince(started));
    return 0;
  } catch (const WriteFailure& f) {
    fprintf(stderr, "tzrecon sample: %s\n", f.what.c_str());
    return 1;
  }
}

}  // namespace tzcli
