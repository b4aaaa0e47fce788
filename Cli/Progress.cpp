#include "Progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

namespace tzcli {

StatusLine::StatusLine(std::function<std::string(double)> text, std::string prefix)
    : m_text(std::move(text)), m_prefix(std::move(prefix)) {}

StatusLine::~StatusLine() { Stop(); }

void StatusLine::Start() {
  m_started = std::chrono::steady_clock::now();
  try {
    m_thread = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // The status line is a convenience: the work goes on without it.
  }
}

void StatusLine::Halt() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_wake.notify_all();
  m_thread.join();
}

void StatusLine::Stop() {
  if (!m_thread.joinable()) return;
  Halt();
  Show(true);
}

void StatusLine::Write(const std::string& text) {
  fprintf(stderr, "\r%s%s\033[K", m_prefix.c_str(), text.c_str());
  m_shown = true;
}

void StatusLine::Erase() {
  if (m_shown) fputs("\r\033[K", stderr);
}

void StatusLine::Run() {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_wake.wait_for(lock, std::chrono::milliseconds(200), [this] { return m_stop; })) {
    lock.unlock();
    Show(false);
    lock.lock();
  }
}

void StatusLine::Show(bool last) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - m_started).count();
  std::string text = m_text(seconds);
  // A line wider than the terminal would wrap, and "\r" would go back to
  // the start of its last row only.
  winsize size;
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > m_prefix.size() + 1 &&
      text.size() > size.ws_col - m_prefix.size() - 1)
    text.resize(size.ws_col - m_prefix.size() - 1);
  fprintf(stderr, "\r%s%s\033[K%s", m_prefix.c_str(), text.c_str(), last ? "\n" : "");
  fflush(stderr);
  m_shown = true;
}

std::string DumpProgressText(uint64_t volumes, uint64_t chunks, double seconds) {
  char text[160];
  snprintf(text, sizeof text, "%llu volume%s, %llu chunk%s, %.0f chunks/s, %.1f s",
           static_cast<unsigned long long>(volumes), volumes == 1 ? "" : "s",
           static_cast<unsigned long long>(chunks), chunks == 1 ? "" : "s",
           seconds > 0 ? static_cast<double>(chunks) / seconds : 0.0, seconds);
  return text;
}

}  // namespace tzcli
