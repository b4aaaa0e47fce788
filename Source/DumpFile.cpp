#include "DumpFile.h"

#include <errno.h>

#include <cstring>
#include <new>

#include "EvDebug.h"
#include "Messages.h"
#include "SystemCalls.h"

namespace tzrecon {

namespace {

// Rows are small: a large stream buffer gathers thousands of them into each
// write.
constexpr size_t kBufferSize = 1 << 20;

// An O_TMPFILE open is refused with these where the kernel or the file
// system cannot make unnamed files (EISDIR: a kernel that takes the flag for
// O_DIRECTORY alone).
bool UnnamedRefused(int error) {
  return error == EOPNOTSUPP || error == EISDIR || error == EINVAL;
}

}  // namespace

DumpFile::~DumpFile() {
  if (m_stream == nullptr) return;
  fclose(m_stream);
  if (!m_hidden.empty()) RemoveFile(m_hidden.c_str());
}

int DumpFile::CreateUnnamed(EvDebug& debug, const char* tag) {
  const int fd = CreateUnnamedFile(m_folder.c_str());
  if (fd >= 0 || !UnnamedRefused(errno)) return fd;
  const size_t slash = m_name.rfind('/');
  m_hidden = m_name.substr(0, slash + 1) + "." + m_name.substr(slash + 1) + ".partial";
  debug.DebugLvl(tag, 2, "The dump folder [%s] takes no unnamed file; the dump is written as [%s] "
                         "until it ends",
                 m_folder.c_str(), m_hidden.c_str());
  // A new file only: never into a stand-in that another dump of the same
  // second writes.
  const int hidden = CreateNewFile(m_hidden.c_str());
  if (hidden < 0) m_hidden.clear();
  return hidden;
}

bool DumpFile::Create(EvDebug& debug, const char* tag, const std::string& path) {
  m_name = path;
  const size_t slash = m_name.rfind('/');
  m_folder = slash == std::string::npos ? "." : slash == 0 ? "/" : m_name.substr(0, slash);
  // The name has one-second resolution, so a file at it is an earlier or a
  // running dump of the same copy and mount path (or a link someone put
  // there), and is never written to. The link at the end checks once more.
  int error = SomethingAt(m_name.c_str()) ? EEXIST : 0;
  int fd = -1;
  if (error == 0) {
    fd = CreateUnnamed(debug, tag);
    error = fd < 0 ? errno : 0;
  }
  if (fd >= 0) {
    m_stream = fdopen(fd, "wb");
    if (m_stream == nullptr) {
      error = errno;
      CloseFile(fd);
      if (!m_hidden.empty()) RemoveFile(m_hidden.c_str());
    }
  }
  if (m_stream == nullptr) {
    debug.DebugLvl(tag, -1, "Error :: Cannot create the dump file [%s]", m_name.c_str());
    if (error == EEXIST)
      debug.DebugLvl(tag, -1, messages::kDumpNameTaken, m_name.c_str());
    return false;
  }
  // Without the large buffer the stream keeps its own, smaller one.
  m_buffer.reset(new (std::nothrow) char[kBufferSize]);
  if (m_buffer) setvbuf(m_stream, m_buffer.get(), _IOFBF, kBufferSize);
  return Write(debug, tag, kDumpHeader, kDumpHeaderSize);
}

bool DumpFile::WriteRow(EvDebug& debug, const char* tag, int32_t mountPathId, int32_t volumeId,
                        int32_t chunkId, uint64_t size, bool singleInstanced) {
  char row[kMaxRowSize];
  const size_t length = FormatRow(row, mountPathId, volumeId, chunkId, size, singleInstanced);
  return Write(debug, tag, row, length);
}

void DumpFile::ReportWriteFailure(EvDebug& debug, const char* tag, int error) {
  if (m_failed) return;
  m_failed = true;
  debug.DebugLvl(tag, -1, "Error :: Failed to write the dump file [%s], error=%s", m_name.c_str(),
                 error != 0 ? strerror(error) : "short write");
}

bool DumpFile::Write(EvDebug& debug, const char* tag, const void* data, size_t size) {
  if (m_failed || m_stream == nullptr) return false;
  errno = 0;
  if (fwrite_unlocked(data, 1, size, m_stream) == size) return true;
  ReportWriteFailure(debug, tag, errno);
  return false;
}

// The file's data, then (once it is linked) the folder's entry for it, on
// the disk before success is reported: a dump that a power cut could still
// take back has not ended.
bool DumpFile::Sync(EvDebug& debug, const char* tag, int fd) {
  if (SyncFile(fd) == 0 || errno == EINVAL) return true;  // EINVAL: a file that cannot be synced
  ReportWriteFailure(debug, tag, errno);
  return false;
}

bool DumpFile::Publish(EvDebug& debug, const char* tag, int fd) {
  const int linked = m_hidden.empty() ? LinkUnnamedFile(fd, m_name.c_str())
                                      : LinkFile(m_hidden.c_str(), m_name.c_str());
  const int error = errno;
  if (!m_hidden.empty()) RemoveFile(m_hidden.c_str());
  if (linked != 0) {
    debug.DebugLvl(tag, -1, "Error :: Cannot create the dump file [%s]", m_name.c_str());
    if (error == EEXIST)
      debug.DebugLvl(tag, -1, messages::kDumpNameTaken, m_name.c_str());
    else
      debug.DebugLvl(tag, -1, "Error :: Failed to link the dump file at its name [%s], error=%s",
                     m_name.c_str(), strerror(error));
    return false;
  }
  // EACCES: a folder the process may write but not read; EINVAL: one that
  // cannot be synced.
  if (SyncFolder(m_folder.c_str()) == 0 || errno == EACCES || errno == EINVAL) return true;
  ReportWriteFailure(debug, tag, errno);
  return false;
}

bool DumpFile::Close(EvDebug& debug, const char* tag) {
  if (m_stream == nullptr) return false;
  FILE* stream = m_stream;
  m_stream = nullptr;
  errno = 0;
  if (fflush(stream) != 0 || ferror(stream)) ReportWriteFailure(debug, tag, errno);
  const bool written = !m_failed && Sync(debug, tag, fileno(stream));
  // A failed dump is published too: it holds the rows written before the
  // failure, and its caller was told the name.
  const bool published = Publish(debug, tag, fileno(stream));
  errno = 0;
  const bool closed = fclose(stream) == 0;
  if (!closed) ReportWriteFailure(debug, tag, errno);
  m_buffer.reset();
  m_hidden.clear();
  return written && published && closed && !m_failed;
}

}  // namespace tzrecon
