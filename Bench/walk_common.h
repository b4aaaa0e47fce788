/* The parts of the benchmark's C walkers that do not depend on how a walk
 * is ordered: the dump's rows and output buffer, decimal ids, small reads,
 * the trailer check, getdents64 listings and the volume checks. Included by
 * refwalk.c (sequential) and parprobe.c (threads); not a library. */
#ifndef TZRECON_BENCH_WALK_COMMON_H
#define TZRECON_BENCH_WALK_COMMON_H

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

static const char* g_program = "refwalk"; /* the name in messages */

static inline void Die(const char* what, const char* name) {
  fprintf(stderr, "%s: %s [%s]: %s\n", g_program, what, name, strerror(errno));
  exit(1);
}

/* ---- Output: one large buffer, flushed with write(2). ---- */

static int g_out = -1;
static char* g_outBuffer;
static size_t g_outUsed;

static inline void Flush(void) {
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
static inline char* PutSigned(char* p, int64_t value) {
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

static inline char* PutUnsigned(char* p, uint64_t value) {
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
static inline void Row(int32_t mountPathId, int32_t volumeId, int32_t chunkId, uint64_t size, int si) {
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

static inline int IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Reads up to `end` (or a zero byte when `end` is null). */
static inline enum Decimal ReadDecimal(const char* p, const char* end, int32_t* value) {
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

/* Dropped for good once the kernel refuses it; read and written atomically
 * because the parallel probe opens from several threads. */
static int g_noAtime = O_NOATIME;

static inline int OpenAt(int dirFd, const char* name) {
  const int noAtime = __atomic_load_n(&g_noAtime, __ATOMIC_RELAXED);
  int fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC | noAtime);
  if (fd < 0 && errno == EPERM && noAtime != 0) {
    __atomic_store_n(&g_noAtime, 0, __ATOMIC_RELAXED);
    fd = openat(dirFd, name, O_RDONLY | O_CLOEXEC);
  }
  return fd;
}

/* Reads the first `length` bytes of `name`; false when it is shorter or unreadable. */
static inline int ReadPrefix(int dirFd, const char* name, char* buffer, size_t length) {
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
static inline int TrailerMatches(char* data, size_t size, int32_t volumeId, int32_t chunkId) {
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
static inline const char* NextName(struct Listing* listing, const char* where) {
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

static inline void StartListing(struct Listing* listing, int fd, char* buffer) {
  listing->fd = fd;
  listing->buffer = buffer;
  listing->length = listing->position = 0;
}

static inline int HasPrefix(const char* name, const char* prefix) {
  return strncmp(name, prefix, strlen(prefix)) == 0;
}


/* Creates the dump file `path` with its header in the output buffer, which
 * shares one allocation with `listings` listing buffers (returned, after the
 * output buffer's kOutBufferSize bytes). */
static inline char* StartOutput(const char* path, int listings) {
  g_out = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (g_out < 0) Die("cannot create", path);
  char* memory = malloc(kOutBufferSize + (size_t)listings * kListBufferSize);
  if (memory == NULL) Die("out of memory", "buffers");
  g_outBuffer = memory;
  memcpy(g_outBuffer, kHeader, sizeof kHeader - 1);
  g_outUsed = sizeof kHeader - 1;
  return memory;
}

/* Writes the rest of the dump and closes it; frees StartOutput's memory. */
static inline void FinishOutput(const char* path) {
  Flush();
  if (close(g_out) != 0) Die("cannot close", path);
  free(g_outBuffer);
}

/* ---- Volumes. ---- */

/* Opens the mount path and starts listing it into `buffer`; returns its
 * descriptor. */
static inline int ListMountPath(const char* mountPath, struct Listing* volumes, char* buffer) {
  const int mountFd = open(mountPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (mountFd < 0) Die("cannot open", mountPath);
  StartListing(volumes, mountFd, buffer);
  return mountFd;
}

/* Opens the volume folder `name` in `mountFd` when it belongs to the dump:
 * its single-instance marker matches `wantSI`, its media label carries
 * `copyId` and its name is "V_" and the plain decimal form of its id.
 * Returns the folder's descriptor and sets `*volumeId`, or -1 when the
 * volume is passed over. */
static inline int OpenVolume(int mountFd, const char* name, uint32_t copyId, int wantSI,
                             int32_t* volumeId) {
  const int volumeFd = openat(mountFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (volumeFd < 0) return -1; /* not a folder: it has no label, the dump skips it */
  struct stat status;
  const int si = fstatat(volumeFd, ".tzsivolume", &status, 0) == 0;
  char label[kLabelReadSize];
  int32_t labelCopyId = 0;
  if (si != wantSI || !ReadPrefix(volumeFd, "MEDIA_LABEL", label, sizeof label) ||
      ReadDecimal(label + kLabelCopyIdOffset, label + sizeof label, &labelCopyId) ==
          kOutOfRange ||
      (uint32_t)labelCopyId != copyId) {
    close(volumeFd);
    return -1;
  }
  /* The volume id: only its own plain decimal form names a volume. */
  *volumeId = 0;
  ReadDecimal(name + 2, name + strlen(name), volumeId);
  char canonical[16];
  *PutSigned(canonical, *volumeId) = '\0';
  if (strcmp(canonical, name + 2) != 0) {
    close(volumeFd);
    return -1;
  }
  return volumeFd;
}

#endif
