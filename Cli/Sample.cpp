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
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>

#include "Args.h"
#include "Text.h"

namespace tzcli {

namespace {

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
constexpr int kMaxMetadataPerChunk = 3;
// The media label is read up to byte 1551; the copy id starts at byte 1007.
constexpr size_t kLabelSize = 2048;
constexpr size_t kLabelCopyIdOffset = 1007;
// The lister reads the first 1024 bytes of a trailer and needs all of them.
constexpr size_t kTrailerSize = 1024;

struct Options {
  std::string dir;
  int64_t volumes = 4;
  int64_t chunksPerVolume = 100;
  int32_t copyId = 1;
  bool singleInstanced = false;
  uint64_t seed = 1;
  std::string configOut;
  int32_t mountPathId = 1;
  int threads = 2;
  std::string dumpOnly;  // FILE of --dump-only
  int64_t rows = 0;
  int changes = 0;  // percent
};

// A failed system call while writing the sample.
struct WriteFailure {
  std::string what;
};

uint64_t SplitMix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// A pseudo-random value that depends only on the seed, the id and the purpose
// (`salt`), so the sample is the same whatever the thread schedule.
uint64_t Draw(uint64_t seed, uint64_t id, uint64_t salt) {
  return SplitMix(SplitMix(seed ^ SplitMix(salt)) ^ id);
}

enum : uint64_t {
  kSaltChunkSize = 1,
  kSaltMetadataCount = 2,
  kSaltMetadataSize = 3,
  kSaltIdxSize = 4,
  kSaltChange = 5,
  kSaltOrder = 6
};

// Sizes spread over many magnitudes, from a few bytes to 256 MiB, with about
// one in a hundred above 4 GiB (up to 12 GiB). The files are sparse, so a
// size costs no disk space.
uint64_t SizeFrom(uint64_t r) {
  const uint64_t r1 = SplitMix(r);
  if (r % 100 == 0) return (4ULL << 30) + 1 + r1 % (8ULL << 30);
  const unsigned bits = 9 + static_cast<unsigned>(r1 % 20);
  return 1 + SplitMix(r1) % (1ULL << bits);
}

std::string Errno(int err) { return std::strerror(err); }

class Writer {
 public:
  explicit Writer(const Options& options) : m_options(options) {
    std::memset(m_trailer, 0, sizeof m_trailer);
  }

