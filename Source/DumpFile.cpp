#include "DumpFile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstring>
#include <new>

#include "EvDebug.h"

namespace tzrecon {

const char kDumpHeader[] = "MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n";
static_assert(sizeof(kDumpHeader) - 1 == kDumpHeaderSize, "the dump header is 61 bytes");

namespace {

// Rows are small: a large stream buffer gathers thousands of them into each
// write.
constexpr size_t kBufferSize = 1 << 20;

}  // namespace

size_t FormatRow(char* out, int32_t mountPathId, int32_t volumeId, int32_t chunkId,
                 uint64_t size, bool singleInstanced) {
  char* p = out;
  char* const last = out + kMaxRowSize;
  p = std::to_chars(p, last, mountPathId).ptr;
  *p++ = ',';
  *p++ = ' ';
  p = std::to_chars(p, last, volumeId).ptr;
  *p++ = ',';
  *p++ = ' ';
  p = std::to_chars(p, last, chunkId).ptr;
  *p++ = ',';
  *p++ = ' ';
  p = std::to_chars(p, last, size).ptr;
  *p++ = ',';
  *p++ = ' ';
  *p++ = singleInstanced ? '1' : '0';
  *p++ = '\r';
  *p++ = '\n';
  return static_cast<size_t>(p - out);
}

FILE* CreateDumpFile(const std::string& path) {
  // O_EXCL: two requests within one second compose the same name, and the
  // later must neither truncate the earlier dump nor write into a running
  // one. With O_EXCL a link at the name is not followed either (O_NOFOLLOW
  // says so once more), so whatever is there stays untouched.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (file == nullptr) {
    const int err = errno;
    close(fd);
    errno = err;
  }
  return file;
}

DumpFile::~DumpFile() {
  if (m_stream != nullptr) fclose(m_stream);
}

bool DumpFile::Create(EvDebug& debug, const char* tag, const std::string& path) {
  m_name = path;
  m_stream = CreateDumpFile(m_name);
  if (m_stream == nullptr) {
    const int err = errno;
    debug.DebugLvl(tag, -1, "Error :: Cannot create the dump file [%s]", m_name.c_str());
    if (err == EEXIST)
      debug.DebugLvl(tag, -1, "Error :: A file already exists at the dump file's name [%s]; it is "
                              "left untouched",
                     m_name.c_str());
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

bool DumpFile::Write(EvDebug& debug, const char* tag, const void* data, size_t size) {
  if (m_failed || m_stream == nullptr) return false;
  errno = 0;
  if (fwrite_unlocked(data, 1, size, m_stream) == size) return true;
  const int err = errno;
  m_failed = true;
  debug.DebugLvl(tag, -1, "Error :: Failed to write the dump file [%s], error=%s", m_name.c_str(),
                 err != 0 ? strerror(err) : "short write");
  return false;
}

bool DumpFile::Close(EvDebug& debug, const char* tag) {
  if (m_stream == nullptr) return false;
  FILE* stream = m_stream;
  m_stream = nullptr;
  errno = 0;
  const bool flushed = fflush(stream) == 0 && !ferror(stream);
  const int flushErrno = errno;
  errno = 0;
  const bool closed = fclose(stream) == 0;
  const int closeErrno = errno;
  m_buffer.reset();
  if (m_failed) return false;
  if (!flushed || !closed) {
    const int err = !flushed ? flushErrno : closeErrno;
    m_failed = true;
    debug.DebugLvl(tag, -1, "Error :: Failed to write the dump file [%s], error=%s", m_name.c_str(),
                   err != 0 ? strerror(err) : "short write");
    return false;
  }
  return true;
}

}  // namespace tzrecon
