// Host error values, text, file status and directory listing.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "TzHostExport.h"

// Error codes. Every negative code is an error.
enum {
  JW_SUCCESS = 0,
  JW_ERR_FAILED = -1,     // the operation failed
  JW_ERR_NOT_FOUND = -2,  // the named file, object or folder does not exist
};

// An error value returned by the host's services. Copies share the detail.
class TZHOST_API CJwError {
 public:
  CJwError() : m_code(JW_SUCCESS) {}
  CJwError(int code, std::string text);

  bool IsError() const { return m_code < 0; }
  int Code() const { return m_code; }
  // True when the error says that the named file, object or folder does not
  // exist. This is the one place where a host maps its own "no such entry"
  // result: the library tells an absent marker or label (a plain volume, a
  // volume that is not its to read) from a look-up that failed only through
  // this call, never through a code of its own. A host defines it in its
  // library, beside the code that makes its errors.
  bool IsNotFound() const;
  // A readable description: the code and the detail text.
  std::string AsString() const;

  // An error from an operating-system call: errno, its text and the path.
  static CJwError FromErrno(int err, const char* operation, const char* path);

 private:
  int m_code;
  std::shared_ptr<const std::string> m_detail;
};

// The host's text type. c_str() never returns a null pointer.
class TZHOST_API CJwString {
 public:
  CJwString() = default;
  const char* c_str() const { return m_text.c_str(); }
  size_t length() const { return m_text.size(); }
  void assign(const char* text, size_t length) { m_text.assign(text, length); }

 private:
  std::string m_text;
};

// One directory entry: its bare name (no folder part).
struct TZHOST_API SJwDirEntry {
  CJwString name;
  unsigned char type = 0;  // DT_* value when the file system reports it
};

class TZHOST_API CJwFile {
 public:
  // The status of `path`, following symbolic links.
  static CJwError Stat(const char* path, struct stat& status);
};

// Lists one folder. Only entries whose names begin with the literal prefix in
// front of the pattern's "*" are delivered; "." and ".." never are.
class TZHOST_API CJwDirectory {
 public:
  CJwDirectory();
  ~CJwDirectory();
  CJwDirectory(const CJwDirectory&) = delete;
  CJwDirectory& operator=(const CJwDirectory&) = delete;

  CJwError Open(const char* path, const char* pattern, bool flag);
  // Fills `entry` with the next entry, or sets `end` when none is left.
  // An error means that the listing failed.
  CJwError GetEntry(SJwDirEntry* entry, bool& end);
  CJwError Close();

 private:
  struct Impl;
  Impl* m_impl;
};
