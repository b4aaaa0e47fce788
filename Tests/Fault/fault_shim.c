/* A fault-injecting preload library: makes the N-th call of one chosen
 * C library operation fail with a chosen errno, so that tests can run the
 * real host and library (through tzrecon) against failures that real disks
 * rarely produce on demand.
 *
 * Configuration, read once from the environment:
 *   TZFAULT_OP           the operation (see kOps below); unset: count nothing
 *   TZFAULT_N            the first call to fail, counting from 1; 0 or unset:
 *                        only count
 *   TZFAULT_TIMES        how many calls in a row fail from the N-th on
 *                        (default 1)
 *   TZFAULT_ERRNO        the errno the failing call reports (default EIO)
 *   TZFAULT_PATH_SUBSTR  only calls on paths holding this text count; calls
 *                        on a descriptor, DIR or FILE use the path it was
 *                        opened with
 *   TZFAULT_PATH_EXCLUDE calls on paths holding this text never count
 *   TZFAULT_CALLER       comma-separated texts; only calls made from a
 *                        loaded object whose file name holds one of them
 *                        count (default "libTz": the library and the host,
 *                        not tzrecon's own file handling)
 *   TZFAULT_REPORT       a file that always holds "<calls> <injected>\n":
 *                        how many calls counted, how many were made to fail
 *
 * Operations and what a failure does:
 *   open      open, open64, openat, openat64 (and their _2 checks): -1
 *   read      read, preadv2, preadv64v2: -1, nothing read
 *   close     close: the descriptor is closed, then -1 (as Linux does)
 *   stat      stat, stat64, lstat, lstat64, fstatat, fstatat64: -1
 *   fstat     fstat, fstat64: -1
 *   opendir   opendir, fdopendir: NULL (fdopendir leaves the fd open)
 *   readdir   readdir, readdir64: NULL with errno set, as when getdents
 *             fails (getdents itself is called inside the C library, where a
 *             preload cannot reach it)
 *   closedir  closedir: the stream is closed, then -1
 *   fdopen    fdopen: NULL
 *   fwrite    fwrite, fwrite_unlocked: 0 items, the stream's error flag set
 *   fflush    fflush: EOF, the stream's error flag set, nothing written
 *   fclose    fclose: the stream is closed (and flushed), then EOF
 *   write     write: -1, nothing written
 *   devfull   fwrite, fwrite_unlocked, fflush, fclose are counted; at the
 *             N-th the stream's descriptor is replaced by one on /dev/full,
 *             then the call goes ahead. The stream's own writes inside the
 *             C library (which no preload can intercept) then fail with
 *             ENOSPC whenever its buffer is written out: the way a full disk
 *             shows itself to a buffered writer. TZFAULT_ERRNO is not used.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

/* The C library may define these as macros when optimising. */
#undef fwrite_unlocked

enum Op {
  kOpen,
  kRead,
  kClose,
  kStat,
  kFstat,
  kOpendir,
  kReaddir,
  kClosedir,
  kFdopen,
  kFwrite,
  kFflush,
  kFclose,
  kWrite,
  kDevFull,
  kOpCount,
  kNoOp = -1
};

static const char* const kOps[kOpCount] = {
    "open",  "read",   "close",  "stat",   "fstat",  "opendir", "readdir",
    "closedir", "fdopen", "fwrite", "fflush", "fclose", "write", "devfull"};

/* Per descriptor: 1 when it was opened on a path that counts, 0 when on one
 * that does not, -1 when unknown (inherited, or opened by other means). */
#define kMaxFd 65536
static signed char g_fdSelected[kMaxFd];

static int g_ready;
static int g_op = kNoOp;
static long g_first;
static long g_times = 1;
static int g_errno = EIO;
static char g_substr[512];
static char g_exclude[512];
static char g_callers[512] = "libTz";
static int g_reportFd = -1;
static long g_calls;
static long g_injected;

