/* refwalk: the reference walker of the benchmark.
 *
 * Writes the same chunk-lister dump as the library, with the fewest system
 * calls the layout allows: the folders are read with getdents64 into a large
 * buffer, every status read and open is relative to the folder's descriptor
 * (fstatat, openat), a trailer costs openat + read + close, and the rows go
 * through one 1 MiB buffer written with write(2). It is the lower bound the
 * library's dump is measured against, not a product: it exists for the
 * benchmark alone.
 *
 *   refwalk [--full-paths] MOUNT_PATH MOUNT_PATH_ID COPY_ID MODE OUT
 *
 * MODE 1 walks the volumes without the single-instance marker (each CHUNK_<n>
 * is a chunk), MODE 2 those with it (each CHUNK_<n> is a folder of
 * CHUNK_META_DATA_<m> records). Rows come in directory order, as the
 * library's do, so the two dumps of one tree are byte for byte the same.
 *
 * --full-paths makes the same calls with absolute paths from the mount path
 * (AT_FDCWD) instead of names relative to the folder: it shows what the
 * kernel's path walk per call costs, and is not the reference.
 * Exit status: 0 done, 1 the walk failed, 2 a bad argument.
 */
#include "walk_common.h"

/* ---- The walk. ---- */

static int32_t g_mountPathId;
static uint64_t g_rows;

/* With --full-paths: the folder paths of the walk, each ending in "/". */
static int g_fullPaths;
static char g_volumePath[PATH_MAX];
static char g_folderPath[PATH_MAX];

/* "<a><b>/" into `out` (PATH_MAX bytes). */
static void FolderPath(char* out, const char* a, const char* b) {
  if ((size_t)snprintf(out, PATH_MAX, "%s%s/", a, b) >= PATH_MAX) {
    errno = ENAMETOOLONG;
    Die("path too long", b);
  }
}

/* `name` in `dirFd`, or with --full-paths "<folder path><name>" from the
 * current folder. The result stays valid until the next call. */
static const char* Where(int* dirFd, const char* folderPath, const char* name) {
  static char path[PATH_MAX];
  if (!g_fullPaths) return name;
  if ((size_t)snprintf(path, sizeof path, "%s%s", folderPath, name) >= sizeof path) {
    errno = ENAMETOOLONG;
    Die("path too long", name);
  }
  *dirFd = AT_FDCWD;
  return path;
}

/* One record: the file `name` in `folderFd` (its size), the trailer named
 * by the id after the last "_" of `name` in `volumeFd`, then the row. */
static void Record(int volumeFd, int folderFd, const char* name, int32_t volumeId, int si) {
  const char* idText = strrchr(name, '_') + 1;
  if (*idText == '\0') {
    /* No id after the "_": the dump fails on a chunk, passes over a record. */
    if (!si) {
      errno = EINVAL;
      Die("a chunk name without an id", name);
    }
    return;
  }
  int32_t chunkId = 0;
  if (ReadDecimal(idText, NULL, &chunkId) == kOutOfRange) return;
  struct stat status;
  const char* path = Where(&folderFd, g_folderPath, name);
  const uint64_t size = fstatat(folderFd, path, &status, 0) == 0 ? (uint64_t)status.st_size : 0;
  char trailerName[40] = "CHUNKMAP_TRAILER_";
  *PutSigned(trailerName + 17, chunkId) = '\0';
  char trailer[kTrailerReadSize];
  path = Where(&volumeFd, g_volumePath, trailerName);
  if (!ReadPrefix(volumeFd, path, trailer, sizeof trailer)) return;
  if (!TrailerMatches(trailer, sizeof trailer, volumeId, chunkId)) return;
  Row(g_mountPathId, volumeId, chunkId, size, si);
  ++g_rows;
}

int main(int argc, char** argv) {
  if (argc > 1 && strcmp(argv[1], "--full-paths") == 0) {
    g_fullPaths = 1;
    --argc, ++argv;
  }
  if (argc != 6 || (strcmp(argv[4], "1") != 0 && strcmp(argv[4], "2") != 0)) {
    fputs("usage: refwalk [--full-paths] MOUNT_PATH MOUNT_PATH_ID COPY_ID MODE(1|2) OUT\n", stderr);
    return 2;
  }
  const char* mountPath = argv[1];
  g_mountPathId = (int32_t)strtol(argv[2], NULL, 10);
  const uint32_t copyId = (uint32_t)strtoll(argv[3], NULL, 10);
  const int wantSI = argv[4][0] == '2';

  char* memory = StartOutput(argv[5], 3);

  struct Listing volumes;
  const int mountFd = ListMountPath(mountPath, &volumes, memory + kOutBufferSize);
  const char* volumeName;
  while ((volumeName = NextName(&volumes, mountPath)) != NULL) {
    if (!HasPrefix(volumeName, "V_")) continue;
    if (g_fullPaths) {
      char mountSlash[PATH_MAX];
      FolderPath(mountSlash, mountPath, "");
      FolderPath(g_volumePath, mountSlash, volumeName);
      strcpy(g_folderPath, g_volumePath);
    }
    int32_t volumeId = 0;
    const int volumeFd = OpenVolume(mountFd, volumeName, copyId, wantSI, &volumeId);
    if (volumeFd < 0) continue;
    struct Listing chunks;
    StartListing(&chunks, volumeFd, memory + kOutBufferSize + kListBufferSize);
    const char* chunkName;
    while ((chunkName = NextName(&chunks, volumeName)) != NULL) {
      if (!HasPrefix(chunkName, "CHUNK_")) continue;
      if (!wantSI) {
        Record(volumeFd, volumeFd, chunkName, volumeId, 0);
        continue;
      }
      const int chunkFd = openat(volumeFd, chunkName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (chunkFd < 0) Die("cannot open the single-instanced chunk", chunkName);
      if (g_fullPaths) FolderPath(g_folderPath, g_volumePath, chunkName);
      struct Listing records;
      StartListing(&records, chunkFd, memory + kOutBufferSize + 2 * kListBufferSize);
      const char* recordName;
      while ((recordName = NextName(&records, chunkName)) != NULL) {
        if (!HasPrefix(recordName, "CHUNK_META_DATA_") || strstr(recordName, ".idx") != NULL)
          continue;
        Record(volumeFd, chunkFd, recordName, volumeId, 1);
      }
      close(chunkFd);
    }
    close(volumeFd);
  }
  close(mountFd);
  FinishOutput(argv[5]);
  fprintf(stderr, "refwalk: %" PRIu64 " rows\n", g_rows);
  return 0;
}
