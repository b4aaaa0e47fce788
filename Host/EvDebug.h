// Host logging: the debug log (EvDebug) and the host event object (EvEvent).
#pragma once

#include "TzHostExport.h"

// Selects a log file of its own for a logger; a null instance selects the
// process's default log.
class EvDebugFileInstance;

class TZHOST_API EvDebug {
 public:
  explicit EvDebug(EvDebugFileInstance* fileInstance = nullptr);
  ~EvDebug();
  EvDebug(const EvDebug&) = delete;
  EvDebug& operator=(const EvDebug&) = delete;

  // Writes one message when `level` is at most the configured log level
  // (level -1 always passes). The level is tested before anything is
  // formatted, so a filtered message costs no formatting and no system call.
  int DebugLvl(const char* tag, int level, const char* format, ...)
      __attribute__((format(printf, 4, 5)));

  // True when a message of `level` would be written.
  bool IsEnabled(int level) const { return level <= m_level; }

 private:
  EvDebugFileInstance* m_fileInstance;
  int m_level;
};

// The host's event object. A library that links against the host defines one
// global instance, g_Event, for the host to use.
class TZHOST_API EvEvent {
 public:
  EvEvent();
  ~EvEvent();
  EvEvent(const EvEvent&) = delete;
  EvEvent& operator=(const EvEvent&) = delete;
};

// Constant text that the host's declarations give each source unit.
static const char* const vmFatalError __attribute__((unused)) = "**FatalError**";
