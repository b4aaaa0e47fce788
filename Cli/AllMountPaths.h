// `tzrecon dump --all-mount-paths`: one dump of the copy per mount path of
// the registry, N at a time, each in a process of its own.
//
// Each dump runs as `tzrecon dump --mount-path-id ID ... --json` in a child
// process, exactly as a single dump would: the library stays single-threaded
// in every process, the stand-in host's state (log observer, loggers, cloud
// stores) is per process, and a crash ends one dump, not the others. The
// children's JSON summaries make one table (or one JSON array).
#pragma once

#include "Dump.h"

namespace tzcli {

// Returns the exit status: 0 when every dump succeeded, 1 otherwise.
int RunAllMountPaths(const DumpOptions& options);

}  // namespace tzcli
