/* slowfs: a read-only FUSE passthrough that waits a fixed time before it
 * serves each request, as a file system reached over a network does. It
 * exists for the benchmark: a walk that asks one request at a time pays the
 * delay once per request, one that keeps several in flight pays it once per
 * batch.
 *
 *   slowfs [--delay-us N] SOURCE MOUNTPOINT [FUSE options]
 *
 * N defaults to 1000 (1 ms, a round trip on a local network). SOURCE is
 * served read-only at MOUNTPOINT by a multi-threaded loop (up to 64 requests
 * served at once unless "-o max_threads=" says otherwise); "-f" keeps it in
 * the foreground. Unmount with `fusermount3 -u MOUNTPOINT`.
 *
 * What the kernel's client keeps, as a network file system's client does:
 * names and attributes for 1 s (FUSE's defaults), negative names not at all,
 * and file data until the file changes. Opening a file needs no round trip
 * (the open request is refused with ENOSYS, which tells the kernel to stop
 * sending it) and neither does closing it (no flush request is served); a
 * read that misses the kernel's cache is one request. Every request that
 * does reach slowfs waits the delay, then is served from SOURCE.
 */
#define FUSE_USE_VERSION 314
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

static int g_source = -1;       /* the source folder */
static struct timespec g_delay; /* what every request waits */

/* Requests served, and the most served at once (reported at unmount). */
static unsigned long g_requests;
static int g_inFlight, g_mostInFlight;

