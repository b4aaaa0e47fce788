// Dumps of libraries with the odd cases, for the tests that hold the
// read-ahead window to the plain walk (Tests/Library and Tests/Fault).
#pragma once

#include <gtest/gtest.h>
#include <dirent.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ReadAhead.h"
#include "SampleLibrary.h"
#include "TestSupport.h"
#include "TzLibVolReconChunkListHelper.h"

namespace tztest {

// Puts every seam of the window back to its default, now and at the end.
struct WindowSeams {
  WindowSeams() { Reset(); }
  ~WindowSeams() { Reset(); }
  static void Reset() {
    using T = tzrecon::ReadAhead::Testing;
    T::unavailable = false;
    T::alwaysEngaged = false;
    T::failRequest = 0;
    T::firstSetUp = 0;
    T::patient = false;
    T::refuseEntry = 0;
    T::refuseSubmit = 0;
    T::interrupt = false;
    T::failWaits = false;
    ResetCounts();
  }
  static void ResetCounts() {
    using T = tzrecon::ReadAhead::Testing;
    T::requests = 0;
    T::failures = 0;
    T::entries = 0;
    T::submits = 0;
    T::answered = 0;
    T::dropped = 0;
    T::leaked = 0;
  }
};

struct WalkResult {
  bool ok = false;
  std::string dump;
  std::vector<LogLine> log;
};

// One disk dump of `lib` (mount path id 3, copy 7), its log at level 2. The
// window's counts start again from 0. A library that denies some of its
// files is walked by a child process without privileges, whose counts come
// back as this process's.
inline WalkResult Walk(SampleLibrary& lib, MountPathTraverseMode mode) {
  using T = tzrecon::ReadAhead::Testing;
  const std::string dumpFile = lib.dir / "dump.csv";
  unlink(dumpFile.c_str());
  WindowSeams::ResetCounts();
  WalkResult result;
  LogCapture log{2};
  const auto dump = [&] {
    ChunkListHelper lister(lib.root, 3, 7, mode);
    return lister.Dump(dumpFile);
  };
  if (!lib.denies) {
    result.ok = dump();
  } else {
    GiveToUnprivileged(lib.dir.path());
    GiveToUnprivileged(log.path().substr(0, log.path().rfind('/')));
    const ChildRun child = RunUnprivileged([&] {
      const bool ok = dump();
      std::printf("\nwalked %d %ld %ld %ld %ld %ld %ld %ld\n", ok ? 1 : 0, T::requests.load(),
                  T::failures.load(), T::entries.load(), T::submits.load(), T::answered.load(),
                  T::dropped.load(), T::leaked.load());
      return 0;
    });
    int ok = 0;
    long counts[7] = {};
    const size_t at = child.output.rfind("\nwalked ");
    EXPECT_EQ(child.exitCode, 0) << child.output;
    EXPECT_TRUE(at != std::string::npos &&
                std::sscanf(child.output.c_str() + at, "\nwalked %d %ld %ld %ld %ld %ld %ld %ld",
                            &ok, &counts[0], &counts[1], &counts[2], &counts[3], &counts[4],
                            &counts[5], &counts[6]) == 8)
        << child.output;
    result.ok = ok != 0;
    T::requests = counts[0];
    T::failures = counts[1];
    T::entries = counts[2];
    T::submits = counts[3];
    T::answered = counts[4];
    T::dropped = counts[5];
    T::leaked = counts[6];
  }
  result.dump = Exists(dumpFile) ? ReadFile(dumpFile) : "<no dump file>";
  result.log = log.Lines();
  // The window let no buffer go that the kernel could still write to: every
  // request it made was answered first, or never sent and dropped with its
  // ring, unless it left its ring to the kernel for good.
  if (T::leaked == 0) {
    EXPECT_EQ(T::answered + T::dropped, T::requests.load()) << "requests left in flight";
  }
  return result;
}

inline std::string LineText(const LogLine& line) {
  return std::to_string(line.level) + " " + line.tag + " " + line.message;
}

inline void ExpectSameWalk(const WalkResult& plain, const WalkResult& other) {
  EXPECT_EQ(plain.ok, other.ok);
  EXPECT_EQ(plain.dump, other.dump);
  std::vector<std::string> a, b;
  for (const LogLine& line : plain.log) a.push_back(LineText(line));
  for (const LogLine& line : other.log) b.push_back(LineText(line));
  EXPECT_EQ(a, b);
}

// The names in `folder` that start with `prefix`, in the order the folder
// lists them.
inline std::vector<std::string> ListingOrder(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> names;
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) return names;
  while (const dirent* entry = readdir(listing))
    if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
  closedir(listing);
  return names;
}

// True when the first page of `path` is not in the page cache. Asked of
// the mapping's residency: a read, even one that asks not to wait, starts
// reading the page in.
inline bool OutOfPageCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const long page = sysconf(_SC_PAGESIZE);
  void* map = mmap(nullptr, static_cast<size_t>(page), PROT_READ, MAP_SHARED, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return false;
  unsigned char resident = 1;
  const bool out = mincore(map, static_cast<size_t>(page), &resident) == 0 && (resident & 1) == 0;
  munmap(map, static_cast<size_t>(page));
  return out;
}

// Pushes the first page of the file at `path` out of the page cache (clean
// pages can be dropped, so it is written back first, then advised away).
// Returns false when it stays: some file systems keep every page in memory,
// and a page another CPU holds for a moment is skipped, so it is tried a few
// times.
inline bool DropFromPageCache(const std::string& path) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return false;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
    if (OutOfPageCache(path)) return true;
  }
  return false;
}

