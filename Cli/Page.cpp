#include "Page.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "Args.h"
#include "Interrupted.h"
#include "PageHtml.h"
#include "PageModel.h"

namespace tzcli {

namespace {

const char kPageHelp[] =
    "usage: tzrecon report INPUT... --output PAGE.html\n"
    "\n"
    "Writes one self-contained HTML page (inline style, script and picture; it\n"
    "loads nothing, so it opens from a mail attachment) of the INPUTs, each\n"
    "known by its first line:\n"
    "  a dump file       with its record FILE.json when there is one\n"
    "  a difference file as 'tzrecon diff --output' writes it, alone or followed\n"
    "                    by its two dumps, OLD then NEW\n"
    "  a folder          the dumps 'tzrecon dump --all-mount-paths' left in it\n"
    "                    (the newest of each copy and mount path)\n"
    "\n"
    "The page shows the totals (rows, bytes held, volumes, the notices of the\n"
    "records, whether each input is complete, failed or of unknown\n"
    "completeness), a picture of the mount paths and their volumes sized by\n"
    "bytes (for differences coloured unchanged, changed, missing, new), a\n"
    "table of every volume sortable by each column, and the first 1000 chunks\n"
    "of each kind of difference; a missing chunk has the reason that NEW's log\n"
    "gives (trailer mismatch, missing or short, label unreadable), else\n"
    "'absent from the walk'. Inputs are read as streams: memory and the page's\n"
    "size grow with the volumes, not the rows (past 20000 volumes, the\n"
    "smallest of each mount path share one row).\n"
    "\n"
    "options:\n"
    "  --output PAGE  the page to write, a new file: one that exists, an input\n"
    "                 above all, is refused\n"
    "\n"
    "Exit status: 0 the page was written; 2 bad input (a file that cannot be\n"
    "read, an unknown first line, a malformed row, a folder without dumps, a\n"
    "difference file with other than two dumps, dumps that do not go with it),\n"
    "a bad command line, or a page that could not be written. The page is\n"
    "written into a temporary file beside it and put in place at the end, so\n"
    "no page is left on a failure.\n";

int Fail(const std::string& message) {
  fprintf(stderr, "tzrecon report: %s\n", message.c_str());
  return 2;
}

// Refuses a page that exists already (an input above all).
bool CheckOutput(const std::string& page, const std::vector<std::string>& inputs, std::string* error) {
  struct stat out, in;
  if (lstat(page.c_str(), &out) != 0) return true;
  for (const std::string& input : inputs)
    if (stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
      *error = "--output '" + page + "' is the input '" + input + "'; give a new file name";
      return false;
    }
  *error = "--output '" + page + "': exists; give a new file name";
  return false;
}

// Writes `text` into a temporary file beside `page`, then puts it at
// `page` without replacing anything; no file is left on a failure.
bool WritePage(const std::string& page, const std::string& text, std::string* error) {
  std::string temp = page + ".XXXXXX";
  const int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) {
    *error = "--output '" + page + "': cannot create a file beside it: " + std::strerror(errno);
    return false;
  }
  const mode_t mask = umask(0);
  umask(mask);
  bool ok = fchmod(fd, 0666 & ~mask) == 0 && tzhost::WriteAll(fd, text.data(), text.size());
  int err = ok ? 0 : errno;
  if (close(fd) != 0 && ok) ok = false, err = errno;
  if (ok && renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, page.c_str(), RENAME_NOREPLACE) != 0) {
    // A file system without RENAME_NOREPLACE: a link fails as well on a name that is taken.
    ok = (errno == EINVAL || errno == ENOSYS) && link(temp.c_str(), page.c_str()) == 0;
    if (!ok) err = errno;
  }
  unlink(temp.c_str());  // after the rename a no-op; after a link the spare name
  if (!ok) {
    *error = "--output '" + page + "': " +
             (err == EEXIST ? std::string("exists; give a new file name") : std::strerror(err));
    return false;
  }
  return true;
}

}  // namespace

int RunPage(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(args, {{"--output", true}});
  if (parsed.help) {
    fputs(kPageHelp, stdout);
    return 0;
  }
  parsed.Require("--output");
  if (parsed.positional.empty()) throw UsageError("needs at least one INPUT");
  const std::string page = parsed.Text("--output");
  std::string error;
  if (!CheckOutput(page, parsed.positional, &error)) return Fail(error);
  nlohmann::ordered_json data;
  try {
    if (!page::BuildPageData(parsed.positional, &data, &error)) return Fail(error);
    if (!WritePage(page, page::PageHtml(data), &error)) return Fail(error);
  } catch (const std::bad_alloc&) {
    return Fail("out of memory");
  }
  return 0;
}

}  // namespace tzcli
