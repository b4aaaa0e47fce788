#include "ReadAhead.h"

#include <errno.h>
#include <fcntl.h>
#include <liburing.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define TZRECON_LEAK_CHECKED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/lsan_interface.h>
#define TZRECON_LEAK_CHECKED 1
#endif
#endif

#include "EvDebug.h"
#include "LibraryLayout.h"
#include "StorageLayout.h"
#include "SystemCalls.h"
#include "TrailerFormat.h"

namespace tzrecon {

std::atomic<bool> ReadAhead::Testing::unavailable{false};
std::atomic<bool> ReadAhead::Testing::alwaysEngaged{false};
std::atomic<long> ReadAhead::Testing::failRequest{0};
std::atomic<long> ReadAhead::Testing::requests{0};
std::atomic<long> ReadAhead::Testing::failures{0};
std::atomic<unsigned> ReadAhead::Testing::firstSetUp{0};
std::atomic<bool> ReadAhead::Testing::patient{false};
std::atomic<long> ReadAhead::Testing::refuseEntry{0};
std::atomic<long> ReadAhead::Testing::entries{0};
std::atomic<long> ReadAhead::Testing::refuseSubmit{0};
std::atomic<long> ReadAhead::Testing::submits{0};
std::atomic<bool> ReadAhead::Testing::interrupt{false};
std::atomic<bool> ReadAhead::Testing::failWaits{false};
std::atomic<long> ReadAhead::Testing::answered{0};
std::atomic<long> ReadAhead::Testing::dropped{0};
std::atomic<long> ReadAhead::Testing::leaked{0};

namespace {

const char kTag[] = "ChunkListHelper::ReadAhead";
using layout::kChunkPrefix;
using layout::kMetadataPrefix;
using layout::kTrailerPrefix;
// Each chain is a status request for the chunk, then an open of its trailer
// into a slot of the ring's own file table, an advice to read the trailer's
// first bytes ahead (the kernel reads them into the page cache while the
// chain goes on) and a close of the slot, hard-linked so that the close
// always runs. An advice rather than a read: a read of a file opened without
// blocking (as a FIFO must be) returns at once where the data is not cached.
constexpr unsigned kRequestsPerChain = 4;
constexpr uint64_t kCancelTag = ~uint64_t{0};

struct Dirent64 {
  uint64_t ino;
  int64_t off;
  unsigned short reclen;
  unsigned char type;
  char name[1];
};

}  // namespace

// What the window holds while it exists: the ring, a slot per chain (the
// names and buffers the kernel writes to stay here until the chain is
// complete).
struct ReadAhead::Ring {
  struct Slot {
    unsigned pending = 0;  // completions still to come
    // A lookup in a chunk folder, whose listing is read when it completes.
    bool chunkFolder = false;
    // The chunk, or a metadata file in a chunk folder (a guessed one, for
    // the lookup).
    char statusName[2 * 256];
    char trailerName[sizeof kTrailerPrefix + 12];
    struct statx status;
  };

  io_uring ring;
  Slot slots[kDepth];
  unsigned freeSlots[kDepth];
  unsigned freeCount = 0;
  // Completions still to come, all slots: of the requests the kernel took,
  // and of those still queued (io_uring_sq_ready) after a submission that
  // failed.
  unsigned inFlight = 0;
  unsigned cancels = 0;  // cancellations sent or queued, whose completions are to come

