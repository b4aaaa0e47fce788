// Live progress of a running chunk-lister dump, for a terminal.
//
// The library writes the dump on the caller's thread and reports nothing
// until it returns, so a thread of the command watches the dump folder
// instead: every 200 ms it looks for the newest
// "ChunkLister_<copy>_<mount path>_<time>.csv" whose time is not before the
// start of the dump, counts the lines added since the last look, and rewrites
// one status line on standard error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace tzcli {

class DumpProgress {
 public:
  // `startTime`: the calendar time (seconds) taken before the dump started.
  DumpProgress(std::string dumpDir, int32_t copyId, int32_t mountPathId, int64_t startTime);
  ~DumpProgress();  // stops the thread
  DumpProgress(const DumpProgress&) = delete;
  DumpProgress& operator=(const DumpProgress&) = delete;

  void Start();
  // Takes a last count, writes the final status line and joins the thread.
  void Stop();

 private:
  // The newest matching dump file's name in the folder, or "" when none.
  std::string FindDumpFile() const;
  void Run();
  void Tick();
  void Show(bool last);

  const std::string m_dumpDir;
  const std::string m_prefix;  // "ChunkLister_<copy>_<mount path>_"
  const int64_t m_startTime;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;

  // The file being followed and how far it has been counted.
  std::string m_file;
  int m_fd = -1;
  off_t m_offset = 0;
  uint64_t m_lines = 0;
  std::chrono::steady_clock::time_point m_started;
};

}  // namespace tzcli
