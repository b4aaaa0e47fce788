// tzrecon: a command-line host for the reconciliation library.
//
//   tzrecon dump ...    the chunk-lister dump of one mount path (Dump.cpp)
//   tzrecon sample ...  a sample mount path to dump (Sample.cpp)
//   tzrecon diff ...    the differences between two dumps (Diff.cpp)
//
// Exit status: 0 done, 1 the work failed, 2 a bad command line.

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Args.h"
#include "Diff.h"
#include "Dump.h"
#include "Sample.h"

namespace {

const char kUsage[] =
    "usage: tzrecon <command> [options]\n"
    "\n"
    "commands:\n"
    "  dump    write the chunk-lister dump of one mount path and copy\n"
    "  sample  write a sample mount path to run dumps on\n"
    "  diff    compare two dump files (exit 0 same, 1 different, 2 bad input)\n"
    "\n"
    "Run 'tzrecon <command> --help' for the options of a command.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return 0;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "dump") return tzcli::RunDump(args);
    if (command == "sample") return tzcli::RunSample(args);
    if (command == "diff") return tzcli::RunDiff(args);
    fprintf(stderr, "tzrecon: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
  } catch (const tzcli::UsageError& e) {
    fprintf(stderr, "tzrecon %s: %s\nRun 'tzrecon %s --help' for the options.\n",
            command.c_str(), e.what(), command.c_str());
    return 2;
  }
}
