#include "VolumeFolder.h"

#include <fcntl.h>

#include "ReadAhead.h"
#include "SystemCalls.h"

namespace tzrecon {

VolumeFolder::VolumeFolder(const std::string& path, ReadAhead* window, bool singleInstanced)
    : m_fd(OpenFolder(AT_FDCWD, path.c_str(), /*pathOnly=*/true)), m_path(path) {
  if (m_fd >= 0 && window != nullptr) {
    m_window = window;
    m_window->Start(m_fd, singleInstanced, m_listing);
  }
}

VolumeFolder::~VolumeFolder() {
  if (m_window != nullptr) m_window->Stop();
  if (m_fd >= 0) CloseFile(m_fd);
}

void VolumeFolder::At() {
  if (m_window != nullptr) m_window->At();
}

int VolumeFolder::OpenTrailer(const std::string& trailerPath) const {
  const size_t folderLength = m_path.size();
  const bool inFolder = m_fd >= 0 && trailerPath.size() > folderLength &&
                        trailerPath.compare(0, folderLength, m_path) == 0 &&
                        trailerPath.find('/', folderLength) == std::string::npos;
  return inFolder ? OpenForReadingAt(m_fd, trailerPath.c_str() + folderLength)
                  : OpenForReading(trailerPath.c_str());
}

long VolumeFolder::ReadTrailer(int fd, void* buffer, size_t length) {
  if (m_window == nullptr || !m_window->Probing()) return ReadUpTo(fd, buffer, length);
  const long got = ReadUpToFromCache(fd, buffer, length);
  if (got == kWouldWait) {
    m_window->ReadWouldWait();
  } else if (got == kCannotTell) {
    // A regular file that cannot tell is on a file system that cannot; not
    // so a FIFO or a folder in a trailer's place.
    if (IsRegularFile(fd)) m_window->ReadCannotTell();
  } else {
    m_window->ReadFromCache();
    return got;
  }
  return ReadUpTo(fd, buffer, length);
}

}  // namespace tzrecon
