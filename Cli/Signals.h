// What tzrecon does when it is asked to stop (SIGINT, SIGTERM, SIGHUP).
//
// A single dump ends at once: a line on standard error says what was left,
// and the process exits with 128 + the signal's number. The handlers only
// write(2) and _exit(2). A signal that comes while the dump's record is
// being written waits until the record is complete, so no half-written
// record or temporary file is left behind.
//
// `dump --all-mount-paths` passes a signal on to every running child, starts
// no more of them, and reports once they have all ended.
//
// `diff` ends at once too, after removing what it made for the run: the
// output file, and a temporary file in the moment it has a name.
#pragma once

#include <sys/types.h>

#include <cstddef>

namespace tzcli {

// "SIGINT", "SIGTERM", "SIGHUP", or "a signal" for any other.
const char* SignalName(int sig);

// Where a single dump is, for the line that an interrupting signal leaves.
enum class DumpPhase {
  kWalking,    // the library runs: nothing is published at the dump name
  kRecording,  // the library has returned: the file is read back and its
               // record written, and a signal waits
  kDone,       // the dump has ended
};

// Installs the handlers of a single dump (a signal that is ignored, as under
// nohup, stays ignored).
void InstallDumpHandlers();
// Sets the phase. Leaving kRecording ends the process if a signal came in it.
void SetDumpPhase(DumpPhase phase);
// Whether a status line is on the terminal: a handler then ends it first.
void SetStatusLineShown(bool shown);

// Installs the handlers of diff: a signal removes the files registered
// below, says so on standard error and ends the process with 128 + the
// signal's number.
void InstallDiffHandlers();
// The output file made for this run, `path` open as `fd` (nullptr: none);
// a signal removes it while it is still that file.
void SetDiffOutput(const char* path, int fd);
// Around the moment a temporary file has a name, `path`, between its
// creation and its unlinking (one thread at a time): a signal removes it.
// Begin returns false once a stop signal is being handled: no file is to be
// made then, the process is about to end. A handler on another thread waits
// for End, so no file is made after it has looked.
bool BeginDiffTempName(const char* path);
void EndDiffTempName();

// The handlers of --all-mount-paths: each signal is passed on to every
// child registered with SetChildOfSlot, one slot per worker (at most
// kMaxChildSlots, the most --jobs allows).
constexpr size_t kMaxChildSlots = 256;
void InstallForwardingHandlers();
// Registers the running child of a slot (0: none). A signal that came before
// is passed on to it at once.
void SetChildOfSlot(size_t slot, pid_t child);
// The first signal received by the forwarding handlers, 0 when none.
int ReceivedSignal();

// Blocks (or restores) the stop signals on the calling thread, around a fork.
void BlockStopSignals(bool block);
// In a forked child before exec: the default actions again, signals unblocked.
void ResetStopSignalsInChild();

}  // namespace tzcli
