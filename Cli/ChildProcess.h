// tzrecon's own worker processes: `dump --all-mount-paths` runs each dump,
// and `diff` of two folders each pair's diff, as a child process of the same
// executable, N at a time, one worker thread each.
//
// A child starts with the stop signals' default actions, standard input
// from /dev/null, standard output and error on pipes, and asks to be sent
// SIGTERM when its parent dies (even killed with SIGKILL). While it runs it
// is registered in its worker's slot (Signals.h), so that a stop signal the
// parent receives is passed on to it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace tzcli {

struct ChildResult {
  int status = -1;  // exit status, or 128 + signal; -1 when it could not start
  std::string out, err;
  std::string startError;
};

// What a child sends on its progress pipe, as it comes: the text read so far
// that the callee has not consumed (it keeps a line cut short for later).
using ProgressReader = std::function<void(std::string& text)>;

// Runs `argv` (argv[0] a path) in a child registered in `slot`, reads its
// standard output and error to their ends, and waits for it. With
// `progress`, the child is given a third pipe ("--progress-fd N" is added
// to its arguments), whose text goes to `progress`; should that pipe not
// be made, the child runs without it.
ChildResult RunChild(std::vector<std::string> argv, size_t slot,
                     const ProgressReader* progress = nullptr);

// Runs `job(slot, i)` for each i in [0, count), on up to `jobs` worker
// threads (`slot`: the worker's own index, for RunChild), each taking the
// next i when its job has ended, until a stop signal has been received
// (ReceivedSignal). Returns whether each i was started. When not every
// worker thread can be started, a warning names `command` and the threads
// that started take every job.
std::vector<char> RunOnWorkers(size_t jobs, size_t count,
                               const std::function<void(size_t slot, size_t i)>& job,
                               const char* command);

// The path of the running executable ("" when /proc/self/exe cannot be read).
std::string SelfPath();

}  // namespace tzcli
