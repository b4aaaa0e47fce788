// The volume folder the disk walk is listing: held open so that the walk
// opens its trailers relative to it rather than by their whole paths; its
// listing, which the read-ahead window reads ahead of the walk; and the
// window itself, for as long as the listing lasts. Not installed and not
// exported.
#pragma once

#include <cstddef>
#include <string>

#include "FolderListing.h"

namespace tzrecon {

class ReadAhead;

class VolumeFolder {
 public:
  // `path` ends in "/". When the folder cannot be opened, trailers are
  // opened by their whole paths and the window stays out. `window` may be
  // null (a walk started outside Dump).
  VolumeFolder(const std::string& path, ReadAhead* window, bool singleInstanced);
  // Stops the window (its requests in flight name this folder) and closes
  // the folder.
  ~VolumeFolder();
  VolumeFolder(const VolumeFolder&) = delete;
  VolumeFolder& operator=(const VolumeFolder&) = delete;

  // The folder's listing of chunk entries, opened by the walk.
  FolderListing& Listing() { return m_listing; }
  // The walk is about to take the listing's next entry and make its calls.
  void At();

  // Opens a trailer for reading (relative to the folder when `trailerPath`
  // names a file directly in it). Returns -1 with errno set.
  int OpenTrailer(const std::string& trailerPath) const;

  // Reads the first `length` bytes of the trailer open at `fd`, with the
  // result of ReadUpTo. While the window is idle the first read takes only
  // what the page cache holds; when that would have waited, the window
  // hears of it (enough such reads in a row engage it) and the read is made
  // again, waiting.
  long ReadTrailer(int fd, void* buffer, size_t length);

 private:
  int m_fd = -1;
  std::string m_path;
  ReadAhead* m_window = nullptr;
  FolderListing m_listing;  // destroyed after the window has stopped
};

}  // namespace tzrecon
