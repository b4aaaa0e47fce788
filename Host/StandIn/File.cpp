// Error values and file status.

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <utility>

#include "JwFile.h"
#include "OpenFolders.h"

CJwError::CJwError(int code, std::string text)
    : m_code(code),
      m_detail(std::make_shared<const std::string>(std::move(text))) {}

// The stand-in keeps absence apart as its own code (see FromErrno and the
// cloud stores).
bool CJwError::IsNotFound() const { return m_code == JW_ERR_NOT_FOUND; }

// "error -2: stat failed for [/x/y]: No such file or directory (errno 2)"
std::string CJwError::AsString() const {
  std::string text = IsError() ? "error " + std::to_string(m_code) : "success";
  if (m_detail && !m_detail->empty()) {
    text += ": ";
    text += *m_detail;
  }
  return text;
}

// The only place where errno becomes an error value. A missing path (or a
// path through something that is not a folder) is kept apart as
// JW_ERR_NOT_FOUND because callers treat absence differently from failure.
CJwError CJwError::FromErrno(int err, const char* operation, const char* path) {
  char buffer[256];
  // The GNU strerror_r: returns the text, which may or may not be `buffer`.
  const char* reason = strerror_r(err, buffer, sizeof buffer);
  std::string text = operation != nullptr ? operation : "operation";
  text += " failed for [";
  if (path != nullptr) text += path;
  text += "]: ";
  text += reason;
  text += " (errno ";
  text += std::to_string(err);
  text += ')';
  const bool absent = err == ENOENT || err == ENOTDIR;
  return CJwError(absent ? JW_ERR_NOT_FOUND : JW_ERR_FAILED, std::move(text));
}

CJwError CJwFile::Stat(const char* path, struct stat& status) {
  if (path == nullptr) return CJwError(JW_ERR_FAILED, "stat: no path given");
  struct stat result;
  // A name directly inside a folder that this thread is listing is resolved
  // relative to that folder; anything else by its whole path.
  const char* slash = strrchr(path, '/');
  const int folder =
      slash != nullptr && slash[1] != '\0' ? tzhost::FindOpenFolder(path, slash + 1 - path) : -1;
  const int rc = folder >= 0 ? fstatat(folder, slash + 1, &result, 0) : stat(path, &result);
  if (rc != 0) return CJwError::FromErrno(errno, "stat", path);
  status = result;
  return CJwError();
}