  // Writes volume `volumeId` under the mount path folder `rootFd`.
  void Volume(int rootFd, int64_t volumeId) {
    char volumeName[32];
    snprintf(volumeName, sizeof volumeName, "V_%lld", static_cast<long long>(volumeId));
    m_volume = volumeName;
    if (mkdirat(rootFd, volumeName, 0755) != 0) Fail("cannot create folder", "", volumeName);
    const int volumeFd = openat(rootFd, volumeName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (volumeFd < 0) Fail("cannot open folder", "", volumeName);
    try {
      WriteLabel(volumeFd);
      if (m_options.singleInstanced) WriteSmall(volumeFd, m_volume, ".tzsivolume", "", 0);
      const int64_t firstChunk = (volumeId - 1) * m_options.chunksPerVolume + 1;
      for (int64_t i = 0; i < m_options.chunksPerVolume; ++i) {
        const int64_t chunkId = firstChunk + i;
        if (m_options.singleInstanced)
          SIChunk(volumeFd, volumeId, chunkId);
        else
          Chunk(volumeFd, volumeId, chunkId);
      }
    } catch (...) {
      close(volumeFd);
      throw;
    }
    close(volumeFd);
  }

  uint64_t chunks() const { return m_chunks; }
  uint64_t rows() const { return m_rows; }
  const std::atomic<uint64_t>& progress() const { return m_progress; }

 private:
  void WriteLabel(int volumeFd) {
    char label[kLabelSize];
    std::memset(label, 0, sizeof label);
    const char intro[] = "TZRECON SAMPLE MEDIA LABEL\n";
    std::memcpy(label, intro, sizeof intro - 1);
    // The copy id, then a byte that is not a digit to end it.
    snprintf(label + kLabelCopyIdOffset, sizeof label - kLabelCopyIdOffset, "%d\n",
             static_cast<int>(m_options.copyId));
    WriteSmall(volumeFd, m_volume, "MEDIA_LABEL", label, sizeof label);
  }

  void Trailer(int volumeFd, int64_t volumeId, int64_t chunkId) {
    char name[48];
    snprintf(name, sizeof name, "CHUNKMAP_TRAILER_%lld", static_cast<long long>(chunkId));
    // The records, then zero bytes: no blank or newline follows the last
    // record, so a reader stops there.
    const int length = snprintf(m_trailer, sizeof m_trailer, "VolumeId %lld\nChunkId %lld\n",
                                static_cast<long long>(volumeId),
                                static_cast<long long>(chunkId));
    WriteSmall(volumeFd, m_volume, name, m_trailer, kTrailerSize);
    std::memset(m_trailer, 0, static_cast<size_t>(length) + 1);
  }

  void Chunk(int volumeFd, int64_t volumeId, int64_t chunkId) {
    char name[32];
    snprintf(name, sizeof name, "CHUNK_%lld", static_cast<long long>(chunkId));
    Sparse(volumeFd, m_volume, name, SizeFrom(Draw(m_options.seed, static_cast<uint64_t>(chunkId),
                                         kSaltChunkSize)));
    Trailer(volumeFd, volumeId, chunkId);
    ++m_chunks;
    ++m_rows;
    m_progress.store(m_rows, std::memory_order_relaxed);
  }

  void SIChunk(int volumeFd, int64_t volumeId, int64_t chunkId) {
    const uint64_t seed = m_options.seed;
    char name[32];
    snprintf(name, sizeof name, "CHUNK_%lld", static_cast<long long>(chunkId));
    if (mkdirat(volumeFd, name, 0755) != 0) Fail("cannot create folder", m_volume, name);
    const int chunkFd = openat(volumeFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (chunkFd < 0) Fail("cannot open folder", m_volume, name);
    const std::string chunkFolder = m_volume + "/" + name;
    try {
      const int count = 1 + static_cast<int>(Draw(seed, static_cast<uint64_t>(chunkId),
                                                  kSaltMetadataCount) %
                                             kMaxMetadataPerChunk);
      for (int j = 0; j < count; ++j) {
        // Metadata numbers are unique across the mount path: each chunk owns
        // the numbers 4 * chunk id to 4 * chunk id + 3.
        const int64_t number = chunkId * (kMaxMetadataPerChunk + 1) + j;
        char file[48];
        snprintf(file, sizeof file, "CHUNK_META_DATA_%lld", static_cast<long long>(number));
        Sparse(chunkFd, chunkFolder, file,
               SizeFrom(Draw(seed, static_cast<uint64_t>(number), kSaltMetadataSize)));
        char idx[56];
        snprintf(idx, sizeof idx, "CHUNK_META_DATA_%lld.idx", static_cast<long long>(number));
        Sparse(chunkFd, chunkFolder, idx, 1 + Draw(seed, static_cast<uint64_t>(number), kSaltIdxSize) % 65536);
        Trailer(volumeFd, volumeId, number);
        ++m_rows;
      }
    } catch (...) {
      close(chunkFd);
      throw;
    }
    close(chunkFd);
    ++m_chunks;
    m_progress.store(m_rows, std::memory_order_relaxed);
  }

  // Creates `name` in the folder `dirFd` (`where`, for messages) with `data`.
  void WriteSmall(int dirFd, const std::string& where, const char* name, const char* data,
                  size_t size) {
    const int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", where, name);
    size_t done = 0;
    while (done < size) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        const int err = n < 0 ? errno : EIO;
        close(fd);
        errno = err;
        Fail("cannot write", where, name);
      }
      done += static_cast<size_t>(n);
    }
    if (close(fd) != 0) Fail("cannot close", where, name);
  }

  // Creates `name` in the folder `dirFd` as a sparse file of `size` bytes.
  void Sparse(int dirFd, const std::string& where, const char* name, uint64_t size) {
    const int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", where, name);
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
      const int err = errno;
      close(fd);
      errno = err;
      Fail("cannot set the size of", where, name);
    }
    if (close(fd) != 0) Fail("cannot close", where, name);
  }

  // Throws the failure of the last system call on `where`/`name`.
  [[noreturn]] static void Fail(const char* what, const std::string& where, const char* name) {
    const int err = errno;
    const std::string path = where.empty() ? std::string(name) : where + "/" + name;
    throw WriteFailure{std::string(what) + " " + path + ": " + Errno(err)};
  }

