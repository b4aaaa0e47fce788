// What one chunk costs the library besides its system calls: the filtered
// progress message, the row, the trailer check, the chunk path reading.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "DumpFile.h"
#include "EvDebug.h"
#include "LibraryLayout.h"
#include "TrailerFormat.h"

namespace {

// A level-2 message at log level 1 (the default: filtered, which must cost
// no formatting) and at log level 2 (written, to /dev/null) for comparison.
void BM_ProgressMessage(benchmark::State& state) {
  setenv("TZRECON_LOG_LEVEL", std::to_string(state.range(0)).c_str(), 1);
  setenv("TZRECON_LOG", "/dev/null", 1);
  EvDebug debug(nullptr);
  const std::string path = "/srv/library/mount/V_1234/CHUNK_567890";
  for (auto _ : state)
    benchmark::DoNotOptimize(debug.DebugLvl("ChunkListHelper::OnChunk", 2, "Dumping Chunk Info [%s]",
                                            path.c_str()));
}
BENCHMARK(BM_ProgressMessage)->Arg(1)->Arg(2);

void BM_FormatRow(benchmark::State& state) {
  char row[tzrecon::kMaxRowSize];
  int32_t chunk = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tzrecon::FormatRow(row, 3, 1234, ++chunk, 5368709123ull, false));
  }
}
BENCHMARK(BM_FormatRow);

void BM_SnprintfRow(benchmark::State& state) {
  char row[128];
  int32_t chunk = 0;
  for (auto _ : state)
    benchmark::DoNotOptimize(snprintf(row, sizeof row, "%d, %d, %d, %llu, %d\r\n", 3, 1234, ++chunk,
                                      5368709123ull, 0));
}
BENCHMARK(BM_SnprintfRow);

void BM_VerifyTrailer(benchmark::State& state) {
  setenv("TZRECON_LOG", "/dev/null", 1);
  EvDebug debug(nullptr);
  std::string trailer = "VolumeId 1234\nChunkId 567890\n";
  trailer.resize(tzrecon::kTrailerReadSize, '#');
  std::string work;
  for (auto _ : state) {
    work = trailer;
    benchmark::DoNotOptimize(tzrecon::VerifyTrailerRecords(work.data(), work.size(), 1234, 567890,
                                                           debug, "/t"));
  }
}
BENCHMARK(BM_VerifyTrailer);

void BM_ReadChunkPath(benchmark::State& state) {
  const std::string mount = "/srv/library/mount/";
  const std::string path = mount + "V_1234/CHUNK_567890";
  tzrecon::ChunkPathParts parts;
  for (auto _ : state) benchmark::DoNotOptimize(tzrecon::ReadChunkPath(mount.size(), path, parts));
}
BENCHMARK(BM_ReadChunkPath);

}  // namespace

BENCHMARK_MAIN();
