#include "WalkStores.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "CloudFS.h"
#include "EvDebug.h"
#include "FolderListing.h"
#include "JwFile.h"
#include "LibraryLayout.h"
#include "ReadFailure.h"
#include "SystemCalls.h"

namespace tzrecon {

namespace {

// An answer from an error value of the host's or the cloud component's,
// which tells only absence from everything else.
StoreAnswer FromHostError(const CJwError& error, bool opened = true) {
  StoreAnswer answer;
  answer.opened = opened;
  if (!error.IsError()) return answer;
  answer.outcome =
      ClassifyHostError(error) == ReadFailure::kLeftOut ? StoreAnswer::kAbsent : StoreAnswer::kFailed;
  answer.error = error.AsString();
  return answer;
}

// An answer from an errno of the disk walk's own opens and reads.
StoreAnswer FromErrno(int error, bool opened) {
  StoreAnswer answer;
  answer.opened = opened;
  answer.outcome =
      ClassifyErrno(error) == ReadFailure::kLeftOut ? StoreAnswer::kAbsent : StoreAnswer::kFailed;
  char text[128];
  answer.error = strerror_r(error, text, sizeof text);
  answer.error += " (errno " + std::to_string(error) + ")";
  return answer;
}

}  // namespace

// ---------------------------------------------------------------------------
// The disk store.

// The chunk listing of the volume folder the walk entered goes through the
// folder, whose window reads ahead of the walk from it; every other listing
// is the host's alone.
WalkStore::Listed DiskWalkStore::List(const std::string& folder, const char* prefix,
                                      const Visit& visit, std::string& error) {
  std::string path = folder;
  EnsureTrailingSlash(path);
  const bool chunks = m_folder && m_chunksToList;
  m_chunksToList = false;
  FolderListing own;
  FolderListing& listing = chunks ? m_folder->Listing() : own;
  if (!listing.Open(path, prefix, error)) return Listed::kOpenFailed;
  const char* name = nullptr;
  EntryKind kind = EntryKind::kUnknown;
  for (;;) {
    // An engaged window reads ahead before the walk takes its next entry,
    // the first one included.
    if (chunks) m_folder->At();
    switch (listing.Next(name, kind, error)) {
      case FolderListing::Step::kEnded:
        return Listed::kEnded;
      case FolderListing::Step::kBrokeOff:
        return Listed::kBrokeOff;
      case FolderListing::Step::kEntry:
        break;
    }
    if (!visit(name, kind)) return Listed::kStopped;
  }
}

StoreAnswer DiskWalkStore::Exists(const std::string& path) {
  struct stat status;
  return FromHostError(CJwFile::Stat(path.c_str(), status));
}

StoreAnswer DiskWalkStore::Read(const std::string& path, char* buffer, size_t length,
                                size_t& got) {
  got = 0;
  const int fd = m_folder ? m_folder->OpenTrailer(path) : OpenForReading(path.c_str());
  if (fd < 0) return FromErrno(errno, false);
  const long read = m_folder ? m_folder->ReadTrailer(fd, buffer, length)
                             : ReadUpTo(fd, buffer, length);
  StoreAnswer answer;
  if (read < 0) {
    answer = FromErrno(errno, true);
    // What is not a regular file (a FIFO, a device, a folder) is unreadable
    // by its nature, whatever its read reported.
    if (!IsRegularFile(fd)) answer.outcome = StoreAnswer::kAbsent;
  } else {
    got = static_cast<size_t>(read);
  }
  CloseFile(fd);
  return answer;
}

StoreAnswer DiskWalkStore::Size(const std::string& path, uint64_t& size) {
  struct stat status;
  std::memset(&status, 0, sizeof status);
  const StoreAnswer answer = FromHostError(CJwFile::Stat(path.c_str(), status));
  size = static_cast<uint64_t>(status.st_size);
  return answer;
}

void DiskWalkStore::EnterChunkFolder(const std::string& volumePath, bool singleInstanced) {
  m_folder.emplace(volumePath, m_window, singleInstanced);
  m_chunksToList = true;
}

// ---------------------------------------------------------------------------
// The cloud store.

namespace {

// Asked of a component that is not open: no answer but a failure.
StoreAnswer NotReady() {
  StoreAnswer answer;
  answer.outcome = StoreAnswer::kFailed;
  answer.error = "the cloud file system is not open";
  return answer;
}

}  // namespace

bool CloudWalkStore::Ready(EvDebug& debug, const char* tag) {
  if (m_ready) return true;
  debug.DebugLvl(tag, -1, "Error :: CloudChunkListHelper is not initialized");
  return false;
}

WalkStore::Listed CloudWalkStore::List(const std::string& folder, const char*,
                                       const Visit& visit, std::string& error) {
  if (!m_ready) {
    error = NotReady().error;
    return Listed::kOpenFailed;
  }
  std::vector<std::string> fileNames, folderNames;
  // The listing is asked for with the path exactly as received.
  const CJwError status = m_cloudFS->ListDirectory(folder, fileNames, folderNames);
  if (status.IsError()) {
    error = status.AsString();
    return Listed::kOpenFailed;
  }
  for (const std::string& name : folderNames)
    if (!visit(name.c_str(), EntryKind::kFolder)) return Listed::kStopped;
  for (const std::string& name : fileNames)
    if (!visit(name.c_str(), EntryKind::kFile)) return Listed::kStopped;
  return Listed::kEnded;
}

StoreAnswer CloudWalkStore::Exists(const std::string& path) {
  if (!m_ready) return NotReady();
  bool exists = false;
  StoreAnswer answer = FromHostError(m_cloudFS->FileExists(path, exists));
  if (answer.outcome == StoreAnswer::kOk && !exists) answer.outcome = StoreAnswer::kAbsent;
  return answer;
}

StoreAnswer CloudWalkStore::Read(const std::string& path, char* buffer, size_t length,
                                 size_t& got) {
  got = 0;
  if (!m_ready) return NotReady();
  const CJwError opened = m_files->Open(path, 0, 256, 0);
  if (opened.IsError()) return FromHostError(opened, false);
  int count = 0;
  const CJwError read = m_files->Read(buffer, static_cast<int>(length), count);
  m_files->Close();
  if (count > 0) got = static_cast<size_t>(count);
  return FromHostError(read);
}

StoreAnswer CloudWalkStore::Size(const std::string& path, uint64_t& size) {
  size = 0;
  if (!m_ready) return NotReady();
  struct stat status;
  std::memset(&status, 0, sizeof status);
  const StoreAnswer answer = FromHostError(m_cloudFS->Stat(path, status));
  size = static_cast<uint64_t>(status.st_size);
  return answer;
}

}  // namespace tzrecon
