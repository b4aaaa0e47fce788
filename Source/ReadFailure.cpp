#include "ReadFailure.h"

#include <errno.h>

#include "JwFile.h"

namespace tzrecon {

const ErrnoRule kErrnoRules[] = {
    // Absent, or unreadable by what stands at the name.
    {ENOENT, ReadFailure::kLeftOut},   // nothing at the name
    {ENOTDIR, ReadFailure::kLeftOut},  // a file where a folder of the path should be
    {EACCES, ReadFailure::kLeftOut},   // the file's or a folder's permissions
    {EPERM, ReadFailure::kLeftOut},
    {ELOOP, ReadFailure::kLeftOut},   // a symbolic link that loops
    {EISDIR, ReadFailure::kLeftOut},  // a folder in a file's place
    {ENXIO, ReadFailure::kLeftOut},   // a socket or a device without its driver
    {ENODEV, ReadFailure::kLeftOut},
    // The process or the system failing: the same name may read well at the
    // next attempt, so leaving the entry out would be a guess.
    {EMFILE, ReadFailure::kFailing},
    {ENFILE, ReadFailure::kFailing},
    {ENOMEM, ReadFailure::kFailing},
    {ENOBUFS, ReadFailure::kFailing},
    {EIO, ReadFailure::kFailing},
    {EAGAIN, ReadFailure::kFailing},
    {ETIMEDOUT, ReadFailure::kFailing},
    {ESTALE, ReadFailure::kFailing},
};
const size_t kErrnoRuleCount = sizeof kErrnoRules / sizeof kErrnoRules[0];

ReadFailure ClassifyErrno(int error) {
  for (const ErrnoRule& rule : kErrnoRules)
    if (rule.error == error) return rule.failure;
  return ReadFailure::kFailing;
}

ReadFailure ClassifyHostError(const CJwError& error) {
  return error.IsNotFound() ? ReadFailure::kLeftOut : ReadFailure::kFailing;
}

}  // namespace tzrecon
