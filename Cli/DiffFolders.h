// `tzrecon diff OLD_DIR NEW_DIR --output OUT_DIR [--jobs N] [--json]`: the
// dumps of two folders (two `dump --all-mount-paths` runs, say) compared
// mount path by mount path.
//
// The dumps are paired by copy id and mount path id (DumpPairing.h), and
// each pair is compared by `tzrecon diff OLD NEW --output FILE --json` in a
// child process of the same executable, N at a time: the single diff,
// unchanged, with its memory per process. Each pair's differences go into
// OUT_DIR/ChunkDiff_<copy id>_<mount path id>.csv, written under a hidden
// name and put in place, never over a file, once the diff has ended. One
// table (or JSON array) gives every pair's outcome.
//
// Exit status: 0 every pair the same; 1 some pair differs, or a mount path
// has dumps on one side only; 2 bad input: arguments, a folder that cannot
// be listed or holds no dump, an OUT_DIR that holds a diff file of this run
// already, a mount path whose dumps are all failed or disagree with their
// records, or a pair whose diff failed; 129, 130, 143 interrupted by SIGHUP,
// SIGINT, SIGTERM (passed on to the running diffs, whose partial outputs are
// removed).
#pragma once

#include <string>
#include <vector>

namespace tzcli {

// Whether the diff's arguments (after "diff") ask for the folder diff: OLD
// and NEW are both folders, or --jobs is given (which only it takes). Not
// with --help.
bool IsFolderDiff(const std::vector<std::string>& args);

// Runs the folder diff; returns the exit status.
int RunDiffFolders(const std::vector<std::string>& args);

// The paragraph of `tzrecon diff --help` on folders.
extern const char kDiffFoldersHelp[];

}  // namespace tzcli
