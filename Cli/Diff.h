// `tzrecon diff OLD NEW`: the differences between two chunk-lister dumps.
//
// Both files are read into compact tables (DumpTable.h) on a thread each,
// sorted by volume id and chunk id, and merged. When they do not fit the
// memory limit (--memory), their rows go to temporary files by key range and
// the ranges are merged one after the other (DiffPartitions.h). The
// differences go out as CSV, a summary to standard error (or as JSON to
// standard output).
// Exit status: 0 the same chunks, sizes and flags; 1 they differ; 2 bad
// input, a bad command line, or an output that could not be written.
#pragma once

#include <string>
#include <vector>

namespace tzcli {

// Runs the command on its arguments (after "diff"); returns the exit status.
int RunDiff(const std::vector<std::string>& args);

}  // namespace tzcli