// A library with the odd cases, how to walk it, how many volumes the walk
// enters, and a piece of a line its walk logs only when it meets them.
struct OddLibrary {
  const char* name;
  std::function<void(SampleLibrary&)> build;
  MountPathTraverseMode mode;
  int volumesWalked;
  const char* logs;
  friend void PrintTo(const OddLibrary& library, std::ostream* os) { *os << library.name; }
};

// More chunks than the window holds, so that its slots are used again.
constexpr int kManyChunks = 2 * static_cast<int>(tzrecon::ReadAhead::kDepth) + 17;

inline void OddTrailers(SampleLibrary& lib, const std::string& volume, int volumeId, int first) {
  lib.Volume(volume);
  for (int i = 0; i < 6; ++i) lib.Chunk(volume, volumeId, first + i, 1000u + i);
  const std::string dir = lib.root + "/" + volume + "/";
  const auto trailer = [&](int chunk) { return dir + "CHUNKMAP_TRAILER_" + std::to_string(chunk); };
  unlink(trailer(first).c_str());                                  // missing
  WriteFile(trailer(first + 1), Trailer(volumeId, first + 1, 100));  // short
  WriteFile(trailer(first + 2), Trailer(volumeId, first + 9));       // another chunk's
  unlink(trailer(first + 3).c_str());
  if (mkfifo(trailer(first + 3).c_str(), 0600) != 0)  // a FIFO
    throw std::runtime_error("cannot make a FIFO");
  unlink(trailer(first + 4).c_str());
  MakeDirs(trailer(first + 4));  // a folder
  // A chunk id beyond 32 bits, and a name that is the plain id's only.
  SampleLibrary::Sparse(dir + "CHUNK_99999999999", 5);
  lib.Chunk(volume, volumeId, first + 7, 77, "CHUNK_00" + std::to_string(first + 7));
}

inline std::vector<OddLibrary> OddLibraries() {
  return {
      {"OddTrailers",
       [](SampleLibrary& lib) {
         OddTrailers(lib, "V_1", 1, 1);
         lib.Volume("V_2", "8");  // another copy's
         lib.Chunk("V_2", 2, 50, 5);
         OddTrailers(lib, "V_3", 3, 100);
       },
       MOUNT_PATH_TRAVERSE_NON_SI, 2, "Failed to read 1024 bytes from CMT"},
      {"ManyChunks",
       [](SampleLibrary& lib) {
         lib.Volume("V_4");
         for (int chunk = 1; chunk <= kManyChunks; ++chunk) lib.Chunk("V_4", 4, chunk, chunk);
         // Every 50th trailer names another chunk, every 70th is missing.
         for (int chunk = 50; chunk <= kManyChunks; chunk += 50)
           WriteFile(lib.root + "/V_4/CHUNKMAP_TRAILER_" + std::to_string(chunk),
                     Trailer(4, chunk + 1));
         for (int chunk = 70; chunk <= kManyChunks; chunk += 70)
           unlink((lib.root + "/V_4/CHUNKMAP_TRAILER_" + std::to_string(chunk)).c_str());
       },
       MOUNT_PATH_TRAVERSE_NON_SI, 1, "[51] and in chunk file name [50] do not match"},
      {"UnreadableChunksAndTrailers",
       [](SampleLibrary& lib) {
         lib.Volume("V_6");
         for (int chunk = 1; chunk <= 8; ++chunk) lib.Chunk("V_6", 6, chunk, 60u + chunk);
         lib.Deny(lib.root + "/V_6/CHUNK_2");
         lib.Deny(lib.root + "/V_6/CHUNKMAP_TRAILER_3");
         if (symlink("/nonexistent/target", (lib.root + "/V_6/CHUNK_9").c_str()) != 0)
           throw std::runtime_error("cannot make the dangling chunk");
       },
       // Denied to an unprivileged walk (root would read it).
       MOUNT_PATH_TRAVERSE_NON_SI, 1, "/V_6/CHUNKMAP_TRAILER_3]"},
      {"WalkFailsAtAChunkWithoutId",
       [](SampleLibrary& lib) {
         lib.Volume("V_7");
         for (int chunk = 1; chunk <= 20; ++chunk) lib.Chunk("V_7", 7, chunk, chunk);
         SampleLibrary::Sparse(lib.root + "/V_7/CHUNK_", 1);
       },
       MOUNT_PATH_TRAVERSE_NON_SI, 1, "/V_7/CHUNK_]"},
      {"SingleInstanced",
       [](SampleLibrary& lib) {
         lib.Volume("V_5", "7", /*singleInstanced=*/true);
         for (int folder = 1; folder <= 40; ++folder)
           for (int meta = 0; meta < 3; ++meta)
             lib.SIChunk("V_5", 5, folder, 4 * folder + meta, 10u * folder + meta);
         unlink((lib.root + "/V_5/CHUNKMAP_TRAILER_9").c_str());
         WriteFile(lib.root + "/V_5/CHUNKMAP_TRAILER_13", Trailer(5, 14));
         lib.Volume("V_8");  // not single-instanced: not walked in this mode
         lib.Chunk("V_8", 8, 1, 1);
       },
       MOUNT_PATH_TRAVERSE_SI, 1, "/V_5/CHUNKMAP_TRAILER_9]"},
  };
}

}  // namespace tztest