/* The C library's own functions. */
static int (*real_open)(const char*, int, ...);
static int (*real_open64)(const char*, int, ...);
static int (*real_openat)(int, const char*, int, ...);
static int (*real_openat64)(int, const char*, int, ...);
static int (*real___open_2)(const char*, int);
static int (*real___open64_2)(const char*, int);
static ssize_t (*real_read)(int, void*, size_t);
static ssize_t (*real_preadv2)(int, const struct iovec*, int, off_t, int);
static ssize_t (*real_preadv64v2)(int, const struct iovec*, int, off64_t, int);
static ssize_t (*real_write)(int, const void*, size_t);
static ssize_t (*real_pwrite)(int, const void*, size_t, off_t);
static int (*real_close)(int);
static int (*real_stat)(const char*, struct stat*);
static int (*real_stat64)(const char*, struct stat64*);
static int (*real_lstat)(const char*, struct stat*);
static int (*real_lstat64)(const char*, struct stat64*);
static int (*real_fstatat)(int, const char*, struct stat*, int);
static int (*real_fstatat64)(int, const char*, struct stat64*, int);
static int (*real_fstat)(int, struct stat*);
static int (*real_fstat64)(int, struct stat64*);
static DIR* (*real_opendir)(const char*);
static DIR* (*real_fdopendir)(int);
static struct dirent* (*real_readdir)(DIR*);
static struct dirent64* (*real_readdir64)(DIR*);
static int (*real_closedir)(DIR*);
static FILE* (*real_fdopen)(int, const char*);
static size_t (*real_fwrite)(const void*, size_t, size_t, FILE*);
static size_t (*real_fwrite_unlocked)(const void*, size_t, size_t, FILE*);
static int (*real_fflush)(FILE*);
static int (*real_fclose)(FILE*);

#define RESOLVE(name) real_##name = (__typeof__(real_##name))dlsym(RTLD_NEXT, #name)

static void CopyEnv(const char* name, char* to, size_t size) {
  const char* value = getenv(name);
  if (value == NULL) return;
  strncpy(to, value, size - 1);
  to[size - 1] = '\0';
}

static void Init(void) {
  if (__atomic_load_n(&g_ready, __ATOMIC_ACQUIRE)) return;
  RESOLVE(open);
  RESOLVE(open64);
  RESOLVE(openat);
  RESOLVE(openat64);
  RESOLVE(__open_2);
  RESOLVE(__open64_2);
  RESOLVE(read);
  RESOLVE(preadv2);
  RESOLVE(preadv64v2);
  RESOLVE(write);
  RESOLVE(pwrite);
  RESOLVE(close);
  RESOLVE(stat);
  RESOLVE(stat64);
  RESOLVE(lstat);
  RESOLVE(lstat64);
  RESOLVE(fstatat);
  RESOLVE(fstatat64);
  RESOLVE(fstat);
  RESOLVE(fstat64);
  RESOLVE(opendir);
  RESOLVE(fdopendir);
  RESOLVE(readdir);
  RESOLVE(readdir64);
  RESOLVE(closedir);
  RESOLVE(fdopen);
  RESOLVE(fwrite);
  RESOLVE(fwrite_unlocked);
  RESOLVE(fflush);
  RESOLVE(fclose);

  memset(g_fdSelected, -1, sizeof g_fdSelected);
  const char* op = getenv("TZFAULT_OP");
  if (op != NULL)
    for (int i = 0; i < kOpCount; ++i)
      if (strcmp(op, kOps[i]) == 0) g_op = i;
  const char* text = getenv("TZFAULT_N");
  if (text != NULL) g_first = strtol(text, NULL, 10);
  text = getenv("TZFAULT_TIMES");
  if (text != NULL) g_times = strtol(text, NULL, 10);
  text = getenv("TZFAULT_ERRNO");
  if (text != NULL) g_errno = (int)strtol(text, NULL, 10);
  CopyEnv("TZFAULT_PATH_SUBSTR", g_substr, sizeof g_substr);
  CopyEnv("TZFAULT_PATH_EXCLUDE", g_exclude, sizeof g_exclude);
  CopyEnv("TZFAULT_CALLER", g_callers, sizeof g_callers);
  const char* report = getenv("TZFAULT_REPORT");
  if (report != NULL && *report != '\0') {
    g_reportFd = real_open(report, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (g_reportFd >= 0 && g_reportFd < kMaxFd) g_fdSelected[g_reportFd] = 0;
  }
  __atomic_store_n(&g_ready, 1, __ATOMIC_RELEASE);
}

__attribute__((constructor)) static void InitAtLoad(void) { Init(); }

/* Rewrites the report in place: fixed-width fields, so one pwrite always
 * replaces the whole line. */
static void Report(void) {
  if (g_reportFd < 0) return;
  char line[64];
  const int length = snprintf(line, sizeof line, "%20ld %20ld\n", g_calls, g_injected);
  if (length > 0) real_pwrite(g_reportFd, line, (size_t)length, 0);
}

static int PathSelected(const char* path) {
  if (path == NULL) path = "";
  if (g_exclude[0] != '\0' && strstr(path, g_exclude) != NULL) return 0;
  return g_substr[0] == '\0' || strstr(path, g_substr) != NULL;
}

static int FdSelected(int fd) {
  if (fd < 0 || fd >= kMaxFd || g_fdSelected[fd] < 0) return PathSelected(NULL);
  return g_fdSelected[fd];
}

static void Track(int fd, const char* path) {
  if (fd >= 0 && fd < kMaxFd) g_fdSelected[fd] = (signed char)PathSelected(path);
}

/* Whether the code at `address` belongs to an object named in
 * TZFAULT_CALLER. */
static int CallerSelected(const void* address) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == NULL) return 0;
  const char* start = g_callers;
  while (*start != '\0') {
    const char* comma = strchr(start, ',');
    const size_t length = comma != NULL ? (size_t)(comma - start) : strlen(start);
    char one[256];
    if (length > 0 && length < sizeof one) {
      memcpy(one, start, length);
      one[length] = '\0';
      if (strstr(info.dli_fname, one) != NULL) return 1;
    }
    if (comma == NULL) break;
    start = comma + 1;
  }
  return 0;
}

