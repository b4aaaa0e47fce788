// The disk walk's read-ahead window. While the walk handles one chunk of a
// volume folder, the window keeps the status of later chunks of the same
// folder, and the first bytes of their chunk map trailers, on their way into
// the kernel's caches through io_uring: many requests in flight from the
// walk's own thread (the kernel's workers serve them; the library starts no
// thread). In a single-instanced volume it warms the listings of the chunk
// folders ahead, then the status and the trailer of each metadata file they
// name.
//
// The window only warms caches. The walk still makes every call it makes
// without the window, and only those calls decide what the dump holds and
// what is logged; a request of the window that fails, or arrives late, or
// warms another file than the walk then reads, changes nothing but the time.
//
// It is idle until the walk finds trailers that are not in the cache (reads
// that asked not to wait would have waited, several in a row), so a walk
// over a warm cache makes no call for it. Where io_uring cannot be set up
// (an old kernel, a seccomp profile, kernel.io_uring_disabled) it says so
// once at level 2 and stays idle. Not installed and not exported.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "FolderListing.h"

class EvDebug;

namespace tzrecon {

class ReadAhead {
 public:
  // Chunks the window works ahead of the walk at most (the benchmark's cold
  // runs: 64 gave 10 s, 128 8.6 s and 256 13.8 s for 100k chunks, where the
  // walk alone took 18 s).
  static constexpr unsigned kDepth = 128;
  static_assert(kDepth <= FolderListing::kMostAhead, "the listing holds what the window reads ahead");

  explicit ReadAhead(EvDebug& debug);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The walk starts listing the chunks of the volume folder open at
  // `folderFd` (an O_PATH descriptor is enough) through `listing`: chunk
  // files whose trailers lie beside them, or, with `chunkFolders`, the chunk
  // folders of a single-instanced volume. The window is idle. The
  // descriptor and the listing must stay until Stop().
  void Start(int folderFd, bool chunkFolders, FolderListing& listing);
  // The walk is about to take the listing's next entry and make its calls.
  // When the window is engaged, it reads further ahead.
  void At();
  // A read of a trailer in the folder would have waited. A read can say so
  // over a cached page now and then (the page was locked for a moment, or
  // marked for read-ahead), so one such read proves nothing: after
  // kWaitsToEngage of them in a row the window engages.
  void ReadWouldWait();
  // A read of a trailer was served from the cache.
  void ReadFromCache();
  // A read of a trailer cannot tell, on a file system that never can (FUSE,
  // often remote): the window is worth its requests there from now on.
  void ReadCannotTell();
  static constexpr unsigned kWaitsToEngage = 4;
  // True while the walk should read trailers asking not to wait and tell
  // the window how that went: while it is idle, and for the first reads of
  // a folder it works in from the start because the folder before was out
  // of the cache (when those reads find the cache warm, the next folder
  // starts idle again).
  bool Probing() const { return !m_engaged || m_startProbes > 0; }
  // The window starts working for the rest of the folder (if io_uring can
  // be had).
  void Engage();
  // The walk leaves the folder: requests in flight are cancelled and
  // waited for (should a wait fail, the ring and its memory are left to the
  // kernel for good, and the window stays off).
  void Stop();

  // Seams for the library's own tests, which link its object library (the
  // shared library exports none of this): make io_uring unavailable, engage
  // in every folder from its first entry, make the window's n-th request
  // fail (counted from 1 since `requests` was last set to 0; 0: none), and
  // count the requests made and those the kernel answered with an error
  // (other than a cancellation), set the ring up as an older kernel would
  // let it be (0: the walk's own completions, 1: no interruptions, 2:
  // plain), and have the walk wait at each entry until every request sent
  // is complete, so that the requests made do not depend on timing.
  //
  // The ring's own answers can be chosen too: the n-th entry of the
  // submission queue asked for is refused as from a full queue (counted in
  // `entries`), the n-th submission (-1: every one) sends nothing and fails
  // with EBUSY (counted in `submits`), every submission and wait is first
  // answered EINTR as when a signal comes, or no completion can be taken
  // and every wait fails. `answered` counts the completions taken of the
  // requests made (no-ops included, cancellations not), `dropped` the
  // requests never sent that went with their ring, `leaked` the rings left
  // to the kernel with requests in flight.
  //
  // Atomic, as dumps on several host threads at once share them.
  struct Testing {
    static std::atomic<bool> unavailable;
    static std::atomic<bool> alwaysEngaged;
    static std::atomic<long> failRequest;
    static std::atomic<long> requests;
    static std::atomic<long> failures;
    static std::atomic<unsigned> firstSetUp;
    static std::atomic<bool> patient;
    static std::atomic<long> refuseEntry;
    static std::atomic<long> entries;
    static std::atomic<long> refuseSubmit;
    static std::atomic<long> submits;
    static std::atomic<bool> interrupt;
    static std::atomic<bool> failWaits;
    static std::atomic<long> answered;
    static std::atomic<long> dropped;
    static std::atomic<long> leaked;
  };

 private:
  struct Ring;
  bool SetUp();
  void Fill();
  bool Prepare(unsigned index, bool withTrailer, int32_t chunkId);
  void ListChunkFolder(unsigned index);
  // Takes the completions that have come (with `wait`, all to come of the
  // requests the kernel took); with `followUps`, a chunk folder's completed
  // lookup goes on to its listing. Returns 0, or the error of a wait that
  // failed, after which the ring is given up (see Abandon).
  int Reap(bool wait, bool followUps);
  // Sends the requests queued. Returns 0, or the error of a submission
  // that sent none: they stay queued and go with the next one.
  int Send();
  void Abandon(int error);
  // The next chunk name of the listing, read ahead of the walk.
  bool NextName(const char*& name);

  EvDebug& m_debug;
  std::unique_ptr<Ring> m_ring;
  bool m_unavailable = false;  // set-up failed once: never again in this walk
  bool m_engaged = false;
  bool m_wasEngaged = false;  // in the folder before this one
  unsigned m_waitsInARow = 0;  // trailer reads that would have waited
  unsigned m_startProbes = 0;  // reads still to probe in a folder engaged from its start
  bool m_warmAtStart = false;  // ... and those reads were all served from the cache
  int m_folderFd = -1;
  bool m_chunkFolders = false;
  FolderListing* m_listing = nullptr;
};

}  // namespace tzrecon