  const Options& m_options;
  char m_trailer[kTrailerSize];
  std::string m_volume;  // "V_<id>" of the volume being written
  uint64_t m_chunks = 0;
  uint64_t m_rows = 0;
  std::atomic<uint64_t> m_progress{0};
};

// The registry text naming DIR as mount path `id`.
std::string RegistryText(int32_t id, const std::string& path) {
  return "{\"mountPaths\": [{\"id\": " + std::to_string(id) + ", \"path\": \"" +
         JsonEscape(path) + "\"}]}\n";
}

Options ParseOptions(const std::vector<std::string>& args, bool& help) {
  const ParsedArgs parsed = ParseArgs(
      args, {{"--volumes", true}, {"--chunks-per-volume", true}, {"--copy-id", true},
             {"--single-instanced", false}, {"--seed", true}, {"--config-out", true},
             {"--mount-path-id", true}, {"--threads", true}, {"--dump-only", true},
             {"--rows", true}, {"--changes", true}});
  help = parsed.help;
  Options options;
  if (help) return options;
  if (parsed.Has("--dump-only")) {
    if (!parsed.positional.empty())
      throw UsageError("unexpected argument '" + parsed.positional[0] + "' with --dump-only");
    for (const char* name : {"--volumes", "--copy-id", "--config-out", "--threads"})
      if (parsed.Has(name)) throw UsageError(std::string(name) + " does not go with --dump-only");
    parsed.Require("--rows");
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
  for (const char* name : {"--rows", "--changes"})
    if (parsed.Has(name)) throw UsageError(std::string(name) + " needs --dump-only");
  if (parsed.positional.empty()) throw UsageError("missing the folder DIR to write the sample into");
  if (parsed.positional.size() > 1)
    throw UsageError("unexpected argument '" + parsed.positional[1] + "'");
  options.dir = parsed.positional[0];
  options.volumes = parsed.Int("--volumes", options.volumes, 0, kMaxVolumes);
  options.chunksPerVolume =
      parsed.Int("--chunks-per-volume", options.chunksPerVolume, 0, kMaxChunksPerVolume);
  options.copyId = static_cast<int32_t>(parsed.Int("--copy-id", 1, INT32_MIN, INT32_MAX));
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
    size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = write(m_fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw WriteFailure{"cannot write the registry " + m_path + ": " + Errno(errno)};
      done += static_cast<size_t>(n);
    }
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

// Writes the dump of --dump-only; returns the rows written.
uint64_t WriteDumpOnly(const Options& o) {
  FILE* file = CreateDumpOnlyFile(o.dumpOnly);
  std::string out = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
  const uint64_t total = static_cast<uint64_t>(o.rows);
  const uint64_t perVolume = static_cast<uint64_t>(o.chunksPerVolume);
  const uint64_t volumes = (total + perVolume - 1) / perVolume;
  const uint64_t basis = static_cast<uint64_t>(o.changes) * 100;  // of 10000
  const int flag = o.singleInstanced ? 1 : 0;
  const uint64_t volumeStep = Scrambler(volumes, Draw(o.seed, 0, kSaltOrder));
  uint64_t rows = 0;
  bool failed = false;
  const auto row = [&](uint64_t volumeId, uint64_t chunkId, uint64_t size) {
    char text[96];
    const int n = snprintf(text, sizeof text, "%d, %llu, %llu, %llu, %d\r\n", o.mountPathId,
                           static_cast<unsigned long long>(volumeId),
                           static_cast<unsigned long long>(chunkId),
                           static_cast<unsigned long long>(size), flag);
    out.append(text, static_cast<size_t>(n));
    ++rows;
    if (out.size() >= (1u << 20)) {
      failed |= fwrite(out.data(), 1, out.size(), file) != out.size();
      out.clear();
    }
  };
  for (uint64_t k = 0; k < volumes; ++k) {
    const uint64_t v = (k * volumeStep + 7) % volumes;  // 0-based volume
    const uint64_t first = v * perVolume + 1;           // its first chunk id
    const uint64_t count = std::min(perVolume, total - v * perVolume);
    const uint64_t chunkStep = Scrambler(count, Draw(o.seed, v, kSaltOrder));
    for (uint64_t i = 0; i < count; ++i) {
      const uint64_t c = first + (i * chunkStep + 3) % count;
      uint64_t size = SizeFrom(Draw(o.seed, c, kSaltChunkSize));
      const uint64_t change = basis == 0 ? UINT64_MAX : Draw(o.seed, c, kSaltChange) % 10000;
      if (change < basis) continue;                           // left out
      if (change < 2 * basis) size += 1 + change % 4096;      // another size
      row(v + 1, c, size);
      if (change < 3 * basis && change >= 2 * basis)          // a new chunk beside it
        row(v + 1, total + c, SizeFrom(Draw(o.seed, total + c, kSaltChunkSize)));
    }
  }
  failed |= fwrite(out.data(), 1, out.size(), file) != out.size();
  failed |= fclose(file) != 0;
  if (failed) throw WriteFailure{"cannot write " + o.dumpOnly + ": " + Errno(errno)};
  return rows;
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
             static_cast<unsigned long long>(rows),
             std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
      return 0;
    }
    PrepareFolder(options.dir);
    const int rootFd = open(options.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) throw WriteFailure{"cannot open " + options.dir + ": " + Errno(errno)};

    const int threadCount =
        static_cast<int>(std::min<int64_t>(options.threads, std::max<int64_t>(options.volumes, 1)));
    std::vector<std::unique_ptr<Writer>> writers;
    for (int t = 0; t < threadCount; ++t) writers.push_back(std::make_unique<Writer>(options));
    std::atomic<int64_t> nextVolume{1};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable done;
    int running = threadCount;
    std::string failure;

    const auto fail = [&](const std::string& what) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failed.exchange(true)) failure = what;
    };
    const auto writeVolumes = [&](int t) {
      try {
        for (int64_t v = nextVolume++; v <= options.volumes && !failed; v = nextVolume++)
          writers[static_cast<size_t>(t)]->Volume(rootFd, v);
      } catch (const WriteFailure& f) {
        fail(f.what);
      } catch (const std::exception& e) {
        fail(e.what());
      }
      std::lock_guard<std::mutex> lock(mutex);
      --running;
      done.notify_all();
    };
    std::vector<std::thread> threads;
    int writersStarted = 0;
    try {
      for (; writersStarted < threadCount; ++writersStarted)
        threads.emplace_back(writeVolumes, writersStarted);
    } catch (const std::exception& e) {
      // The writers that started stop at their next volume.
      fail(std::string("cannot start a writer thread: ") + e.what());
    }
    {
      std::lock_guard<std::mutex> lock(mutex);
      running -= threadCount - writersStarted;
    }

