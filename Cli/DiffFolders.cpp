#include "DiffFolders.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "Args.h"
#include "ChildProcess.h"
#include "DumpPairing.h"
#include "FolderReport.h"
#include "Progress.h"
#include "Signals.h"

namespace tzcli {

const char kDiffFoldersHelp[] =
    "\n"
    "With two folders (two runs of tzrecon dump --all-mount-paths, say), the\n"
    "dumps are paired by copy id and mount path id, and each side's newest\n"
    "complete dump is taken: one whose record says it failed or disagrees with\n"
    "the file is passed over, one without a record is taken only when no\n"
    "complete one is there. Each pair is compared by the diff above in a\n"
    "process of its own, N at a time, into OUT_DIR/ChunkDiff_<copy id>_<mount\n"
    "path id>.csv (OUT_DIR is made when missing; if it holds one of these files\n"
    "already, nothing is run). One table (with --json, one JSON array on\n"
    "standard output) gives each pair's outcome: same, different, failed, only\n"
    "in OLD, only in NEW. Exit status: 0 all the same; 1 a pair differs or a\n"
    "mount path is on one side only; 2 bad input (a folder that cannot be\n"
    "listed or holds no dump, a mount path whose dumps are all incomplete, a\n"
    "pair whose diff failed).\n"
    "  --jobs N       diffs at a time (default: the number of processors); each\n"
    "                 holds its pair in memory as above\n";

namespace {

namespace fs = std::filesystem;
using nlohmann::ordered_json;


struct Options {
  std::string dirs[2];
  std::string outDir;
  int jobs = 1;
  bool json = false;
};

std::string Join(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

Options ParseOptions(const std::vector<std::string>& args) {
  const ParsedArgs parsed = ParseArgs(
      args,
      {{"--output", true}, {"--json", false}, {"--jobs", true}, {"--allow-incomplete", false}});
  if (parsed.positional.size() < 2) throw UsageError("needs two folders, OLD_DIR and NEW_DIR");
  if (parsed.positional.size() > 2)
    throw UsageError("unexpected argument '" + parsed.positional[2] + "'");
  Options o;
  for (int k = 0; k < 2; ++k) {
    o.dirs[k] = parsed.positional[static_cast<size_t>(k)];
    struct stat st;
    if (stat(o.dirs[k].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
      throw UsageError(std::string(kFolderSides[k]) + " '" + o.dirs[k] +
                       "' is not a folder: --jobs goes with two folders");
  }
  if (parsed.Has("--allow-incomplete"))
    throw UsageError("--allow-incomplete goes with two dump files; in folders an incomplete "
                     "dump is passed over for an older complete one");
  if (!parsed.Has("--output"))
    throw UsageError("two folders need --output OUT_DIR, the folder for the diff files");
  o.outDir = parsed.Text("--output");
  o.json = parsed.Has("--json");
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  o.jobs = static_cast<int>(parsed.Int("--jobs", std::min<unsigned>(cores, kMaxChildSlots), 1,
                                       static_cast<int64_t>(kMaxChildSlots)));
  return o;
}

int Fail(const std::string& message) {
  fprintf(stderr, "tzrecon diff: %s\n", message.c_str());
  return 2;
}

// Makes OUT_DIR, and the folders above it, when it is missing; "" or what
// is wrong with it.
std::string PrepareOutDir(const std::string& outDir) {
  std::error_code ec;
  if (!fs::exists(outDir, ec) && !ec) fs::create_directories(outDir, ec);
  if (ec) return "--output '" + outDir + "': cannot make the folder: " + ec.message();
  if (!fs::is_directory(outDir, ec)) return "--output '" + outDir + "' is not a folder";
  return "";
}

// The diff files of this run that OUT_DIR holds already (a diff file is
// never written over).
std::vector<std::string> TakenNames(const std::string& outDir,
                                    const std::vector<GroupPair>& pairs) {
  std::vector<std::string> taken;
  for (const GroupPair& g : pairs) {
    if (g.oldDumps.empty() || g.newDumps.empty()) continue;
    const std::string path = Join(outDir, DiffFileName(g.copyId, g.mountPathId));
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) taken.push_back(path);
  }
  return taken;
}

// Puts `temp` in place at `path` unless something is there; false with errno set.
bool PublishWithoutReplacing(const std::string& temp, const std::string& path) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  if (link(temp.c_str(), path.c_str()) != 0) return false;  // fails too on a name that is taken
  unlink(temp.c_str());
  return true;
}

// The lines of a diff's standard error as one line, without the command's prefix.
std::string ErrorText(const std::string& err) {
  std::istringstream in(err);
  std::string text;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const std::string prefix = "tzrecon diff: ";
    if (line.compare(0, prefix.size(), prefix) == 0) line.erase(0, prefix.size());
    text += (text.empty() ? "" : "; ") + line;
  }
  return text;
}

// Reads the diff's JSON summary into `o`; false when it gave none of the
// form its status says.
bool TakeSummary(const ChildResult& child, PairOutcome& o) {
  if (!child.startError.empty() || (child.status != 0 && child.status != 1)) return false;
  const std::string line = child.out.substr(0, child.out.find('\n'));
  const ordered_json j = ordered_json::parse(line, nullptr, false);
  if (!j.is_object() || !j.contains("same") || !j["same"].is_boolean() ||
      j["same"].get<bool>() != (child.status == 0) || !j.contains("kinds") ||
      !j["differences"].is_number_unsigned())
    return false;
  for (int k = 0; k < 4; ++k) {
    const ordered_json& count = j["kinds"][kDiffKinds[k]]["count"];
    if (!count.is_number_unsigned()) return false;
    o.counts[k] = count.get<uint64_t>();
  }
  o.differences = j["differences"].get<uint64_t>();
  o.countsKnown = true;
  o.summary = j;
  return true;
}

// Compares the chosen dumps of `o` in a child in `slot`; its differences go
// to a hidden file in OUT_DIR, put at the diff file's name when it has ended.
void RunPairDiff(const Options& opt, const std::string& self, size_t slot, PairOutcome& o) {
  const std::string name = DiffFileName(o.copyId, o.mountPathId);
  const std::string path = Join(opt.outDir, name);
  const std::string temp =
      Join(opt.outDir, "." + name + "." + std::to_string(getpid()) + ".partial");
  const ChildResult child = RunChild({self, "diff", "--output=" + temp, "--json", "--",
                                      o.choice[0].path, o.choice[1].path},
                                     slot);
  o.status = child.startError.empty() ? child.status : -1;
  if (TakeSummary(child, o)) {
    if (PublishWithoutReplacing(temp, path)) {
      o.outcome = o.differences == 0 ? "same" : "different";
      o.diffFile = path;
      o.summary["output"] = path;
      return;
    }
    o.error = "cannot put the differences at '" + path + "': " + std::strerror(errno);
    unlink(temp.c_str());
    o.outcome = "failed";
    return;
  }
  // A diff that failed removes its file itself; one that a signal ended
  // leaves it, and it is removed here (its name is this process's).
  if (child.status != 2) unlink(temp.c_str());
  const int signal = ReceivedSignal();
  if (signal != 0 && child.startError.empty() && child.status != 2) {
    o.outcome = "interrupted";
    o.interrupted = SignalName(signal);
    o.error = "the diff was interrupted by " + o.interrupted;
    return;
  }
  o.outcome = "failed";
  if (!child.startError.empty())
    o.error = child.startError;
  else if (child.status == 2 && !ErrorText(child.err).empty())
    o.error = ErrorText(child.err);
  else
    o.error = "the diff " +
              (child.status >= 128 ? "was killed by signal " + std::to_string(child.status - 128)
                                   : "exited with status " + std::to_string(child.status)) +
              " without a summary" + (child.err.empty() ? "" : ": " + ErrorText(child.err));
}

// Chooses each side's dump of `g` by what its records say (`refused`: the
// dumps that a diff found to disagree with their records).
void Choose(const GroupPair& g, const std::map<std::string, Completeness>& refused,
            PairOutcome& o) {
  const CompletenessCheck check = [&](const std::string& path) {
    const auto it = refused.find(path);
    return it != refused.end() ? it->second : RecordedCompleteness(path);
  };
  const std::vector<DumpFile>* dumps[2] = {&g.oldDumps, &g.newDumps};
  for (int k = 0; k < 2; ++k) {
    o.present[k] = !dumps[k]->empty();
    if (o.present[k]) o.choice[k] = ChooseDump(*dumps[k], check);
  }
}

// When the diff of `o` refused a dump for its record (a change that keeps
// the file's size shows only to the diff's SHA-256), the side, and why.
int RefusedSide(const PairOutcome& o, Completeness* why) {
  if (o.status != 2) return -1;
  for (int k = 0; k < 2; ++k) {
    const std::string named = std::string(kFolderSides[k]) + " '" + o.choice[k].path + "' ";
    for (const char* what : {"does not match its record: ", "is a failed dump: "}) {
      const size_t at = o.error.find(named + what);
      if (at == std::string::npos) continue;
      const size_t from = at + named.size() + strlen(what);
      why->state = what[0] == 'd' ? "disagrees" : "failed";
      why->reason = o.error.substr(from, o.error.find("; give --allow-incomplete", from) - from);
      why->record = true;
      return k;
    }
  }
  return -1;
}

// Chooses each side's dump of `g`, then compares them when both sides have
// one; a dump the diff refuses is passed over, and the next one taken.
void RunPair(const Options& opt, const std::string& self, size_t slot, const GroupPair& g,
             PairOutcome& o) {
  std::map<std::string, Completeness> refused;
  for (const PairOutcome fresh = o;; o = fresh) {
    Choose(g, refused, o);
    for (int k = 0; k < 2; ++k)
      if (o.present[k] && !o.choice[k].found) {
        o.outcome = "failed";
        const PassedOver& newest = o.choice[k].passedOver.front();
        o.error = std::string(kFolderSides[k]) +
                  " has no usable dump: each is failed or disagrees with its record (" +
                  std::to_string(o.choice[k].passedOver.size()) + "; the newest, " + newest.path +
                  ": " + newest.completeness.reason + ")";
        return;
      }
    if (!o.present[0] || !o.present[1]) {
      o.outcome = o.present[0] ? "only in OLD" : "only in NEW";
      return;
    }
    RunPairDiff(opt, self, slot, o);
    Completeness why;
    const int side = RefusedSide(o, &why);
    if (side < 0) return;
    refused[o.choice[side].path] = why;
  }
}

struct Progress {
  std::atomic<size_t> started{0}, done{0}, failed{0};
};

// Runs the pairs, `opt.jobs` at a time; a signal starts no more of them.
void RunPairs(const Options& opt, const std::vector<GroupPair>& pairs,
              std::vector<PairOutcome>& outcomes, Progress& p) {
  const std::string self = SelfPath();
  const auto compare = [&](size_t slot, size_t i) {
    ++p.started;
    RunPair(opt, self, slot, pairs[i], outcomes[i]);
    if (outcomes[i].outcome == "failed") ++p.failed;
    ++p.done;
  };
  const std::vector<char> started =
      RunOnWorkers(static_cast<size_t>(opt.jobs), pairs.size(), compare, "diff");
  for (size_t i = 0; i < pairs.size(); ++i)
    if (!started[i]) {
      PairOutcome& o = outcomes[i];
      o.outcome = "interrupted";
      o.interrupted = SignalName(ReceivedSignal());
      o.error = "not compared: interrupted by " + o.interrupted;
    }
}

}  // namespace

bool IsFolderDiff(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") return false;
    const std::string name = arg.substr(0, arg.find('='));
    if (name == "--jobs") return true;
    if (name == "--output" && arg.find('=') == std::string::npos) ++i;  // its value
  }
  if (positional.size() < 2) return false;
  struct stat st[2];
  return stat(positional[0].c_str(), &st[0]) == 0 && S_ISDIR(st[0].st_mode) &&
         stat(positional[1].c_str(), &st[1]) == 0 && S_ISDIR(st[1].st_mode);
}

