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
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum {
  kLabelCopyIdOffset = 1007, /* the copy id in the media label */
  kLabelReadSize = 1551,     /* the bytes of the label that are read */
  kTrailerReadSize = 1024,   /* the bytes of a trailer that hold its records */
  kListBufferSize = 256 * 1024,
  kOutBufferSize = 1024 * 1024,
};

static const char kHeader[] = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";

static void Die(const char* what, const char* name) {
  fprintf(stderr, "refwalk: %s [%s]: %s\n", what, name, strerror(errno));
  exit(1);
}

/* ---- Output: one large buffer, flushed with write(2). ---- */

static int g_out = -1;
static char* g_outBuffer;
static size_t g_outUsed;

static void Flush(void) {
  size_t done = 0;
  while (done < g_outUsed) {
    ssize_t n = write(g_out, g_outBuffer + done, g_outUsed - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) Die("cannot write the dump", "output");
    done += (size_t)n;
  }
  g_outUsed = 0;
}

/* Appends the decimal form of `value` (with a sign when negative). */
static char* PutSigned(char* p, int64_t value) {
  char digits[24];
  int n = 0;
  uint64_t magnitude = value < 0 ? (uint64_t)0 - (uint64_t)value : (uint64_t)value;
  do {
    digits[n++] = (char)('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) *p++ = '-';
  while (n > 0) *p++ = digits[--n];
  return p;
}

static char* PutUnsigned(char* p, uint64_t value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

/* "%d, %d, %d, %llu, %d\r\n" */
static void Row(int32_t mountPathId, int32_t volumeId, int32_t chunkId, uint64_t size, int si) {
  if (kOutBufferSize - g_outUsed < 96) Flush();
  char* p = g_outBuffer + g_outUsed;
  p = PutSigned(p, mountPathId);
  *p++ = ',', *p++ = ' ';
  p = PutSigned(p, volumeId);
  *p++ = ',', *p++ = ' ';
  p = PutSigned(p, chunkId);
  *p++ = ',', *p++ = ' ';
  p = PutUnsigned(p, size);
  *p++ = ',', *p++ = ' ';
  *p++ = si ? '1' : '0';
  *p++ = '\r', *p++ = '\n';
  g_outUsed = (size_t)(p - g_outBuffer);
}

/* ---- Decimal ids, read the way the dump reads them (atoi with a range check). ---- */

enum Decimal { kOk, kNoDigits, kOutOfRange };

static int IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Reads up to `end` (or a zero byte when `end` is null). */
static enum Decimal ReadDecimal(const char* p, const char* end, int32_t* value) {
#define AT_END(q) ((end) ? (q) >= (end) : *(q) == '\0')
  while (!AT_END(p) && IsSpace(*p)) ++p;
  int negative = 0;
  if (!AT_END(p) && (*p == '+' || *p == '-')) negative = *p++ == '-';
  const int64_t limit = negative ? -(int64_t)INT32_MIN : INT32_MAX;
  int64_t magnitude = 0;
  int digits = 0, outOfRange = 0;
  while (!AT_END(p) && *p >= '0' && *p <= '9') {
    digits = 1;
    if (!outOfRange) {
      magnitude = magnitude * 10 + (*p - '0');
      if (magnitude > limit) outOfRange = 1;
    }
    ++p;
  }
#undef AT_END
  if (!digits) {
    *value = 0;
    return kNoDigits;
  }
  if (outOfRange) {
    *value = negative ? INT32_MIN : INT32_MAX;
    return kOutOfRange;
  }
  *value = (int32_t)(negative ? -magnitude : magnitude);
  return kOk;
}

/* ---- Small reads: open relative to a folder, read, close. ---- */

static int g_noAtime = O_NOATIME; /* dropped for good once the kernel refuses it */

static int OpenAt(int dirFd, const char* name) {
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | g_noAtime);
  if (fd < 0 && errno == EPERM && g_noAtime != 0) {
    g_noAtime = 0;
    fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
  }
  return fd;
}

/* Reads the first `length` bytes of `name`; false when it is shorter or unreadable. */
static int ReadPrefix(int dirFd, const char* name, char* buffer, size_t length) {
  const int fd = OpenAt(dirFd, name);
  if (fd < 0) return 0;
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += (size_t)n;
  }
  close(fd);
  return done == length;
}

/* The trailer's "VolumeId"/"ChunkId" records: at least one present, all matching.
 * A record is a name of at most 63 bytes ended by a blank, then a value of at
 * most 4095 bytes ended by a newline; the walk stops at the first that is not. */
static int TrailerMatches(char* data, size_t size, int32_t volumeId, int32_t chunkId) {
  const char* end = data + size;
  char* cursor = data;
  int found = 0;
  for (;;) {
    char* name = cursor;
    int i = 0;
    while (i < 64 && cursor < end && *cursor != ' ') ++i, ++cursor;
    if (i == 64 || cursor >= end) break;
    *cursor++ = '\0';
    char* value = cursor;
    i = 0;
    while (i < 4096 && cursor < end && *cursor != '\n') ++i, ++cursor;
    if (i == 4096 || cursor >= end) break;
    *cursor++ = '\0';
    int32_t id = 0;
    if (strcmp(name, "VolumeId") == 0) {
      found = 1;
      if (ReadDecimal(value, NULL, &id) == kOutOfRange || id != volumeId) return 0;
    } else if (strcmp(name, "ChunkId") == 0) {
      found = 1;
      if (ReadDecimal(value, NULL, &id) == kOutOfRange || id != chunkId) return 0;
    }
  }
  return found;
}

/* ---- Folder listing with getdents64. ---- */

struct Dirent64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[];
};

