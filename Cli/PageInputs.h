// The inputs of `tzrecon report`, read as streams: each line is looked at
// once and only per-volume sums (and at most the first chunks of each kind
// of difference) are kept, so a dump or a difference file of any length
// costs memory by its volumes, not by its rows.
//
//   a dump          "MountPath-ID , Volume-ID , ..." then "m, v, c, size, flag"
//   a diff output   "Change,Volume-ID,..." then "kind,v,c,oldSize,newSize,oldFlag,newFlag"
//   a folder        the dumps that `tzrecon dump --all-mount-paths` left in it
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tzcli::page {

// A file read line by line through one large buffer. Lines are given
// without their line end (LF, or CR LF).
class LineReader {
 public:
  LineReader();
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Opens `path` for reading; false with `*error` set ("cannot open: ...",
  // "is a folder").
  bool Open(const std::string& path, std::string* error);
  // The next line into `*line` (valid until the next call); false at the end
  // of the file or on an error (then error() is set). A last line without a
  // line end is an error unless `lastLineMayBeOpen`.
  bool Next(std::string_view* line);
  void SetLastLineMayBeOpen(bool open) { m_lastLineMayBeOpen = open; }
  uint64_t line() const { return m_line; }  // lines given so far
  const std::string& error() const { return m_error; }

 private:
  bool Fill();

  int m_fd = -1;
  std::unique_ptr<char[]> m_buffer;
  size_t m_begin = 0, m_end = 0;
  bool m_eof = false;
  bool m_lastLineMayBeOpen = false;
  uint64_t m_line = 0;
  std::string m_error;
};

// `text` for a message: control bytes escaped as the log escapes them, clipped.
std::string Shown(std::string_view text);

enum class InputType { kDump, kDiff, kFolder };

// What the first line of `path` says it is; false with `*error` set for a
// file that cannot be read, is empty, or starts with another line.
bool Classify(const std::string& path, InputType* type, std::string* error);

// The header line of a difference file, without its line end.
std::string_view DiffHeaderText();

// One dump row.
struct DumpRow {
  int32_t mountPathId = 0, volumeId = 0, chunkId = 0;
  uint64_t size = 0;
  int flag = 0;
};
// Parses one row ("m, v, c, size, flag", as `tzrecon diff` reads them);
// false with `*reason` set.
bool ParseDumpRow(std::string_view line, DumpRow* row, std::string* reason);

// Reads the dump at `path` to its end, calling `onRow` for every row; false
// with `*error` set ("'path' line N: reason: 'text'").
bool ReadDump(const std::string& path, const std::function<void(const DumpRow&)>& onRow,
              std::string* error);

enum DiffKind { kMissing, kNew, kChanged, kDuplicate, kDiffKinds };
const char* DiffKindName(int kind);

// One row of a difference file; a side that is not given is absent.
struct DiffRow {
  DiffKind kind = kMissing;
  int32_t volumeId = 0, chunkId = 0;
  bool hasOld = false, hasNew = false;
  uint64_t oldSize = 0, newSize = 0;
  int oldFlag = 0, newFlag = 0;
};
bool ParseDiffRow(std::string_view line, DiffRow* row, std::string* reason);
bool ReadDiff(const std::string& path, const std::function<void(const DiffRow&)>& onRow,
              std::string* error);

// The dumps of a folder: files named ChunkLister_<copy>_<mount path>_<time>.csv,
// the newest of each copy and mount path (older ones go to `*older`), in
// order of copy and mount path id. False with `*error` set when the folder
// cannot be listed or holds no dump.
bool DumpsOfFolder(const std::string& folder, std::vector<std::string>* dumps,
                   std::vector<std::string>* older, std::string* error);

}  // namespace tzcli::page