  // The listing of one chunk folder, read once its lookup completed.
  alignas(8) char folderListing[4096];
};

ReadAhead::ReadAhead(EvDebug& debug) : m_debug(debug) {}

ReadAhead::~ReadAhead() {
  Stop();
  if (m_ring) io_uring_queue_exit(&m_ring->ring);
}

bool ReadAhead::SetUp() {
  std::unique_ptr<Ring> ring(new (std::nothrow) Ring);
  int error = ring ? 0 : -ENOMEM;
  if (error == 0 && Testing::unavailable) error = -ENOSYS;
  // The ring is the walk's alone, on one thread, so the kernel may leave
  // the work that completes a request (and starts the next of its chain) to
  // the walk's next visit rather than interrupt the walk for each: on the
  // benchmark's cold runs this took a quarter of the kernel time off. Older
  // kernels refuse those flags; the ring works without them.
  static constexpr unsigned kSetUps[] = {
      IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_DEFER_TASKRUN | IORING_SETUP_TASKRUN_FLAG,
      IORING_SETUP_COOP_TASKRUN | IORING_SETUP_TASKRUN_FLAG, 0};
  if (error == 0) {
    for (size_t i = Testing::firstSetUp.load(); i < sizeof kSetUps / sizeof kSetUps[0]; ++i) {
      error = io_uring_queue_init(kDepth * kRequestsPerChain, &ring->ring, kSetUps[i]);
      if (error != -EINVAL) break;
    }
  }
  if (error == 0) {
    unsigned workers[2] = {kDepth, kDepth};
    io_uring_register_iowq_max_workers(&ring->ring, workers);
    error = io_uring_register_files_sparse(&ring->ring, kDepth);
    if (error != 0) io_uring_queue_exit(&ring->ring);
  }
  if (error != 0) {
    m_debug.DebugLvl(kTag, 2,
                     "Read-ahead is off: io_uring cannot be set up (%s); chunks are read one at a "
                     "time",
                     strerror(-error));
    return false;
  }
  for (unsigned i = 0; i < kDepth; ++i) ring->freeSlots[ring->freeCount++] = kDepth - 1 - i;
  m_ring = std::move(ring);
  return true;
}

void ReadAhead::Start(int folderFd, bool chunkFolders, FolderListing& listing) {
  // A walk that found one folder out of the cache will find the next one
  // out of it too: the window starts working with the folder's first entry
  // rather than after a read that had to wait.
  const bool wasEngaged = m_wasEngaged;
  Stop();
  m_folderFd = folderFd;
  m_listing = &listing;
  m_chunkFolders = chunkFolders;
  m_engaged = false;
  if (wasEngaged || Testing::alwaysEngaged) {
    Engage();
    m_startProbes = kWaitsToEngage;
  }
}

void ReadAhead::ReadWouldWait() {
  if (m_startProbes > 0) {
    m_startProbes = 0;  // this folder is out of the cache too
    return;
  }
  if (++m_waitsInARow >= kWaitsToEngage) Engage();
}

void ReadAhead::ReadCannotTell() {
  m_startProbes = 0;
  Engage();
}

void ReadAhead::ReadFromCache() {
  m_waitsInARow = 0;
  if (m_startProbes > 0 && --m_startProbes == 0) m_warmAtStart = true;
}

void ReadAhead::Engage() {
  if (m_engaged) return;
  m_engaged = true;
  if (m_unavailable || m_folderFd < 0) return;
  if (!m_ring && !SetUp()) {
    m_unavailable = true;
    return;
  }
  Fill();
}

bool ReadAhead::NextName(const char*& name) {
  // The host's pattern has already left out other names; a host that does
  // not filter is answered the same.
  while (const char* listed = m_listing->ReadAhead()) {
    if (std::strncmp(listed, kChunkPrefix, sizeof kChunkPrefix - 1) == 0) {
      name = listed;
      return true;
    }
  }
  return false;
}

// Returns `fd`, or, for the request the tests chose to fail, a descriptor
// (or slot) that the kernel refuses.
static int Counted(int fd) {
  return ++ReadAhead::Testing::requests == ReadAhead::Testing::failRequest ? -1 : fd;
}

// The next entry of the submission queue, or null when the queue is full.
static io_uring_sqe* Entry(io_uring& ring) {
  if (++ReadAhead::Testing::entries == ReadAhead::Testing::refuseEntry) return nullptr;
  return io_uring_get_sqe(&ring);
}

// Makes `call` (a submission or a wait, answering 0 or more, or -errno)
// again while a signal interrupts it: the kernel then has not waited for
// anything, and a submission has sent nothing.
template <typename Call>
static int Uninterrupted(Call call) {
  bool interrupted = ReadAhead::Testing::interrupt;
  for (;;) {
    const int result = interrupted ? -EINTR : call();
    interrupted = false;
    if (result != -EINTR) return result;
  }
}

// The chunk id in the name of a chunk entry or metadata file, as the walk
// reads it: the number after the last "_".
static bool IdOf(const char* name, int32_t& id) {
  const char* idText = std::strrchr(name, '_');
  return idText != nullptr && idText[1] != '\0' &&
         ReadDecimal(idText + 1, nullptr, id) != Decimal::kOutOfRange;
}

// Sends the status request of slot `index` (and the trailer's chain, with
// `withTrailer`). Returns false when the submission queue has no room for
// them; the slot then has no request, or only no-ops, pending.
bool ReadAhead::Prepare(unsigned index, bool withTrailer, int32_t chunkId) {
  Ring& r = *m_ring;
  Ring::Slot& slot = r.slots[index];
  // The entries of the chain are taken before any is filled in: an entry
  // taken cannot be handed back, so when the queue runs out in the middle
  // of a chain, those taken go as no-ops, answered like any request.
  const unsigned requests = withTrailer ? kRequestsPerChain : 1;
  io_uring_sqe* sqes[kRequestsPerChain];
  unsigned taken = 0;
  while (taken < requests && (sqes[taken] = Entry(r.ring)) != nullptr) ++taken;
  slot.pending = taken;
  r.inFlight += taken;
  if (taken < requests) {
    slot.chunkFolder = false;
    for (unsigned i = 0; i < taken; ++i) {
      io_uring_prep_nop(sqes[i]);
      io_uring_sqe_set_data64(sqes[i], index);
      ++Testing::requests;
    }
    return false;
  }
  io_uring_prep_statx(sqes[0], Counted(m_folderFd), slot.statusName, 0, STATX_SIZE,
                      &slot.status);
  io_uring_sqe_set_data64(sqes[0], index);
  if (withTrailer) {
    // The trailer is named after the chunk id as the walk reads it. Not
    // O_NOATIME: reading ahead does not renew an access time (a read does),
    // so the window needs no right to the file's owner's flag.
    std::snprintf(slot.trailerName, sizeof slot.trailerName, "%s%d", kTrailerPrefix, chunkId);
    io_uring_prep_openat_direct(sqes[1], Counted(m_folderFd), slot.trailerName,
                                O_RDONLY | O_NONBLOCK, 0, index);
    io_uring_sqe_set_data64(sqes[1], index);
    io_uring_sqe_set_flags(sqes[1], IOSQE_IO_HARDLINK);
    const int fixed = Counted(static_cast<int>(index));
    io_uring_prep_fadvise(sqes[2], fixed < 0 ? static_cast<int>(kDepth) : fixed, 0,
                          kTrailerReadSize, POSIX_FADV_WILLNEED);
    io_uring_sqe_set_data64(sqes[2], index);
    io_uring_sqe_set_flags(sqes[2], IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK);
    io_uring_prep_close_direct(sqes[3], Counted(static_cast<int>(index)) < 0 ? kDepth : index);
    io_uring_sqe_set_data64(sqes[3], index);
  }
  return true;
}

void ReadAhead::Fill() {
  if (!m_ring || m_listing == nullptr) return;
  Ring& r = *m_ring;
  // A chunk folder's metadata files take slots of their own once its
  // listing is read: the folders looked up ahead leave room for them.
  const unsigned depth = m_chunkFolders ? kDepth / 4 : kDepth;
  unsigned prepared = 0;
  const char* name = nullptr;
  while (m_listing->Ahead() < depth && r.freeCount > 0 &&
         io_uring_sq_space_left(&r.ring) >= kRequestsPerChain && NextName(name)) {
    const unsigned index = r.freeSlots[--r.freeCount];
    Ring::Slot& slot = r.slots[index];

    int32_t chunkId = 0;
    const bool haveId = IdOf(name, chunkId);
    slot.chunkFolder = m_chunkFolders;
    if (m_chunkFolders) {
      // The metadata files of a chunk folder are named in its listing, which
      // io_uring cannot read. A lookup reads the listing's blocks, so the
      // window looks up the metadata file the folder most often holds (the
      // one of the folder's own id; a wrong guess warms the listing just the
      // same), and reads the listing itself once the lookup is done.
      if (haveId)
        std::snprintf(slot.statusName, sizeof slot.statusName, "%s/%s%d", name, kMetadataPrefix,
                      chunkId);
      else
        std::snprintf(slot.statusName, sizeof slot.statusName, "%s/", name);
    } else {
      std::snprintf(slot.statusName, sizeof slot.statusName, "%s", name);
    }
    if (!Prepare(index, !m_chunkFolders && haveId, chunkId)) {
      if (slot.pending == 0) r.freeSlots[r.freeCount++] = index;
      break;  // the queue is full: this chunk goes unwarmed
    }
    ++prepared;
  }
  // What a failed submission left queued goes too.
  if (prepared > 0 || io_uring_sq_ready(&r.ring) > 0) Send();
}

// The lookup in the chunk folder of slot `index` is done, so its listing is
// in the cache: the window reads it and sends, for each metadata file it
// names, a status request and its trailer's chain, in the slot and in free
// ones (while there are any).
void ReadAhead::ListChunkFolder(unsigned index) {
  Ring& r = *m_ring;
  // The folder's name is what the lookup's path holds before its "/".
  const char* lookup = r.slots[index].statusName;
  const char* slash = std::strchr(lookup, '/');
  const size_t length = slash != nullptr ? static_cast<size_t>(slash - lookup) : 0;
  char folder[256];
  long got = -1;
  if (length > 0 && length < sizeof folder) {
    std::memcpy(folder, lookup, length);
    folder[length] = '\0';
    const int fd = OpenFolder(m_folderFd, folder, /*pathOnly=*/false);
    if (fd >= 0) {
      got = ReadFolderEntries(fd, r.folderListing, sizeof r.folderListing);
      CloseFile(fd);
    }
  }
  unsigned next = index;  // the slot the next metadata file takes
  bool prepared = false;
  for (long at = 0; at < got && next < kDepth;) {
    const auto* d = reinterpret_cast<const Dirent64*>(r.folderListing + at);
    at += d->reclen;
    int32_t chunkId = 0;
    if (std::strncmp(d->name, kMetadataPrefix, sizeof kMetadataPrefix - 1) != 0 ||
        std::strstr(d->name, ".idx") != nullptr || !IdOf(d->name, chunkId))
      continue;
    Ring::Slot& slot = r.slots[next];
    slot.chunkFolder = false;
    std::snprintf(slot.statusName, sizeof slot.statusName, "%s/%s", folder, d->name);
    if (!Prepare(next, true, chunkId)) {
      if (r.slots[next].pending > 0) next = kDepth;  // taken by no-ops
      break;  // the queue is full
    }
    prepared = true;
    next = r.freeCount > 0 && io_uring_sq_space_left(&r.ring) >= kRequestsPerChain
               ? r.freeSlots[--r.freeCount]
               : kDepth;
  }
  if (next < kDepth) r.freeSlots[r.freeCount++] = next;  // not taken
  if (prepared) Send();
}

int ReadAhead::Send() {
  Ring& r = *m_ring;
  const int sent = Uninterrupted([&r] {
    const long refused = Testing::refuseSubmit;
    return ++Testing::submits == refused || refused < 0 ? -EBUSY : io_uring_submit(&r.ring);
  });
  return sent < 0 ? sent : 0;
}

int ReadAhead::Reap(bool wait, bool followUps) {
  Ring& r = *m_ring;
  for (;;) {
    io_uring_cqe* cqe = nullptr;
    if (Testing::failWaits || io_uring_peek_cqe(&r.ring, &cqe) != 0) {
      if (!wait || r.inFlight == 0) return 0;
      // Requests prepared but not taken by the kernel yet are sent first.
      // Those a failed submission left queued are not in flight: the kernel
      // has not seen them, and never will once the ring is closed.
      if (io_uring_sq_ready(&r.ring) > 0) Send();
      if (r.inFlight + r.cancels <= io_uring_sq_ready(&r.ring)) return 0;
      const int error = Uninterrupted([&r, &cqe] {
        return Testing::failWaits ? -EIO : io_uring_wait_cqe(&r.ring, &cqe);
      });
      if (error != 0) {
        Abandon(error);
        return error;
      }
    }
    // Results are not looked at: the walk's own calls decide.
    const uint64_t tag = io_uring_cqe_get_data64(cqe);
    if (cqe->res < 0 && cqe->res != -ECANCELED && tag != kCancelTag) ++Testing::failures;
    io_uring_cqe_seen(&r.ring, cqe);
    if (tag == kCancelTag) {
      --r.cancels;
      continue;
    }
    ++Testing::answered;
    Ring::Slot& slot = r.slots[tag];
    --r.inFlight;
    if (--slot.pending > 0) continue;
    if (slot.chunkFolder && followUps)
      ListChunkFolder(static_cast<unsigned>(tag));
    else
      r.freeSlots[r.freeCount++] = static_cast<unsigned>(tag);
  }
}

// The window cannot learn when the requests the kernel holds are complete,
// and until then the kernel may write into the slots (a status into
// `status`, a name it has not read yet from `statusName`). Closing the ring
// does not wait for them: the kernel cancels what it can and lets the rest
// finish on its own, after close() has returned (requests being served by
// its workers, a status waiting for the disk, are not stopped). So the ring
// is closed and its memory is left allocated for good rather than handed
// back to the allocator; the window stays off for the rest of the walk.
void ReadAhead::Abandon(int error) {
  m_debug.DebugLvl(kTag, 2,
                   "Read-ahead is off: its requests in flight cannot be waited for (%s)",
                   strerror(-error));
  io_uring_queue_exit(&m_ring->ring);
  Ring* left = m_ring.release();
#ifdef TZRECON_LEAK_CHECKED
  __lsan_ignore_object(left);
#else
  static_cast<void>(left);
#endif
  ++Testing::leaked;
  m_unavailable = true;
}

void ReadAhead::At() {
  if (!m_engaged || !m_ring) return;
  if (Reap(Testing::patient, true) != 0) return;
  Fill();
}

void ReadAhead::Stop() {
  if (m_ring && m_ring->inFlight > 0) {
    // Without an entry for the cancellation the requests still end: none
    // of them waits for more than the disk.
    if (io_uring_sqe* sqe = Entry(m_ring->ring)) {
      io_uring_prep_cancel64(sqe, 0, IORING_ASYNC_CANCEL_ANY);
      io_uring_sqe_set_data64(sqe, kCancelTag);
      ++m_ring->cancels;
      Send();  // should it fail, the wait below sends it again
    }
    // Draining, the window starts nothing new. A wait that fails gives the
    // ring up (see Abandon).
    if (Reap(true, false) == 0 && m_ring->inFlight > 0) {
      // What is left was never sent (the submissions failed): closing the
      // ring drops it, where sending it later would name this folder after
      // its descriptor is closed. The next folder sets a ring up again.
      Testing::dropped += m_ring->inFlight;
      io_uring_queue_exit(&m_ring->ring);
      m_ring.reset();
    }
  }
  m_listing = nullptr;
  m_folderFd = -1;
  m_wasEngaged = m_engaged && !m_unavailable && !m_warmAtStart;
  m_engaged = false;
  m_startProbes = 0;
  m_warmAtStart = false;
}

}  // namespace tzrecon
