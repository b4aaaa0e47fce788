// The chunk-lister dump file: its name, its stream and the stream's buffer,
// owned together so that the stream is always closed before its buffer is
// freed, whichever way the walk that writes it ends. Its text is in
// DumpFormat.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "DumpFormat.h"

class EvDebug;

namespace tzrecon {

// The dump is written unnamed and published at its name only when the walk
// has ended, successful or not: a process that dies while it dumps leaves
// nothing at a dump's name, so no reader can take a cut-off dump for one
// that ended. The file is an O_TMPFILE in the dump folder; where the folder's
// file system refuses that, a hidden file beside the name
// (".ChunkLister_....csv.partial") stands in for it. Either is linked at the
// name, which never replaces a file that is there.
class DumpFile {
 public:
  DumpFile() = default;
  // Closes a stream that is still open (a walk left by an exception) without
  // reporting or publishing: whoever stopped the walk reports the failure.
  ~DumpFile();
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  // Creates the unnamed file and writes the header line. Logs under `tag`
  // and returns false when a file is already at `path` (an earlier dump of
  // the same second, a running one, a symbolic link: it is left untouched),
  // or the file cannot be created or the header written.
  bool Create(EvDebug& debug, const char* tag, const std::string& path);

  // Appends one row. A failed write is logged once, with that write's error,
  // and fails every later write and the close.
  bool WriteRow(EvDebug& debug, const char* tag, int32_t mountPathId, int32_t volumeId,
                int32_t chunkId, uint64_t size, bool singleInstanced);

  // Flushes the stream, writes the file and the folder through to the disk,
  // links the file at its name and closes it. False when rows could not be
  // written (a full disk, a file size limit) or the file could not be
  // published (a file appeared at the name meanwhile); logged here unless a
  // row write already reported it. A file whose rows failed is still
  // published: it holds the rows written before the failure.
  bool Close(EvDebug& debug, const char* tag);

  FILE* Stream() const { return m_stream; }
  const std::string& Name() const { return m_name; }
  // Where the rows are written until the file is published: empty for an
  // unnamed file.
  const std::string& HiddenName() const { return m_hidden; }

 private:
  int CreateUnnamed(EvDebug& debug, const char* tag);
  bool Write(EvDebug& debug, const char* tag, const void* data, size_t size);
  bool Sync(EvDebug& debug, const char* tag, int fd);
  bool Publish(EvDebug& debug, const char* tag, int fd);
  void ReportWriteFailure(EvDebug& debug, const char* tag, int error);

  std::string m_name;
  std::string m_folder;  // the dump folder, "." when the name has none
  std::string m_hidden;  // the stand-in file's name, when the folder takes no unnamed one
  FILE* m_stream = nullptr;
  std::unique_ptr<char[]> m_buffer;  // freed after m_stream is closed
  bool m_failed = false;             // a write failed and was reported
};

}  // namespace tzrecon
