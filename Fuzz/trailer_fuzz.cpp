// The chunk map trailer: SplitTrailerRecord and VerifyTrailerRecords on
// arbitrary bytes.
//
// Input: the volume id and the chunk id (4 bytes each, little-endian), then
// the trailer bytes (up to 2040). Checked:
//  - every record the splitter returns lies inside the bytes, its name is at
//    most 63 bytes without a blank, its value at most 4095 bytes without a
//    line feed, and each split moves forward;
//  - the verification, on exactly the bytes given and on the reader's view
//    (the first 1024 bytes in a 1025-byte buffer), logs one level -1 line
//    when it says no and none when it says yes;
//  - the records a trailer writer puts first ("VolumeId <v>\nChunkId <c>\n",
//    in either order) followed by any padding without a blank verify for
//    those ids and fail for others.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "FuzzSupport.h"
#include "LibraryLayout.h"
#include "TrailerFormat.h"

namespace {

int g_logFd = -1;
EvDebug* g_debug = nullptr;

// The log goes to an in-memory file whose size tells how much was written.
off_t LogSize() {
  struct stat st;
  FUZZ_CHECK(fstat(g_logFd, &st) == 0);
  return st.st_size;
}

// Lines logged since `before`; every one must be a level -1 line.
int LinesSince(off_t before) {
  const off_t after = LogSize();
  if (after == before) return 0;
  std::string text(static_cast<size_t>(after - before), '\0');
  FUZZ_CHECK(pread(g_logFd, text.data(), text.size(), before) ==
             static_cast<ssize_t>(text.size()));
  int lines = 0;
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    FUZZ_CHECK(end != std::string::npos);
    const std::string line = text.substr(at, end - at);
    FUZZ_CHECK(line.find(" -1 ChunkListHelper::GetVolumeAndChunkIdFromCMT ") != std::string::npos);
    ++lines;
    at = end + 1;
  }
  return lines;
}

bool Verify(char* data, size_t size, int32_t volumeId, int32_t chunkId) {
  const off_t before = LogSize();
  const bool ok = tzrecon::VerifyTrailerRecords(data, size, volumeId, chunkId, *g_debug,
                                                "/mp/V_1/CHUNKMAP_TRAILER_1");
  FUZZ_CHECK(LinesSince(before) == (ok ? 0 : 1));
  if (before > (1 << 20)) FUZZ_CHECK(ftruncate(g_logFd, 0) == 0);
  return ok;
}

void CheckSplits(const std::string& bytes) {
  std::unique_ptr<char[]> copy(new char[bytes.size() + 1]);
  char* const begin = copy.get();
  char* const end = begin + bytes.size();
  std::memcpy(begin, bytes.data(), bytes.size());
  char* cursor = begin;
  for (;;) {
    char* const start = cursor;
    char* name = nullptr;
    char* value = nullptr;
    if (tzrecon::SplitTrailerRecord(cursor, name, value, end) != 0) {
      FUZZ_CHECK(cursor >= start && cursor <= end);
      break;
    }
    FUZZ_CHECK(name == start);
    FUZZ_CHECK(name < value && value <= cursor && cursor <= end);
    const size_t nameLength = static_cast<size_t>(value - 1 - name);
    const size_t valueLength = static_cast<size_t>(cursor - 1 - value);
    FUZZ_CHECK(nameLength <= 63 && valueLength <= 4095);
    FUZZ_CHECK(value[-1] == '\0' && cursor[-1] == '\0');
    FUZZ_CHECK(bytes[nameLength + static_cast<size_t>(start - begin)] == ' ');
    FUZZ_CHECK(std::memchr(name, ' ', nameLength) == nullptr);
    FUZZ_CHECK(std::memchr(value, '\n', valueLength) == nullptr);
    FUZZ_CHECK(bytes[static_cast<size_t>(cursor - 1 - begin)] == '\n');
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_logFd = memfd_create("tzrecon-fuzz-log", MFD_CLOEXEC);
  FUZZ_CHECK(g_logFd >= 0);
  setenv("TZRECON_LOG", ("/proc/self/fd/" + std::to_string(g_logFd)).c_str(), 1);
  setenv("TZRECON_LOG_LEVEL", "-1", 1);
  g_debug = new EvDebug(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) return 0;
  tzfuzz::Input input(data, size);
  const int32_t volumeId = static_cast<int32_t>(input.U32());
  const int32_t chunkId = static_cast<int32_t>(input.U32());
  const std::string bytes = input.Rest();

  CheckSplits(bytes);

  // Exactly the bytes given, in a buffer of their size.
  {
    std::vector<char> exact(bytes.begin(), bytes.end());
    Verify(exact.data(), exact.size(), volumeId, chunkId);
  }
  // The reader's view: 1024 bytes read into a 1025-byte buffer, terminated.
  if (bytes.size() >= tzrecon::kTrailerReadSize) {
    std::unique_ptr<char[]> buffer(new char[tzrecon::kTrailerReadSize + 1]);
    std::memcpy(buffer.get(), bytes.data(), tzrecon::kTrailerReadSize);
    buffer[tzrecon::kTrailerReadSize] = '\0';
    Verify(buffer.get(), tzrecon::kTrailerReadSize, volumeId, chunkId);
  }

  // A writer's trailer: the two records, then padding with no blank.
  std::string padding = bytes;
  for (char& c : padding)
    if (c == ' ') c = '#';
  const std::string v = "VolumeId " + std::to_string(volumeId) + "\n";
  const std::string c = "ChunkId " + std::to_string(chunkId) + "\n";
  for (const bool volumeFirst : {true, false}) {
    std::string trailer = (volumeFirst ? v + c : c + v) + padding;
    trailer.resize(tzrecon::kTrailerReadSize, '\0');
    std::vector<char> copy(trailer.begin(), trailer.end());
    FUZZ_CHECK(Verify(copy.data(), copy.size(), volumeId, chunkId));
    copy.assign(trailer.begin(), trailer.end());
    FUZZ_CHECK(!Verify(copy.data(), copy.size(), volumeId ^ 1, chunkId));
    copy.assign(trailer.begin(), trailer.end());
    FUZZ_CHECK(!Verify(copy.data(), copy.size(), volumeId, chunkId ^ 0x100));
  }
  return 0;
}
