// The output file of tzrecon diff: always a new one (created with O_EXCL,
// never one of the inputs nor any file that exists), removed again when the
// diff fails or a stop signal ends it (Signals.h).
#pragma once

#include <string>

namespace tzcli {

// The first line of the output: the diff writes it, tzrecon report knows a
// difference file by it.
inline constexpr char kDiffOutputHeader[] =
    "Change,Volume-ID,Chunk-ID,Old-Size,New-Size,Old-SIVolume,New-SIVolume\n";

class OutputFile {
 public:
  ~OutputFile() { Discard(); }
  // Refuses FILE when it is one of `inputs` or exists at all.
  bool Create(const std::string& path, const std::string inputs[2], std::string* error);
  int fd() const { return m_fd; }
  // Closes the file, which is kept; false with `*error` set (and the file
  // removed) when closing fails.
  bool Commit(std::string* error);
  // Removes the file this run created, unless another has taken its name.
  void Discard();

 private:
  bool StillOurs() const;

  std::string m_path;
  int m_fd = -1;
};

}  // namespace tzcli
