// The stand-in host log.
//
// Every logger writes to the file named by TZRECON_LOG when it was made, or
// to standard error when that variable is unset or empty, and passes the
// messages whose level is at most TZRECON_LOG_LEVEL (1 when unset; level -1
// always passes). One message is one line:
//
//   <UTC time> <pid> <tid> <level> <tag> <message>
//   2026-12-08T04:50:01.123456Z 4242 4243 2 Lister::Dump Dumping [/srv/V_1]
//
// Tag and message are escaped so that no text can break a line or forge a
// field: a backslash becomes "\\", newline, carriage return and tab become
// "\n", "\r" and "\t", other control bytes and DEL become "\xHH", and in the
// tag a space becomes "\x20". Bytes from 0x80 up pass unchanged.
//
// Each line goes to the file in one write() on a descriptor opened with
// O_APPEND, so lines from several loggers and processes never interleave.
//
// A program that hosts the library may watch the messages through
// tzhost::SetLogObserver (LogObserver.h); the log is written as without it.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "EvDebug.h"
#include "Interrupted.h"
#include "LogObserver.h"

namespace {

constexpr int kDefaultLevel = 1;
// Failures are logged at this level, and no setting can silence them.
constexpr int kAlwaysLevel = -1;

// The level set by TZRECON_LOG_LEVEL: a decimal integer, optionally padded
// with white space. Anything else keeps the default.
int ConfiguredLevel() {
  const char* text = getenv("TZRECON_LOG_LEVEL");
  if (text == nullptr) return kDefaultLevel;
  char* end = nullptr;
  errno = 0;
  long value = strtol(text, &end, 10);
  if (end == text || errno != 0) return kDefaultLevel;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return kDefaultLevel;
  // A setting below -1 would hide failures.
  if (value < kAlwaysLevel) return kAlwaysLevel;
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

// A line of fixed capacity, for a message composed when the heap has nothing
// left to give: what does not fit is cut off, the line feed always fits.
class FixedLine {
 public:
  void append(const char* text, size_t length) {
    const size_t room = sizeof m_text - 1 - m_length;  // one byte kept for '\n'
    if (length > room) length = room;
    memcpy(m_text + m_length, text, length);
    m_length += length;
  }
  FixedLine& operator+=(char c) {
    append(&c, 1);
    return *this;
  }
  FixedLine& operator+=(const char* text) {
    append(text, strlen(text));
    return *this;
  }
  void EndLine() { m_text[m_length++] = '\n'; }
  const char* data() const { return m_text; }
  size_t size() const { return m_length; }

 private:
  char m_text[1024];
  size_t m_length = 0;
};

// Appends `length` bytes of `text` to `out`, escaped as described above.
template <typename Line>
void AppendEscaped(Line& out, const char* text, size_t length,
                   bool escapeSpace) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (const unsigned char* end = p + length; p != end; ++p) {
    const unsigned char c = *p;
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\t':
        out += "\\t";
        continue;
      default:
        break;
    }
    if (c < 0x20 || c == 0x7f || (escapeSpace && c == ' ')) {
      const char escaped[4] = {'\\', 'x', kHex[c >> 4], kHex[c & 0xf]};
      out.append(escaped, sizeof escaped);
    } else {
      out += static_cast<char>(c);
    }
  }
}

// "2026-12-08T04:50:01.123456Z"
template <typename Line>
void AppendTimestamp(Line& out) {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char text[40];
  size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  length += static_cast<size_t>(snprintf(text + length, sizeof text - length,
                                         ".%06ldZ", now.tv_nsec / 1000));
  out.append(text, length);
}

// "<UTC time> <pid> <tid> <level> <tag> " and the message, escaped.
template <typename Line>
void ComposeLine(Line& line, const char* tag, int level, const char* text, size_t textLength) {
  AppendTimestamp(line);
  char ids[48];
  const int idsLength = snprintf(ids, sizeof ids, " %d %d %d ", static_cast<int>(getpid()),
                                 static_cast<int>(gettid()), level);
  line.append(ids, static_cast<size_t>(idsLength));
  // An empty tag would leave an empty field; "-" keeps the line parseable.
  if (tag == nullptr || *tag == '\0') tag = "-";
  AppendEscaped(line, tag, strlen(tag), true);
  line += ' ';
  AppendEscaped(line, text, textLength, false);
}

