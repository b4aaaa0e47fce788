// tzrecon: a command-line host for the reconciliation library.
//
//   tzrecon dump ...    the chunk-lister dump of one mount path (Dump.cpp)
//   tzrecon sample ...  a sample mount path to dump (Sample.cpp)
//   tzrecon diff ...    the differences between two dumps (Diff.cpp)
//   tzrecon report ...  an HTML page of dumps or differences (Page.cpp)
//
// Exit status: 0 done; 1 the work failed (for dump: the library was called
// and a dump failed), or standard output could not be written; 2 bad input
// found before any work: arguments, the registry, the log file.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "Args.h"
#include "Diff.h"
#include "Dump.h"
#include "Page.h"
#include "Sample.h"

namespace {

const char kUsage[] =
    "usage: tzrecon <command> [options]\n"
    "\n"
    "commands:\n"
    "  dump    write the chunk-lister dump of one mount path and copy\n"
    "  sample  write a sample mount path to run dumps on\n"
    "  diff    compare two dump files (exit 0 same, 1 different, 2 bad input)\n"
    "  report  write an HTML page of dumps or of their differences\n"
    "\n"
    "Run 'tzrecon <command> --help' for the options of a command,\n"
    "'tzrecon --version' for the version.\n";

int RunCommand(int argc, char** argv);

}  // namespace

// Output that a script reads must not be lost silently: a write error on
// standard output (a full disk, a closed pipe) turns success into failure.
int main(int argc, char** argv) {
  int status = RunCommand(argc, argv);
  if (fflush(stdout) != 0 || ferror(stdout)) {
    fprintf(stderr, "tzrecon: cannot write to standard output: %s\n", std::strerror(errno));
    if (status == 0) status = 1;
  }
  return status;
}

namespace {

int RunCommand(int argc, char** argv) {
  if (argc < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  const std::string command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") {
    fputs(kUsage, stdout);
    return 0;
  }
  if (command == "--version") {
    printf("tzrecon %s\n", TZRECON_VERSION);
    return 0;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  try {
    if (command == "dump") return tzcli::RunDump(args);
    if (command == "sample") return tzcli::RunSample(args);
    if (command == "diff") return tzcli::RunDiff(args);
    if (command == "report") return tzcli::RunPage(args);
    fprintf(stderr, "tzrecon: unknown command '%s'\n%s", command.c_str(), kUsage);
    return 2;
  } catch (const tzcli::UsageError& e) {
    fprintf(stderr, "tzrecon %s: %s\nRun 'tzrecon %s --help' for the options.\n",
            command.c_str(), e.what(), command.c_str());
    return 2;
  }
}

}  // namespace
