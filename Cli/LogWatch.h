// What tzrecon learns of a running dump from the host log, through the
// stand-in host's log observer (LogObserver.h): chunks and volumes reached
// so far, for the progress line, and the level -1 lines by kind, for the
// summary. The library is not changed by it and knows nothing of it.
//
// The observer runs on the thread that runs the dump. The progress counters
// are atomics that any thread may read; everything else is read only after
// the dump has returned, on the thread that ran it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "LogObserver.h"

namespace tzcli {

// What a level -1 line of a dump means for the rows.
enum class NoticeKind {
  kEntryPassedOver,  // a name that is not a volume or a chunk
  kChunkLeftOut,     // a chunk whose trailer disagrees, or whose id does not fit a row
  kVolumeSkipped,    // a volume whose media label cannot be read
  kSizeUnknown,      // a chunk written with size 0
  kOther,            // anything else: on a failed dump, the failure itself
};

// The message forms that the watch counts as another kind than kOther (each
// once, the very texts of the library's message catalogue).
std::vector<const char*> ClassifiedForms();

// "entries passed over", or "entry passed over" when `count` is 1.
const char* KindName(NoticeKind kind, uint64_t count);
// The JSON name of a kind: "entryPassedOver", ...
const char* KindKey(NoticeKind kind);

// The level -1 lines of one message form.
struct Notice {
  NoticeKind kind = NoticeKind::kOther;
  std::string text;     // the message form, each value shown as "..."
  std::string example;  // the first such line, as logged (tag and message)
  uint64_t count = 0;
};

class LogWatch {
 public:
  LogWatch();   // installs the observer
  ~LogWatch();  // removes it
  LogWatch(const LogWatch&) = delete;
  LogWatch& operator=(const LogWatch&) = delete;

  // Chunk entries reached, and volumes whose chunks were reached, so far.
  uint64_t Chunks() const { return m_chunks.load(std::memory_order_relaxed); }
  uint64_t Volumes() const { return m_volumes.load(std::memory_order_relaxed); }
  // Calls `onVolume` on the dump's thread each time the walk reaches
  // another volume, with its folder name and the chunks reached before it.
  // Set before the dump runs.
  void OnVolume(std::function<void(const std::string& volume, uint64_t chunksBefore)> onVolume) {
    m_onVolume = std::move(onVolume);
  }

  // After the dump: level -1 lines grouped by form, in order of first
  // appearance.
  const std::vector<Notice>& Notices() const { return m_notices; }
  // After the dump: the last level -1 lines of kind kOther, as logged.
  const std::deque<std::string>& OtherLines() const { return m_otherLines; }
  uint64_t OtherLineCount() const { return m_otherLineCount; }
  // After the dump: whether the library found a file that is not the
  // dump's own at the dump's name (and left it there): that file is
  // another's, never this dump's.
  bool NameTaken() const { return m_nameTaken; }

  static constexpr size_t kKeptLines = 20;

 private:
  static void OnMessage(void* context, const char* tag, int level, const char* format,
                        va_list args);
  void OnFailureLine(const char* tag, const char* format, va_list args);
  void OnChunk(const char* path);

  tzhost::LogObserver m_observer;
  std::atomic<uint64_t> m_chunks{0};
  std::atomic<uint64_t> m_volumes{0};
  std::string m_mountPath;  // with a final "/", once the dump has logged it
  std::string m_volume;     // the name of the volume last reached
  std::function<void(const std::string&, uint64_t)> m_onVolume;
  std::vector<Notice> m_notices;
  // Index into m_notices by the (tag, format) pointers a message came with:
  // the library's literals, so a repeated line costs a map look-up only.
  std::map<std::pair<const void*, const void*>, size_t> m_noticeIndex;
  std::deque<std::string> m_otherLines;
  uint64_t m_otherLineCount = 0;
  bool m_nameTaken = false;
};

// `format` with each conversion ("%s", "%d", "%lld") shown as "...".
std::string FormOfMessage(const char* format);

}  // namespace tzcli
