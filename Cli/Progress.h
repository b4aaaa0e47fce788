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
  // called on the status thread, and once more by Stop. Each line starts
  // with `prefix`.
  explicit StatusLine(std::function<std::string(double seconds)> text,
                      std::string prefix = "tzrecon: ");
  ~StatusLine();  // stops the thread
  StatusLine(const StatusLine&) = delete;
  StatusLine& operator=(const StatusLine&) = delete;

  // Starts the thread; when it cannot be started, no line is shown.
  void Start();
  // Writes the final line, ends it with a newline and joins the thread.
  void Stop();
  // Joins the thread and leaves the line as it is: no final line.
  void Halt();
  // Whether a line has been written (read it once the thread is joined).
  bool Shown() const { return m_shown; }
  // Writes `text` over the line, once, as a status line of its own.
  void Write(const std::string& text);
  // Wipes the line when one has been written.
  void Erase();

 private:
  void Run();
  void Show(bool last);

  std::function<std::string(double)> m_text;
  std::string m_prefix;
  std::thread m_thread;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  bool m_stop = false;
  bool m_shown = false;
  std::chrono::steady_clock::time_point m_started;
};

// "12 volumes, 6000 chunks, 25000 chunks/s, 0.3 s": the progress of one dump.
std::string DumpProgressText(uint64_t volumes, uint64_t chunks, double seconds);

}  // namespace tzcli
