/* parprobe: the parallel probe of the benchmark.
 *
 * Writes the same dump as refwalk (traverse mode 1 only) with the same calls
 * per chunk (fstatat of the chunk, openat + read + close of its trailer,
 * relative to the volume folder), but from THREADS threads at once: the
 * volume folder is listed first, then the threads share its chunks, then the
 * rows are written in listing order. It measures how many requests the
 * storage serves at once, which a walk that asks one at a time cannot see;
 * it is not a product and exists for the benchmark alone.
 *
 *   parprobe THREADS MOUNT_PATH MOUNT_PATH_ID COPY_ID OUT
 *
 * Exit status: 0 done, 1 the walk failed, 2 a bad argument.
 */
#include "walk_common.h"

#include <pthread.h>

/* One chunk of the volume being probed: its name (an offset into the name
 * arena) and, once a thread has probed it, its row. */
struct Chunk {
  size_t nameOffset;
  uint64_t size;
  int32_t chunkId;
  int row; /* the trailer matched: the chunk gets a row */
};

/* The volume the threads work on; written by the main thread between the
 * two barriers, read by the threads inside them. */
static struct {
  int volumeFd;
  int32_t volumeId;
  const char* names;
  struct Chunk* chunks;
  size_t count;
  size_t next; /* the next chunk to take, taken with an atomic add */
  int done;    /* no more volumes: the threads leave */
} g_job;

static pthread_barrier_t g_start, g_finish;

static void Probe(struct Chunk* chunk) {
  const char* name = g_job.names + chunk->nameOffset;
  const char* idText = strrchr(name, '_') + 1;
  chunk->row = 0;
  if (*idText == '\0') {
    errno = EINVAL;
    Die("a chunk name without an id", name);
  }
  if (ReadDecimal(idText, NULL, &chunk->chunkId) == kOutOfRange) return;
  struct stat status;
  chunk->size = fstatat(g_job.volumeFd, name, &status, 0) == 0 ? (uint64_t)status.st_size : 0;
  char trailerName[40] = "CHUNKMAP_TRAILER_";
  *PutSigned(trailerName + 17, chunk->chunkId) = '\0';
  char trailer[kTrailerReadSize];
  if (!ReadPrefix(g_job.volumeFd, trailerName, trailer, sizeof trailer)) return;
  chunk->row = TrailerMatches(trailer, sizeof trailer, g_job.volumeId, chunk->chunkId);
}

static void ProbeShare(void) {
  for (;;) {
    const size_t i = __atomic_fetch_add(&g_job.next, 1, __ATOMIC_RELAXED);
    if (i >= g_job.count) return;
    Probe(&g_job.chunks[i]);
  }
}

static void* Worker(void* unused) {
  (void)unused;
  for (;;) {
    pthread_barrier_wait(&g_start);
    if (g_job.done) return NULL;
    ProbeShare();
    pthread_barrier_wait(&g_finish);
  }
}

/* Grows `*buffer` (of `*capacity` bytes) to hold at least `need` bytes. */
static void* Grow(void* buffer, size_t* capacity, size_t need) {
  if (need <= *capacity) return buffer;
  size_t size = *capacity ? *capacity : 4096;
  while (size < need) size *= 2;
  void* grown = realloc(buffer, size);
  if (grown == NULL) Die("out of memory", "chunk list");
  *capacity = size;
  return grown;
}

int main(int argc, char** argv) {
  g_program = "parprobe";
  char* end = NULL;
  const long threads = argc == 6 ? strtol(argv[1], &end, 10) : 0;
  if (argc != 6 || *end != '\0' || threads < 1 || threads > 1024) {
    fputs("usage: parprobe THREADS(1-1024) MOUNT_PATH MOUNT_PATH_ID COPY_ID OUT\n", stderr);
    return 2;
  }
  const char* mountPath = argv[2];
  const int32_t mountPathId = (int32_t)strtol(argv[3], NULL, 10);
  const uint32_t copyId = (uint32_t)strtoll(argv[4], NULL, 10);

  char* memory = StartOutput(argv[5], 2);

  /* The main thread probes too: THREADS - 1 more. */
  pthread_barrier_init(&g_start, NULL, (unsigned)threads);
  pthread_barrier_init(&g_finish, NULL, (unsigned)threads);
  pthread_t* workers = calloc((size_t)threads, sizeof *workers);
  if (workers == NULL) Die("out of memory", "threads");
  for (long t = 1; t < threads; ++t) {
    errno = pthread_create(&workers[t], NULL, Worker, NULL);
    if (errno != 0) Die("cannot start a thread", "worker");
  }

  char* names = NULL;
  size_t namesCapacity = 0;
  struct Chunk* chunks = NULL;
  size_t chunksCapacity = 0;
  uint64_t rows = 0;
  struct Listing volumes;
  const int mountFd = ListMountPath(mountPath, &volumes, memory + kOutBufferSize);
  const char* volumeName;
  while ((volumeName = NextName(&volumes, mountPath)) != NULL) {
    if (!HasPrefix(volumeName, "V_")) continue;
    int32_t volumeId = 0;
    const int volumeFd = OpenVolume(mountFd, volumeName, copyId, 0, &volumeId);
    if (volumeFd < 0) continue;
    /* The volume's chunk names, in listing order. */
    size_t count = 0, namesUsed = 0;
    struct Listing listing;
    StartListing(&listing, volumeFd, memory + kOutBufferSize + kListBufferSize);
    const char* chunkName;
    while ((chunkName = NextName(&listing, volumeName)) != NULL) {
      if (!HasPrefix(chunkName, "CHUNK_")) continue;
      const size_t length = strlen(chunkName) + 1;
      names = Grow(names, &namesCapacity, namesUsed + length);
      memcpy(names + namesUsed, chunkName, length);
      chunks = Grow(chunks, &chunksCapacity, (count + 1) * sizeof *chunks);
      chunks[count++].nameOffset = namesUsed;
      namesUsed += length;
    }
    g_job.volumeFd = volumeFd;
    g_job.volumeId = volumeId;
    g_job.names = names;
    g_job.chunks = chunks;
    g_job.count = count;
    g_job.next = 0;
    pthread_barrier_wait(&g_start);
    ProbeShare();
    pthread_barrier_wait(&g_finish);
    for (size_t i = 0; i < count; ++i) {
      if (!chunks[i].row) continue;
      Row(mountPathId, volumeId, chunks[i].chunkId, chunks[i].size, 0);
      ++rows;
    }
    close(volumeFd);
  }
  g_job.done = 1;
  pthread_barrier_wait(&g_start);
  for (long t = 1; t < threads; ++t) pthread_join(workers[t], NULL);
  close(mountFd);
  FinishOutput(argv[5]);
  free(names);
  free(chunks);
  free(workers);
  fprintf(stderr, "parprobe: %" PRIu64 " rows, %ld threads\n", rows, threads);
  return 0;
}
