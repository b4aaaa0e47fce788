// `tzrecon dump`: fills the library's request record from the command line,
// runs the requested dumps, and reports the result; with --all-mount-paths,
// one such dump per mount path of the registry (AllMountPaths.cpp).
//
// Exit status: 0 done; 1 the library was called and a dump failed, or
// standard output could not be written; 2 (by UsageError) something wrong
// with the program's own inputs, found before the library is called:
// arguments, the registry file, the log file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Registry.h"

namespace tzcli {

// A checked `tzrecon dump` command line.
struct DumpOptions {
  bool allMountPaths = false;
  int32_t mountPathId = 0;  // unless allMountPaths
  int32_t copyId = 0;
  std::string dumpDir;
  bool singleInstanced = false;
  uint32_t flags = 2;  // the chunk-lister dump
  int32_t cloudHostParam = 0;
  std::string config;    // the registry file, "" when none is given
  std::string log;       // the log file; "" for standard error
  std::string logLevel;  // as given, "" when not
  bool json = false;
  bool quiet = false;
  int jobs = 1;
  std::string metrics;   // --metrics FILE, "" when not given
  int progressFd = -1;   // --progress-fd: where a child of --all-mount-paths sends its progress
  std::vector<tzhost::MountPathEntry> entries;  // the registry's, when it was read
};

// Runs the command on its arguments (after "dump"); returns the exit status.
int RunDump(const std::vector<std::string>& args);

}  // namespace tzcli
