// How far a running dump is, for the status line and for the parent of an
// --all-mount-paths child.
//
// The log watch counts the volumes and chunks the walk reaches. For a total,
// tzrecon lists the mount path's root folder itself, once, on a thread of
// its own beside the walk (a disk mount path, or a cloud one served from a
// folder; not S3): the volume folders in all, in the order the file system
// lists them, which is the walk's order. The position of the volume being
// walked in that listing gives the volumes done, a percentage and an ETA.
// Nothing of this runs inside the walk but one call per volume; the walk
// asks no question more.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "LogWatch.h"
#include "Registry.h"

namespace tzcli {

struct ProgressState {
  uint64_t volumes = 0;  // volumes whose chunks the walk reached
  uint64_t chunks = 0;   // chunks reached
  uint64_t total = 0;    // volume folders of the mount path; 0 while unknown
  double done = 0;       // with a total: volumes walked, and a share of the current one
};

class DumpProgress {
 public:
  // Follows `watch` (which must outlive this object); lists the root of
  // `entry` (null: no total) on a thread of its own.
  DumpProgress(LogWatch& watch, const tzhost::MountPathEntry* entry);
  ~DumpProgress();
  DumpProgress(const DumpProgress&) = delete;
  DumpProgress& operator=(const DumpProgress&) = delete;

  // What is known now; any thread.
  ProgressState State() const;
  // The walk has ended (`ok`: every volume is done). Waits for the listing,
  // so that the last line shows the total.
  void Finish(bool ok);

 private:
  void List(const std::string& root);

  LogWatch& m_watch;
  std::thread m_lister;
  std::atomic<bool> m_stop{false};
  mutable std::mutex m_mutex;  // guards everything below
  bool m_listed = false;
  std::map<std::string, uint64_t> m_positions;  // volume folder -> place in the listing
  std::string m_current;       // the volume being walked
  uint64_t m_chunksBefore = 0;  // chunks reached before it
  bool m_finished = false, m_ok = false;
};

// "12 of 40 volumes (30%), 6000 chunks, 25000 chunks/s, 4.2 s, ETA 0:10";
// without a total, DumpProgressText's line. `last`: the dump has ended, no
// ETA.
std::string ProgressText(const ProgressState& state, double seconds, bool last);

// The line a child sends its parent, and its reading (false when `line` is
// not one).
std::string FeedLine(const ProgressState& state);
bool ReadFeedLine(const std::string& line, ProgressState* state);

// Sends FeedLine(progress.State()) to `fd` every 200 ms from a thread of its
// own, and once more when stopped. The writes never wait: a line that does
// not fit in the pipe is dropped.
class ProgressFeed {
 public:
  ProgressFeed(const DumpProgress& progress, int fd);
  ~ProgressFeed();  // stops
  void Stop();

 private:
  void Send();
  const DumpProgress& m_progress;
  int m_fd;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
};

}  // namespace tzcli
