// A system call that a signal interrupts is made again: the stand-in host
// and tzrecon (which has signal handlers of its own) call this for every
// call that can fail with EINTR. Header only, not installed.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

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

// Writes all `size` bytes of `data` to `fd`, as many writes as it takes.
// False, with errno set, when a write fails or writes nothing.
inline bool WriteAll(int fd, const void* data, size_t size) {
  const char* at = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = RetryInterrupted([&] { return write(fd, at, size); });
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    at += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace tzhost