/* Counts one call of `op` and says whether it is to fail. */
static int Inject(int op, int selected, const void* caller) {
  Init();
  if (op != g_op || !selected || !CallerSelected(caller)) return 0;
  const long call = __atomic_add_fetch(&g_calls, 1, __ATOMIC_SEQ_CST);
  const int fail = g_first > 0 && call >= g_first && call < g_first + g_times;
  if (fail) __atomic_add_fetch(&g_injected, 1, __ATOMIC_SEQ_CST);
  Report();
  return fail;
}

#define CALLER __builtin_return_address(0)

/* ---- open ---- */

static int OpenCommon(int (*real)(const char*, int, ...), const char* path, int flags,
                      mode_t mode, const void* caller) {
  if (Inject(kOpen, PathSelected(path), caller)) {
    errno = g_errno;
    return -1;
  }
  const int fd = real(path, flags, mode);
  if (fd >= 0) Track(fd, path);
  return fd;
}

static int OpenAtCommon(int (*real)(int, const char*, int, ...), int dirfd, const char* path,
                        int flags, mode_t mode, const void* caller) {
  if (Inject(kOpen, PathSelected(path), caller)) {
    errno = g_errno;
    return -1;
  }
  const int fd = real(dirfd, path, flags, mode);
  if (fd >= 0) Track(fd, path);
  return fd;
}

static mode_t ModeArgument(int flags, va_list args) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int)
                                                                     : 0;
}

EXPORT int open(const char* path, int flags, ...) {
  Init();
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenCommon(real_open, path, flags, mode, CALLER);
}

EXPORT int open64(const char* path, int flags, ...) {
  Init();
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenCommon(real_open64, path, flags, mode, CALLER);
}

EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  Init();
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAtCommon(real_openat, dirfd, path, flags, mode, CALLER);
}

EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  Init();
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeArgument(flags, args);
  va_end(args);
  return OpenAtCommon(real_openat64, dirfd, path, flags, mode, CALLER);
}

EXPORT int __open_2(const char* path, int flags) {
  Init();
  if (Inject(kOpen, PathSelected(path), CALLER)) {
    errno = g_errno;
    return -1;
  }
  const int fd = real___open_2(path, flags);
  if (fd >= 0) Track(fd, path);
  return fd;
}

EXPORT int __open64_2(const char* path, int flags) {
  Init();
  if (Inject(kOpen, PathSelected(path), CALLER)) {
    errno = g_errno;
    return -1;
  }
  const int fd = real___open64_2(path, flags);
  if (fd >= 0) Track(fd, path);
  return fd;
}

/* ---- read, write, close ---- */

