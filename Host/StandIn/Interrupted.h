// A system call that a signal interrupts is made again: the stand-in host
// and tzrecon (which has signal handlers of its own) call this for every
// call that can fail with EINTR. Header only, not installed.
#pragma once

#include <cerrno>

namespace tzhost {

// Makes `call` (a system call returning -1 with errno on failure) until it
// does not fail with EINTR, and returns what it returned last.
template <typename Call>
auto RetryInterrupted(Call&& call) -> decltype(call()) {
  for (;;) {
    const auto result = call();
    if (result >= 0 || errno != EINTR) return result;
  }
}

}  // namespace tzhost