struct Listing {
  int fd;
  char* buffer;
  long length, position;
};

/* The next name, "." and ".." left out; null at the end. */
static const char* NextName(struct Listing* listing, const char* where) {
  for (;;) {
    if (listing->position >= listing->length) {
      listing->length = syscall(SYS_getdents64, listing->fd, listing->buffer, kListBufferSize);
      if (listing->length < 0) Die("cannot list", where);
      if (listing->length == 0) return NULL;
      listing->position = 0;
    }
    const struct Dirent64* d = (const struct Dirent64*)(listing->buffer + listing->position);
    listing->position += d->reclen;
    const char* n = d->name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    return n;
  }
}

static void StartListing(struct Listing* listing, int fd, char* buffer) {
  listing->fd = fd;
  listing->buffer = buffer;
  listing->length = listing->position = 0;
}

static int HasPrefix(const char* name, const char* prefix) {
  return strncmp(name, prefix, strlen(prefix)) == 0;
}

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

  g_out = open(argv[5], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (g_out < 0) Die("cannot create", argv[5]);
  /* One allocation for the output and the three listing levels. */
  char* memory = malloc(kOutBufferSize + 3 * kListBufferSize);
  if (memory == NULL) Die("out of memory", "buffers");
  g_outBuffer = memory;
  memcpy(g_outBuffer, kHeader, sizeof kHeader - 1);
  g_outUsed = sizeof kHeader - 1;

  const int mountFd = open(mountPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mountFd < 0) Die("cannot open", mountPath);
  struct Listing volumes;
  StartListing(&volumes, mountFd, memory + kOutBufferSize);
  const char* volumeName;
  while ((volumeName = NextName(&volumes, mountPath)) != NULL) {
    if (!HasPrefix(volumeName, "V_")) continue;
    if (g_fullPaths) {
      char mountSlash[PATH_MAX];
      FolderPath(mountSlash, mountPath, "");
      FolderPath(g_volumePath, mountSlash, volumeName);
      strcpy(g_folderPath, g_volumePath);
    }
    const int volumeFd = openat(mountFd, volumeName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (volumeFd < 0) continue; /* not a folder: it has no label, the dump skips it */
    struct stat status;
    const int si = fstatat(volumeFd, ".tzsivolume", &status, 0) == 0;
    char label[kLabelReadSize];
    int32_t labelCopyId = 0;
    if (si != wantSI || !ReadPrefix(volumeFd, "MEDIA_LABEL", label, sizeof label) ||
        ReadDecimal(label + kLabelCopyIdOffset, label + sizeof label, &labelCopyId) ==
            kOutOfRange ||
        (uint32_t)labelCopyId != copyId) {
      close(volumeFd);
      continue;
    }
    /* The volume id: only its own plain decimal form names a volume. */
    int32_t volumeId = 0;
    ReadDecimal(volumeName + 2, volumeName + strlen(volumeName), &volumeId);
    char canonical[16];
    *PutSigned(canonical, volumeId) = '\0';
    if (strcmp(canonical, volumeName + 2) != 0) {
      close(volumeFd);
      continue;
    }

    struct Listing chunks;
    StartListing(&chunks, volumeFd, memory + kOutBufferSize + kListBufferSize);
    const char* chunkName;
    while ((chunkName = NextName(&chunks, volumeName)) != NULL) {
      if (!HasPrefix(chunkName, "CHUNK_")) continue;
      if (!si) {
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
  Flush();
  if (close(g_out) != 0) Die("cannot close", argv[5]);
  free(memory);
  fprintf(stderr, "refwalk: %" PRIu64 " rows\n", g_rows);
  return 0;
}