int RunDiffFolders(const std::vector<std::string>& args) {
  const Options opt = ParseOptions(args);
  std::vector<DumpFile> dumps[2];
  for (int k = 0; k < 2; ++k) {
    std::string error;
    if (!ListDumps(opt.dirs[k], &dumps[k], &error))
      return Fail(std::string(kFolderSides[k]) + " '" + opt.dirs[k] + "': " + error);
    if (dumps[k].empty())
      return Fail(std::string(kFolderSides[k]) + " '" + opt.dirs[k] +
                  "' holds no dump file (ChunkLister_<copy id>_<mount path id>_<time>.csv)");
  }
  const std::vector<GroupPair> pairs = PairDumps(dumps[0], dumps[1]);
  if (const std::string error = PrepareOutDir(opt.outDir); !error.empty()) return Fail(error);
  const std::vector<std::string> taken = TakenNames(opt.outDir, pairs);
  if (!taken.empty())
    return Fail("--output '" + opt.outDir + "' holds " + taken.front() +
                (taken.size() > 1 ? " and " + std::to_string(taken.size() - 1) + " more diff files"
                                  : "") +
                " already; give a new folder");

  std::vector<PairOutcome> outcomes(pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    outcomes[i].copyId = pairs[i].copyId;
    outcomes[i].mountPathId = pairs[i].mountPathId;
  }
  Progress p;
  InstallForwardingHandlers();
  std::unique_ptr<StatusLine> status;
  if (isatty(STDERR_FILENO) == 1)
    status = std::make_unique<StatusLine>(
        [&](double seconds) {
          char text[160];
          const size_t done = p.done.load();
          snprintf(text, sizeof text,
                   "%zu of %zu mount paths compared (%zu failed), %zu running, %.1f s",
                   done, pairs.size(), p.failed.load(), p.started.load() - done, seconds);
          return std::string(text);
        },
        "tzrecon diff: ");
  if (status) status->Start();
  RunPairs(opt, pairs, outcomes, p);
  if (status) status->Stop();
  const int signal = ReceivedSignal();

  PrintFolderReport(outcomes, opt.json, signal);
  return FolderExitStatus(outcomes, signal);
}

}  // namespace tzcli