    // Live progress on a terminal only.
    const bool tty = isatty(STDERR_FILENO) == 1;
    const uint64_t expectedChunks =
        static_cast<uint64_t>(options.volumes) * static_cast<uint64_t>(options.chunksPerVolume);
    bool shown = false;
    {
      std::unique_lock<std::mutex> lock(mutex);
      while (!done.wait_for(lock, std::chrono::milliseconds(200), [&] { return running == 0; })) {
        if (!tty) continue;
        uint64_t rows = 0;
        for (const auto& w : writers) rows += w->progress().load(std::memory_order_relaxed);
        fprintf(stderr, "\rtzrecon sample: %llu files of chunks written (of ~%llu chunks)\033[K",
                static_cast<unsigned long long>(rows),
                static_cast<unsigned long long>(expectedChunks));
        shown = true;
      }
    }
    for (std::thread& t : threads) t.join();
    close(rootFd);
    if (shown) fputs("\r\033[K", stderr);
    if (failed) throw WriteFailure{failure};

    uint64_t chunks = 0, rows = 0;
    for (const auto& w : writers) {
      chunks += w->chunks();
      rows += w->rows();
    }

    if (!options.configOut.empty()) {
      char* resolved = realpath(options.dir.c_str(), nullptr);
      if (resolved == nullptr) throw WriteFailure{"cannot resolve " + options.dir + ": " + Errno(errno)};
      const std::string absolute = resolved;
      free(resolved);
      registry.Write(RegistryText(options.mountPathId, absolute));
    }

    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
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
    return 0;
  } catch (const WriteFailure& f) {
    fprintf(stderr, "tzrecon sample: %s\n", f.what.c_str());
    return 1;
  }
}

}  // namespace tzcli
