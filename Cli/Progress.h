// Live progress for a terminal: a thread that rewrites one status line on
// standard error every 200 ms until stopped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tzcli {

class StatusLine {
 public:
  // `text` gives the line's content from the time elapsed (seconds); it is
  // called on the status thread, and once more by Stop.
  explicit StatusLine(std::function<std::string(double seconds)> text);
  ~StatusLine();  // stops the thread
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  // Starts the thread; when it cannot be started, no line is shown.
  void Start();
  // Writes the final line, ends it with a newline and joins the thread.
  void Stop();

 private:
  void Run();
  void Show(bool last);

  std::function<std::string(double)> m_text;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  std::chrono::steady_clock::time_point m_started;
};

// "12 volumes, 6000 chunks, 25000 chunks/s, 0.3 s": the progress of one dump.
std::string DumpProgressText(uint64_t volumes, uint64_t chunks, double seconds);

}  // namespace tzcli
