#include "SampleWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Interrupted.h"
#include "StorageLayout.h"

namespace tzcli::sample {

namespace {

namespace layout = tzrecon::layout;

// The media label is read up to byte 1551; the copy id starts at byte 1007.
constexpr size_t kLabelSize = 2048;

uint64_t SplitMix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// "<prefix><id>" into `name`.
template <size_t N>
void Name(char (&name)[N], const char* prefix, int64_t id, const char* suffix = "") {
  snprintf(name, N, "%s%lld%s", prefix, static_cast<long long>(id), suffix);
}

}  // namespace

uint64_t Draw(uint64_t seed, uint64_t id, uint64_t salt) {
  return SplitMix(SplitMix(seed ^ SplitMix(salt)) ^ id);
}

uint64_t SizeFrom(uint64_t r) {
  const uint64_t r1 = SplitMix(r);
  if (r % 100 == 0) return (4ULL << 30) + 1 + r1 % (8ULL << 30);
  const unsigned bits = 9 + static_cast<unsigned>(r1 % 20);
  return 1 + SplitMix(r1) % (1ULL << bits);
}

std::string Errno(int err) { return std::strerror(err); }

Writer::Writer(const Options& options) : m_options(options) {
  std::memset(m_trailer, 0, sizeof m_trailer);
}

void Writer::Volume(int rootFd, int64_t volumeId) {
  char volumeName[32];
  Name(volumeName, layout::kVolumePrefix, volumeId);
  m_volume = volumeName;
  if (mkdirat(rootFd, volumeName, 0755) != 0) Fail("cannot create folder", "", volumeName);
  const int volumeFd = openat(rootFd, volumeName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (volumeFd < 0) Fail("cannot open folder", "", volumeName);
  try {
    WriteLabel(volumeFd);
    if (m_options.singleInstanced) WriteSmall(volumeFd, m_volume, layout::kSIMarker, "", 0);
    Chunks(volumeFd, volumeId);
  } catch (...) {
    close(volumeFd);
    throw;
  }
  close(volumeFd);
}

void Writer::Chunks(int volumeFd, int64_t volumeId) {
  const int64_t firstChunk = (volumeId - 1) * m_options.chunksPerVolume + 1;
  for (int64_t i = 0; i < m_options.chunksPerVolume; ++i) {
    const int64_t chunkId = firstChunk + i;
    if (m_options.singleInstanced)
      SIChunk(volumeFd, volumeId, chunkId);
    else
      Chunk(volumeFd, volumeId, chunkId);
  }
}

void Writer::WriteLabel(int volumeFd) {
  char label[kLabelSize];
  std::memset(label, 0, sizeof label);
  const char intro[] = "TZRECON SAMPLE MEDIA LABEL\n";
  std::memcpy(label, intro, sizeof intro - 1);
  // The copy id, then a byte that is not a digit to end it.
  constexpr size_t at = layout::kLabelCopyIdOffset;
  snprintf(label + at, sizeof label - at, "%d\n", static_cast<int>(m_options.copyId));
  WriteSmall(volumeFd, m_volume, layout::kMediaLabel, label, sizeof label);
}

void Writer::Trailer(int volumeFd, int64_t volumeId, int64_t chunkId) {
  char name[48];
  Name(name, layout::kTrailerPrefix, chunkId);
  // The records, then zero bytes: no blank or newline follows the last
  // record, so a reader stops there.
  const int length = snprintf(m_trailer, sizeof m_trailer, "VolumeId %lld\nChunkId %lld\n",
                              static_cast<long long>(volumeId), static_cast<long long>(chunkId));
  WriteSmall(volumeFd, m_volume, name, m_trailer, kTrailerSize);
  std::memset(m_trailer, 0, static_cast<size_t>(length) + 1);
}

void Writer::Chunk(int volumeFd, int64_t volumeId, int64_t chunkId) {
  char name[32];
  Name(name, layout::kChunkPrefix, chunkId);
  Sparse(volumeFd, m_volume, name,
         SizeFrom(Draw(m_options.seed, static_cast<uint64_t>(chunkId), kSaltChunkSize)));
  Trailer(volumeFd, volumeId, chunkId);
  ++m_chunks;
  ++m_rows;
  m_progress.store(m_rows, std::memory_order_relaxed);
}

void Writer::SIChunk(int volumeFd, int64_t volumeId, int64_t chunkId) {
  char name[32];
  Name(name, layout::kChunkPrefix, chunkId);
  if (mkdirat(volumeFd, name, 0755) != 0) Fail("cannot create folder", m_volume, name);
  const int chunkFd = openat(volumeFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (chunkFd < 0) Fail("cannot open folder", m_volume, name);
  const std::string chunkFolder = m_volume + "/" + name;
  try {
    const int count = 1 + static_cast<int>(Draw(m_options.seed, static_cast<uint64_t>(chunkId),
                                                kSaltMetadataCount) %
                                           kMaxMetadataPerChunk);
    // Metadata numbers are unique across the mount path: each chunk owns
    // the numbers 4 * chunk id to 4 * chunk id + 3.
    const int64_t firstNumber = chunkId * (kMaxMetadataPerChunk + 1);
    for (int j = 0; j < count; ++j)
      Metadata(volumeFd, chunkFd, chunkFolder, volumeId, firstNumber + j);
  } catch (...) {
    close(chunkFd);
    throw;
  }
  close(chunkFd);
  ++m_chunks;
  m_progress.store(m_rows, std::memory_order_relaxed);
}

void Writer::Metadata(int volumeFd, int chunkFd, const std::string& chunkFolder,
                      int64_t volumeId, int64_t number) {
  const uint64_t seed = m_options.seed;
  char file[48];
  Name(file, layout::kMetadataPrefix, number);
  Sparse(chunkFd, chunkFolder, file,
         SizeFrom(Draw(seed, static_cast<uint64_t>(number), kSaltMetadataSize)));
  char idx[56];
  Name(idx, layout::kMetadataPrefix, number, layout::kIndexSuffix);
  Sparse(chunkFd, chunkFolder, idx,
         1 + Draw(seed, static_cast<uint64_t>(number), kSaltIdxSize) % 65536);
  Trailer(volumeFd, volumeId, number);
  ++m_rows;
}

void Writer::WriteSmall(int dirFd, const std::string& where, const char* name, const char* data,
                        size_t size) {
  const int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot create", where, name);
  if (!tzhost::WriteAll(fd, data, size)) {
    const int err = errno;
    close(fd);
    errno = err;
    Fail("cannot write", where, name);
  }
  if (close(fd) != 0) Fail("cannot close", where, name);
}

void Writer::Sparse(int dirFd, const std::string& where, const char* name, uint64_t size) {
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

void Writer::Fail(const char* what, const std::string& where, const char* name) {
  const int err = errno;
  const std::string path = where.empty() ? std::string(name) : where + "/" + name;
  throw WriteFailure{std::string(what) + " " + path + ": " + Errno(err)};
}

}  // namespace tzcli::sample