// Set by SetLogObserver; read at every message. Atomic, so that a thread that
// logs sees a whole pointer; the observer itself is never changed while one
// runs.
std::atomic<const tzhost::LogObserver*> g_observer{nullptr};

}  // namespace

void tzhost::SetLogObserver(const LogObserver* observer) {
  g_observer.store(observer, std::memory_order_release);
}

// The stand-in has no log files of its own for callers to pick, so every
// logger uses the default log and this object only carries that logger's
// destination: the path read at construction and the descriptor, opened at
// the first message that passes the filter.
class EvDebugFileInstance {
 public:
  EvDebugFileInstance() {
    const char* path = getenv("TZRECON_LOG");
    if (path != nullptr) m_path = path;
  }
  ~EvDebugFileInstance() {
    if (m_ownsFd) close(m_fd);
  }

  // The descriptor to write to: the log file, or standard error when none is
  // configured or it cannot be opened.
  int Descriptor() {
    if (m_fd < 0) {
      if (!m_path.empty())
        m_fd = open(m_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC,
                    0644);
      m_ownsFd = m_fd >= 0;
      if (!m_ownsFd) m_fd = STDERR_FILENO;
    }
    return m_fd;
  }

 private:
  std::string m_path;
  int m_fd = -1;
  bool m_ownsFd = false;
};

// A caller's instance cannot exist (the type is only complete here), so the
// argument is not consulted: each logger owns the destination it creates.
EvDebug::EvDebug(EvDebugFileInstance* /*fileInstance*/)
    : m_fileInstance(new EvDebugFileInstance), m_level(ConfiguredLevel()) {}

EvDebug::~EvDebug() { delete m_fileInstance; }

int EvDebug::DebugLvl(const char* tag, int level, const char* format, ...) {
  const tzhost::LogObserver* observer = g_observer.load(std::memory_order_acquire);
  if (observer != nullptr && level <= observer->maxLevel) {
    va_list args;
    va_start(args, format);
    observer->onMessage(observer->context, tag, level, format, args);
    va_end(args);
  }
  // Filter first: a dropped message costs no formatting and no system call.
  if (!IsEnabled(level)) return 0;

  // Format into a stack buffer; only a message too long for it gets a heap
  // string of its exact size. A logger never throws: when the heap has no
  // room, the line is composed on the stack and cut to fit.
  char small[512];
  std::string large;
  const char* text = small;
  size_t textLength = 0;
  if (format != nullptr) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int length = vsnprintf(small, sizeof small, format, args);
    if (length >= 0 && static_cast<size_t>(length) >= sizeof small) {
      textLength = sizeof small - 1;
      try {
        large.resize(static_cast<size_t>(length));
        vsnprintf(large.data(), large.size() + 1, format, again);
        text = large.data();
        textLength = static_cast<size_t>(length);
      } catch (const std::bad_alloc&) {
      }
    } else if (length >= 0) {
      textLength = static_cast<size_t>(length);
    }
    va_end(again);
    va_end(args);
    if (length < 0) return -1;
  }

  const int fd = m_fileInstance->Descriptor();
  try {
    std::string line;
    line.reserve(96 + textLength + textLength / 8);
    ComposeLine(line, tag, level, text, textLength);
    line += '\n';
    if (!tzhost::WriteAll(fd, line.data(), line.size())) return -1;
    return static_cast<int>(line.size());
  } catch (const std::bad_alloc&) {
  }
  FixedLine line;
  ComposeLine(line, tag, level, text, textLength);
  line.EndLine();
  if (!tzhost::WriteAll(fd, line.data(), line.size())) return -1;
  return static_cast<int>(line.size());
}

EvEvent::EvEvent() {}

EvEvent::~EvEvent() {}
