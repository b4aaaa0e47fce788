// A hook of the stand-in host for the program that hosts the library: it is
// shown every message given to EvDebug::DebugLvl, on the thread that logs it,
// whether or not the log's level filter then writes it.
//
// tzrecon uses it to count a dump's notices by kind and to show progress
// while the walk runs; the library knows nothing of it. A real host has its
// own tools for its log and would not need this.
#pragma once

#include <stdarg.h>

#include "TzHostExport.h"

namespace tzhost {

struct LogObserver {
  // Called for each message of level at most `maxLevel`, before the message
  // is formatted, with the logger's own arguments; `args` may be read (with
  // va_arg, as `format` gives them) and need not be. Must not log, and must
  // return quickly: it runs inside the walk, once per chunk at level 2.
  void (*onMessage)(void* context, const char* tag, int level, const char* format,
                    va_list args);
  void* context;
  int maxLevel;
};

// Installs `observer` (null removes it). The observer must stay valid until
// it is removed, and is set or removed while no other thread logs.
TZHOST_API void SetLogObserver(const LogObserver* observer);

}  // namespace tzhost
