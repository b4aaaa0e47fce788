// What `tzrecon sample` writes, and how: its options, the seeded draws that
// give every chunk its size whatever the thread schedule, and the writer of
// one volume folder at a time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tzcli::sample {

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

constexpr int kMaxMetadataPerChunk = 3;
// The lister reads the first 1024 bytes of a trailer and needs all of them.
constexpr size_t kTrailerSize = 1024;

enum : uint64_t {
  kSaltChunkSize = 1,
  kSaltMetadataCount = 2,
  kSaltMetadataSize = 3,
  kSaltIdxSize = 4,
  kSaltChange = 5,
  kSaltOrder = 6
};

// A pseudo-random value that depends only on the seed, the id and the purpose
// (`salt`), so the sample is the same whatever the thread schedule.
uint64_t Draw(uint64_t seed, uint64_t id, uint64_t salt);

// Sizes spread over many magnitudes, from a few bytes to 256 MiB, with about
// one in a hundred above 4 GiB (up to 12 GiB). The files are sparse, so a
// size costs no disk space.
uint64_t SizeFrom(uint64_t r);

std::string Errno(int err);

class Writer {
 public:
  explicit Writer(const Options& options);

  // Writes volume `volumeId` under the mount path folder `rootFd`.
  void Volume(int rootFd, int64_t volumeId);

  uint64_t chunks() const { return m_chunks; }
  uint64_t rows() const { return m_rows; }
  const std::atomic<uint64_t>& progress() const { return m_progress; }

 private:
  void Chunks(int volumeFd, int64_t volumeId);
  void WriteLabel(int volumeFd);
  void Trailer(int volumeFd, int64_t volumeId, int64_t chunkId);
  void Chunk(int volumeFd, int64_t volumeId, int64_t chunkId);
  void SIChunk(int volumeFd, int64_t volumeId, int64_t chunkId);
  void Metadata(int volumeFd, int chunkFd, const std::string& chunkFolder, int64_t volumeId,
                int64_t number);
  // Creates `name` in the folder `dirFd` (`where`, for messages) with `data`.
  void WriteSmall(int dirFd, const std::string& where, const char* name, const char* data,
                  size_t size);
  // Creates `name` in the folder `dirFd` as a sparse file of `size` bytes.
  void Sparse(int dirFd, const std::string& where, const char* name, uint64_t size);
  // Throws the failure of the last system call on `where`/`name`.
  [[noreturn]] static void Fail(const char* what, const std::string& where, const char* name);

  const Options& m_options;
  char m_trailer[kTrailerSize];
  std::string m_volume;  // "V_<id>" of the volume being written
  uint64_t m_chunks = 0;
  uint64_t m_rows = 0;
  std::atomic<uint64_t> m_progress{0};
};

}  // namespace tzcli::sample
