// The chunk-lister dump file: its name, its stream and the stream's buffer,
// owned together so that the stream is always closed before its buffer is
// freed, whichever way the walk that writes it ends.
//
//   MountPath-ID , Volume-ID , Chunk-ID , Chunk-Size , SIVolume\r\n
//   <mount path id>, <volume id>, <chunk id>, <size>, <0|1>\r\n   (one a chunk)
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class EvDebug;

namespace tzrecon {

extern const char kDumpHeader[];  // 61 bytes, CR LF included
constexpr size_t kDumpHeaderSize = 61;

// Formats "%d, %d, %d, %llu, %d\r\n" into `out` (at least kMaxRowSize bytes)
// and returns its length.
constexpr size_t kMaxRowSize = 96;
size_t FormatRow(char* out, int32_t mountPathId, int32_t volumeId, int32_t chunkId,
                 uint64_t size, bool singleInstanced);

// Creates the dump file for writing. The file must not exist yet: the name
// has one-second resolution, so an existing file is an earlier or a running
// dump of the same copy and mount path, and is never truncated or written
// to. A symbolic link at the name is not followed. Returns null with errno
// set on failure.
FILE* CreateDumpFile(const std::string& path);

class DumpFile {
 public:
  DumpFile() = default;
  // Closes a stream that is still open (a walk left by an exception) without
  // reporting: whoever stopped the walk reports the failure.
  ~DumpFile();
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  // Creates the file and writes the header line. Logs under `tag` and
  // returns false when the file cannot be created or the header written;
  // a file created stays on disk.
  bool Create(EvDebug& debug, const char* tag, const std::string& path);

  // Appends one row. A failed write is logged once, with that write's error,
  // and fails every later write and the close.
  bool WriteRow(EvDebug& debug, const char* tag, int32_t mountPathId, int32_t volumeId,
                int32_t chunkId, uint64_t size, bool singleInstanced);

  // Flushes and closes the stream. False when rows could not be written (a
  // full disk, a file size limit); logged here unless a row write already
  // reported it.
  bool Close(EvDebug& debug, const char* tag);

  FILE* Stream() const { return m_stream; }
  const std::string& Name() const { return m_name; }

 private:
  bool Write(EvDebug& debug, const char* tag, const void* data, size_t size);

  std::string m_name;
  FILE* m_stream = nullptr;
  std::unique_ptr<char[]> m_buffer;  // freed after m_stream is closed
  bool m_failed = false;             // a write failed and was reported
};

}  // namespace tzrecon
