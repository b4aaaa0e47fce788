#include "DiffOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Signals.h"

namespace tzcli {

bool OutputFile::Create(const std::string& path, const std::string inputs[2],
                        std::string* error) {
  struct stat out, in;
  if (stat(path.c_str(), &out) == 0) {
    for (int k = 0; k < 2; ++k)
      if (stat(inputs[k].c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
        *error = "--output '" + path + "' is " + (k == 0 ? "OLD" : "NEW") +
                 ", an input; give a new file name";
        return false;
      }
  }
  m_fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (m_fd < 0) {
    *error = "--output '" + path + "': " +
             (errno == EEXIST ? std::string("exists; give a new file name")
                              : std::string("cannot create: ") + std::strerror(errno));
    return false;
  }
  m_path = path;
  SetDiffOutput(m_path.c_str(), m_fd);  // a stop signal removes it too
  return true;
}

bool OutputFile::Commit(std::string* error) {
  SetDiffOutput(nullptr, -1);
  const bool ours = StillOurs();
  const int fd = m_fd;
  m_fd = -1;
  if (close(fd) != 0) {
    *error = "--output '" + m_path + "': " + std::strerror(errno);
    if (ours) unlink(m_path.c_str());
    return false;
  }
  return true;
}

void OutputFile::Discard() {
  if (m_fd < 0) return;
  SetDiffOutput(nullptr, -1);
  if (StillOurs()) unlink(m_path.c_str());
  close(m_fd);
  m_fd = -1;
}

bool OutputFile::StillOurs() const {
  struct stat mine, there;
  return fstat(m_fd, &mine) == 0 && stat(m_path.c_str(), &there) == 0 &&
         mine.st_dev == there.st_dev && mine.st_ino == there.st_ino;
}

}  // namespace tzcli
