// What a label, marker, trailer or chunk that cannot be read means for the
// dump. Something absent, short, mismatched or unreadable by its nature is
// left out of the dump, as the walk has always done for a trailer that is
// missing; the process or the system failing (out of descriptors or memory,
// a device error) fails the dump, because every chunk it would leave out
// would look lost to whoever acts on the dump. Both walks ask here and
// nowhere else. Not installed and not exported.
#pragma once

#include <cstddef>

class CJwError;

namespace tzrecon {

enum class ReadFailure {
  kLeftOut,  // the entry is absent or unreadable by its nature
  kFailing,  // the process or the system failed: the dump fails
};

struct ErrnoRule {
  int error;
  ReadFailure failure;
};

// The table, for the tests that inject every row of it. An errno that is
// not in it is the system's failure.
extern const ErrnoRule kErrnoRules[];
extern const size_t kErrnoRuleCount;

// The disk walk's own opens and reads report errno.
ReadFailure ClassifyErrno(int error);

// The host's file status and the cloud component report an error value,
// which tells only absence from everything else: anything but absence is
// the host's or the store's failure.
ReadFailure ClassifyHostError(const CJwError& error);

}  // namespace tzrecon