EXPORT ssize_t read(int fd, void* buffer, size_t length) {
  Init();
  if (Inject(kRead, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_read(fd, buffer, length);
}

EXPORT ssize_t preadv2(int fd, const struct iovec* parts, int count, off_t offset, int flags) {
  Init();
  if (Inject(kRead, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_preadv2(fd, parts, count, offset, flags);
}

EXPORT ssize_t preadv64v2(int fd, const struct iovec* parts, int count, off64_t offset,
                          int flags) {
  Init();
  if (Inject(kRead, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_preadv64v2(fd, parts, count, offset, flags);
}

EXPORT ssize_t write(int fd, const void* data, size_t length) {
  Init();
  if (Inject(kWrite, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_write(fd, data, length);
}

EXPORT int close(int fd) {
  Init();
  const int fail = Inject(kClose, FdSelected(fd), CALLER);
  if (fd >= 0 && fd < kMaxFd) g_fdSelected[fd] = -1;
  const int result = real_close(fd);
  if (fail) {
    errno = g_errno;
    return -1;
  }
  return result;
}

/* ---- stat ---- */

#define STAT_WRAPPER(name, type)                            \
  EXPORT int name(const char* path, type* status) {         \
    Init();                                                 \
    if (Inject(kStat, PathSelected(path), CALLER)) {        \
      errno = g_errno;                                      \
      return -1;                                            \
    }                                                       \
    return real_##name(path, status);                       \
  }

STAT_WRAPPER(stat, struct stat)
STAT_WRAPPER(stat64, struct stat64)
STAT_WRAPPER(lstat, struct stat)
STAT_WRAPPER(lstat64, struct stat64)

EXPORT int fstatat(int dirfd, const char* path, struct stat* status, int flags) {
  Init();
  if (Inject(kStat, PathSelected(path), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_fstatat(dirfd, path, status, flags);
}

EXPORT int fstatat64(int dirfd, const char* path, struct stat64* status, int flags) {
  Init();
  if (Inject(kStat, PathSelected(path), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_fstatat64(dirfd, path, status, flags);
}

EXPORT int fstat(int fd, struct stat* status) {
  Init();
  if (Inject(kFstat, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_fstat(fd, status);
}

EXPORT int fstat64(int fd, struct stat64* status) {
  Init();
  if (Inject(kFstat, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return -1;
  }
  return real_fstat64(fd, status);
}

/* ---- directories ---- */

EXPORT DIR* opendir(const char* path) {
  Init();
  if (Inject(kOpendir, PathSelected(path), CALLER)) {
    errno = g_errno;
    return NULL;
  }
  DIR* dir = real_opendir(path);
  if (dir != NULL) Track(dirfd(dir), path);
  return dir;
}

EXPORT DIR* fdopendir(int fd) {
  Init();
  if (Inject(kOpendir, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return NULL;
  }
  return real_fdopendir(fd);
}

EXPORT struct dirent* readdir(DIR* dir) {
  Init();
  if (Inject(kReaddir, FdSelected(dirfd(dir)), CALLER)) {
    errno = g_errno;
    return NULL;
  }
  return real_readdir(dir);
}

EXPORT struct dirent64* readdir64(DIR* dir) {
  Init();
  if (Inject(kReaddir, FdSelected(dirfd(dir)), CALLER)) {
    errno = g_errno;
    return NULL;
  }
  return real_readdir64(dir);
}

EXPORT int closedir(DIR* dir) {
  Init();
  const int fd = dirfd(dir);
  const int fail = Inject(kClosedir, FdSelected(fd), CALLER);
  if (fd >= 0 && fd < kMaxFd) g_fdSelected[fd] = -1;
  const int result = real_closedir(dir);
  if (fail) {
    errno = g_errno;
    return -1;
  }
  return result;
}

/* ---- streams ---- */

EXPORT FILE* fdopen(int fd, const char* mode) {
  Init();
  if (Inject(kFdopen, FdSelected(fd), CALLER)) {
    errno = g_errno;
    return NULL;
  }
  return real_fdopen(fd, mode);
}

static int StreamSelected(FILE* stream) {
  return stream != NULL ? FdSelected(fileno(stream)) : PathSelected(NULL);
}

/* Marks the stream as failed, as the C library does when a write fails. */
static void SetStreamError(FILE* stream) {
  if (stream != NULL) stream->_flags |= _IO_ERR_SEEN;
}

/* The devfull seam: from now on the stream writes to /dev/full. */
static void FillDisk(FILE* stream) {
  if (stream == NULL) return;
  const int full = real_open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full < 0) return;
  dup3(full, fileno(stream), O_CLOEXEC);
  real_close(full);
}

EXPORT size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
  Init();
  const int selected = StreamSelected(stream);
  if (Inject(kDevFull, selected, CALLER)) FillDisk(stream);
  if (Inject(kFwrite, selected, CALLER)) {
    SetStreamError(stream);
    errno = g_errno;
    return 0;
  }
  return real_fwrite(data, size, count, stream);
}

EXPORT size_t fwrite_unlocked(const void* data, size_t size, size_t count, FILE* stream) {
  Init();
  const int selected = StreamSelected(stream);
  if (Inject(kDevFull, selected, CALLER)) FillDisk(stream);
  if (Inject(kFwrite, selected, CALLER)) {
    SetStreamError(stream);
    errno = g_errno;
    return 0;
  }
  return real_fwrite_unlocked(data, size, count, stream);
}

EXPORT int fflush(FILE* stream) {
  Init();
  const int selected = StreamSelected(stream);
  if (Inject(kDevFull, selected, CALLER)) FillDisk(stream);
  if (Inject(kFflush, selected, CALLER)) {
    SetStreamError(stream);
    errno = g_errno;
    return EOF;
  }
  return real_fflush(stream);
}

EXPORT int fclose(FILE* stream) {
  Init();
  const int selected = StreamSelected(stream);
  const int fd = stream != NULL ? fileno(stream) : -1;
  if (Inject(kDevFull, selected, CALLER)) FillDisk(stream);
  const int fail = Inject(kFclose, selected, CALLER);
  if (fd >= 0 && fd < kMaxFd) g_fdSelected[fd] = -1;
  const int result = real_fclose(stream);
  if (fail) {
    errno = g_errno;
    return EOF;
  }
  return result;
}