static void Wait(void) {
  __atomic_add_fetch(&g_requests, 1, __ATOMIC_RELAXED);
  const int now = __atomic_add_fetch(&g_inFlight, 1, __ATOMIC_RELAXED);
  int most = __atomic_load_n(&g_mostInFlight, __ATOMIC_RELAXED);
  while (now > most && !__atomic_compare_exchange_n(&g_mostInFlight, &most, now, 0,
                                                    __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
  struct timespec left = g_delay;
  while (clock_nanosleep(CLOCK_MONOTONIC, 0, &left, &left) == EINTR) {
  }
  __atomic_sub_fetch(&g_inFlight, 1, __ATOMIC_RELAXED);
}

/* Parallel lookups. The kernel serves lookups and listings of one folder one
 * at a time unless the file system's answer to its INIT request carries
 * FUSE_PARALLEL_DIROPS, and libfuse 3.14 never sets that flag, whatever the
 * file system wants. So the answer is amended on its way out: libfuse sends
 * every reply with writev(2), which this program defines in front of the C
 * library's. The INIT answer is the first reply, a 16-byte header (length,
 * error, unique) then the init record, whose flags lie at byte 12. */
enum { kParallelDirops = 1 << 18, kInitFlagsOffset = 12 };
static int g_initAnswered;

ssize_t writev(int fd, const struct iovec* iov, int count) {
  if (!__atomic_exchange_n(&g_initAnswered, 1, __ATOMIC_RELAXED) && count >= 2 &&
      iov[0].iov_len == 16 && iov[1].iov_len >= kInitFlagsOffset + 4) {
    uint32_t flags;
    memcpy(&flags, (const char*)iov[1].iov_base + kInitFlagsOffset, sizeof flags);
    flags |= kParallelDirops;
    memcpy((char*)iov[1].iov_base + kInitFlagsOffset, &flags, sizeof flags);
  }
  return syscall(SYS_writev, fd, iov, count);
}

/* FUSE paths start with "/"; the source's calls take them relative to it. */
static const char* Relative(const char* path) {
  while (*path == '/') ++path;
  return *path ? path : ".";
}

static void* Init(struct fuse_conn_info* connection, struct fuse_config* config) {
  /* Read-ahead may keep 64 reads in flight (parallel lookups: see writev
   * above). */
  connection->max_background = 64;
  connection->congestion_threshold = 48;
  config->use_ino = 1;
  config->negative_timeout = 0;
  config->kernel_cache = 1;
  return NULL;
}

static int GetAttr(const char* path, struct stat* status, struct fuse_file_info* file) {
  (void)file;
  Wait();
  return fstatat(g_source, Relative(path), status, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : -errno;
}

static int ReadLink(const char* path, char* buffer, size_t size) {
  Wait();
  const ssize_t n = readlinkat(g_source, Relative(path), buffer, size - 1);
  if (n < 0) return -errno;
  buffer[n] = '\0';
  return 0;
}

static int Open(const char* path, struct fuse_file_info* file) {
  (void)path;
  (void)file;
  Wait();
  return -ENOSYS; /* the kernel opens files without asking from now on */
}

static int Read(const char* path, char* buffer, size_t size, off_t offset,
                struct fuse_file_info* file) {
  (void)file;
  Wait();
  const int fd = openat(g_source, Relative(path), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -errno;
  const ssize_t n = pread(fd, buffer, size, offset);
  const int error = errno;
  close(fd);
  return n < 0 ? -error : (int)n;
}

static int StatFs(const char* path, struct statvfs* status) {
  (void)path;
  Wait();
  return fstatvfs(g_source, status) == 0 ? 0 : -errno;
}

/* An open folder: its stream, and the entry that did not fit in the last
 * reply (with the offset it starts at). */
struct Folder {
  DIR* stream;
  struct dirent* pending;
  off_t offset;
};

static int OpenDir(const char* path, struct fuse_file_info* file) {
  Wait();
  const int fd = openat(g_source, Relative(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -errno;
  struct Folder* folder = calloc(1, sizeof *folder);
  if (folder == NULL || (folder->stream = fdopendir(fd)) == NULL) {
    const int error = folder == NULL ? ENOMEM : errno;
    free(folder);
    close(fd);
    return -error;
  }
  file->fh = (uint64_t)(uintptr_t)folder;
  return 0;
}

static int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t offset,
                   struct fuse_file_info* file, enum fuse_readdir_flags flags) {
  (void)path;
  (void)flags;
  Wait();
  struct Folder* folder = (struct Folder*)(uintptr_t)file->fh;
  if (offset != folder->offset) {
    seekdir(folder->stream, offset);
    folder->pending = NULL;
    folder->offset = offset;
  }
  for (;;) {
    if (folder->pending == NULL) {
      errno = 0;
      folder->pending = readdir(folder->stream);
      if (folder->pending == NULL) return -errno;
    }
    struct stat status;
    memset(&status, 0, sizeof status);
    status.st_ino = folder->pending->d_ino;
    status.st_mode = (mode_t)folder->pending->d_type << 12;
    const off_t next = telldir(folder->stream);
    if (fill(buffer, folder->pending->d_name, &status, next, 0) != 0) return 0; /* the reply is full */
    folder->pending = NULL;
    folder->offset = next;
  }
}

static int ReleaseDir(const char* path, struct fuse_file_info* file) {
  (void)path;
  Wait();
  struct Folder* folder = (struct Folder*)(uintptr_t)file->fh;
  closedir(folder->stream);
  free(folder);
  return 0;
}

static const struct fuse_operations kOperations = {
    .init = Init,
    .getattr = GetAttr,
    .readlink = ReadLink,
    .open = Open,
    .read = Read,
    .statfs = StatFs,
    .opendir = OpenDir,
    .readdir = ReadDir,
    .releasedir = ReleaseDir,
};

/* Mounts and serves until unmounted, with up to kThreads requests served at
 * once (fuse_main's loop would start at most 10 threads). */
enum { kThreads = 64 };

static int Serve(struct fuse_args* args) {
  struct fuse_cmdline_opts options;
  if (fuse_parse_cmdline(args, &options) != 0) return 2;
  int status = 1;
  struct fuse* fuse = NULL;
  struct fuse_loop_config* loop = NULL;
  if (options.show_help || options.show_version || options.mountpoint == NULL) {
    fputs("slowfs: a mount point is needed\n", stderr);
    status = 2;
    goto done;
  }
  fuse = fuse_new(args, &kOperations, sizeof kOperations, NULL);
  if (fuse == NULL) goto done;
  if (fuse_mount(fuse, options.mountpoint) != 0) goto done;
  if (fuse_daemonize(options.foreground) != 0 || fuse_set_signal_handlers(fuse_get_session(fuse)) != 0)
    goto unmount;
  loop = fuse_loop_cfg_create();
  if (loop == NULL) goto restore;
  fuse_loop_cfg_set_clone_fd(loop, (unsigned)options.clone_fd);
  fuse_loop_cfg_set_max_threads(loop, kThreads);
  fuse_loop_cfg_set_idle_threads(loop, kThreads);
  status = fuse_loop_mt(fuse, loop) == 0 ? 0 : 1;
  fprintf(stderr, "slowfs: %lu requests served, at most %d at once\n", g_requests, g_mostInFlight);
  fuse_loop_cfg_destroy(loop);
restore:
  fuse_remove_signal_handlers(fuse_get_session(fuse));
unmount:
  fuse_unmount(fuse);
done:
  if (fuse != NULL) fuse_destroy(fuse);
  free(options.mountpoint);
  return status;
}

static int Usage(void) {
  fputs("usage: slowfs [--delay-us N] SOURCE MOUNTPOINT [FUSE options]\n", stderr);
  return 2;
}

int main(int argc, char** argv) {
  long delayUs = 1000;
  int next = 1;
  if (argc > 2 && strcmp(argv[1], "--delay-us") == 0) {
    char* end = NULL;
    delayUs = strtol(argv[2], &end, 10);
    if (*end != '\0' || delayUs < 0 || delayUs > 10 * 1000 * 1000) return Usage();
    next = 3;
  }
  if (argc - next < 2) return Usage();
  g_delay.tv_sec = delayUs / 1000000;
  g_delay.tv_nsec = (delayUs % 1000000) * 1000;
  g_source = open(argv[next], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (g_source < 0) {
    fprintf(stderr, "slowfs: cannot open [%s]: %s\n", argv[next], strerror(errno));
    return 1;
  }
  /* The serving threads inherit an exact timer: the delay is not rounded up
   * by the default 50 µs slack. */
  prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
  /* FUSE's arguments: the mount point, read-only, then the caller's. */
  char** fuseArgs = calloc((size_t)argc + 4, sizeof *fuseArgs);
  if (fuseArgs == NULL) return 1;
  int n = 0;
  fuseArgs[n++] = argv[0];
  fuseArgs[n++] = argv[next + 1];
  fuseArgs[n++] = "-o";
  fuseArgs[n++] = "ro,fsname=slowfs,subtype=slowfs";
  for (int i = next + 2; i < argc; ++i) fuseArgs[n++] = argv[i];
  struct fuse_args args = FUSE_ARGS_INIT(n, fuseArgs);
  const int status = Serve(&args);
  fuse_opt_free_args(&args);
  free(fuseArgs);
  return status;
}
