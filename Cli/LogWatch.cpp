#include "LogWatch.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Messages.h"
#include "Text.h"

namespace tzcli {

namespace {

namespace messages = tzrecon::messages;

// The level -1 lines that leave a dump complete, by message form (and by tag
// where one form means two things). A line not listed here is kOther.
struct KnownNotice {
  const char* tag;  // null: any tag
  const char* format;
  NoticeKind kind;
  // A line that only names the path of the notice logged just before it:
  // not counted again.
  bool namesTheLineBefore = false;
};
const KnownNotice kKnownNotices[] = {
    {nullptr, messages::kNotAVolume, NoticeKind::kEntryPassedOver},
    {nullptr, messages::kNotAChunk, NoticeKind::kEntryPassedOver},
    {nullptr, messages::kChunkIdOutOfRange, NoticeKind::kChunkLeftOut},
    {nullptr, messages::kTrailerVolumeIdDiffers, NoticeKind::kChunkLeftOut},
    {nullptr, messages::kTrailerChunkIdDiffers, NoticeKind::kChunkLeftOut},
    {nullptr, messages::kTrailerIdsMissing, NoticeKind::kChunkLeftOut},
    {nullptr, messages::kTrailerShort, NoticeKind::kChunkLeftOut},
    {nullptr, messages::kTrailerLeftOut, NoticeKind::kChunkLeftOut, true},
    {messages::kTrailerTag, messages::kCannotOpenLabel, NoticeKind::kChunkLeftOut},
    {messages::kVerifyVolumeTag, messages::kCannotOpenLabel, NoticeKind::kVolumeSkipped},
    {messages::kVerifyVolumeTag, messages::kCannotReadLabel, NoticeKind::kVolumeSkipped},
    {nullptr, messages::kSizeUnknown, NoticeKind::kSizeUnknown},
};

// The progress lines of the dump that the watch reads (level 2), and the
// failure line of a dump name that another file holds (level -1).
const char* const kMountPathForm = messages::kMountPath;
const char* const kChunkForm = messages::kDumpingChunk;
const char* const kNameTakenForm = messages::kDumpNameTaken;

const KnownNotice* Known(const char* tag, const char* format) {
  for (const KnownNotice& known : kKnownNotices)
    if (std::strcmp(format, known.format) == 0 &&
        (known.tag == nullptr || std::strcmp(tag, known.tag) == 0))
      return &known;
  return nullptr;
}

// "<tag> <message>", with control bytes escaped as the log does.
std::string LineOf(const char* tag, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int length = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  std::string message;
  if (length >= 0 && static_cast<size_t>(length) < sizeof small) {
    message.assign(small, static_cast<size_t>(length));
  } else if (length >= 0) {
    message.resize(static_cast<size_t>(length));
    va_copy(copy, args);
    vsnprintf(message.data(), message.size() + 1, format, copy);
    va_end(copy);
  }
  return EscapeControl(tag) + " " + EscapeControl(message);
}

}  // namespace

std::vector<const char*> ClassifiedForms() {
  std::vector<const char*> forms;
  for (const KnownNotice& known : kKnownNotices)
    if (std::find(forms.begin(), forms.end(), known.format) == forms.end())
      forms.push_back(known.format);
  return forms;
}

const char* KindName(NoticeKind kind, uint64_t count) {
  const bool one = count == 1;
  switch (kind) {
    case NoticeKind::kEntryPassedOver: return one ? "entry passed over" : "entries passed over";
    case NoticeKind::kChunkLeftOut: return one ? "chunk left out" : "chunks left out";
    case NoticeKind::kVolumeSkipped: return one ? "volume skipped" : "volumes skipped";
    case NoticeKind::kSizeUnknown:
      return one ? "chunk written with size 0" : "chunks written with size 0";
    case NoticeKind::kOther: break;
  }
  return one ? "other line" : "other lines";
}

const char* KindKey(NoticeKind kind) {
  switch (kind) {
    case NoticeKind::kEntryPassedOver: return "entryPassedOver";
    case NoticeKind::kChunkLeftOut: return "chunkLeftOut";
    case NoticeKind::kVolumeSkipped: return "volumeSkipped";
    case NoticeKind::kSizeUnknown: return "sizeUnknown";
    case NoticeKind::kOther: break;
  }
  return "other";
}

std::string FormOfMessage(const char* format) {
  std::string form;
  for (const char* p = format; *p != '\0'; ++p) {
    if (*p != '%') {
      form += *p;
      continue;
    }
    if (p[1] == '%') {
      form += '%';
      ++p;
      continue;
    }
    // Flags, width, precision and length, then the conversion letter.
    ++p;
    while (*p != '\0' && std::strchr("-+ #0123456789.*hlLqjzt", *p) != nullptr) ++p;
    form += "...";
    if (*p == '\0') break;
  }
  return form;
}

LogWatch::LogWatch() {
  m_observer.onMessage = &LogWatch::OnMessage;
  m_observer.context = this;
  m_observer.maxLevel = 2;
  tzhost::SetLogObserver(&m_observer);
}

LogWatch::~LogWatch() { tzhost::SetLogObserver(nullptr); }

void LogWatch::OnMessage(void* context, const char* tag, int level, const char* format,
                         va_list args) {
  if (format == nullptr) return;
  if (tag == nullptr) tag = "-";
  LogWatch* self = static_cast<LogWatch*>(context);
  if (level == -1) {
    if (format[0] == 'E' && std::strcmp(format, kNameTakenForm) == 0) self->m_nameTaken = true;
    self->OnFailureLine(tag, format, args);
    return;
  }
  if (level != 2) return;
  // Cheap first-byte tests before the comparisons: this runs once a chunk.
  if (format[0] == 'D' && std::strcmp(format, kChunkForm) == 0) {
    const char* path = va_arg(args, const char*);
    if (path != nullptr) self->OnChunk(path);
  } else if (format[0] == 'M' && std::strcmp(format, kMountPathForm) == 0) {
    const char* path = va_arg(args, const char*);
    self->m_mountPath = path != nullptr ? path : "";
    if (self->m_mountPath.empty() || self->m_mountPath.back() != '/') self->m_mountPath += '/';
    self->m_volume.clear();
  }
}

void LogWatch::OnChunk(const char* path) {
  m_chunks.fetch_add(1, std::memory_order_relaxed);
  // The volume is the name after the mount path: ".../<mount path>/V_3/...".
  const size_t rootLength = m_mountPath.size();
  if (rootLength == 0 || std::strncmp(path, m_mountPath.c_str(), rootLength) != 0) return;
  const char* volume = path + rootLength;
  const char* end = std::strchr(volume, '/');
  const size_t length = end != nullptr ? static_cast<size_t>(end - volume) : std::strlen(volume);
  if (m_volume.size() == length && m_volume.compare(0, length, volume, length) == 0) return;
  m_volume.assign(volume, length);
  m_volumes.fetch_add(1, std::memory_order_relaxed);
  if (m_onVolume) m_onVolume(m_volume, m_chunks.load(std::memory_order_relaxed) - 1);
}

void LogWatch::OnFailureLine(const char* tag, const char* format, va_list args) {
  const auto key = std::make_pair(static_cast<const void*>(tag), static_cast<const void*>(format));
  auto it = m_noticeIndex.find(key);
  if (it == m_noticeIndex.end()) {
    const KnownNotice* known = Known(tag, format);
    if (known != nullptr && known->namesTheLineBefore) return;
    // The same form may come from another literal (another tag, or a
    // message built at run time): group by text as well.
    const NoticeKind kind = known != nullptr ? known->kind : NoticeKind::kOther;
    const std::string text = FormOfMessage(format);
    size_t index = m_notices.size();
    for (size_t i = 0; i < m_notices.size(); ++i)
      if (m_notices[i].kind == kind && m_notices[i].text == text) index = i;
    if (index == m_notices.size()) {
      Notice notice;
      notice.kind = kind;
      notice.text = text;
      notice.example = LineOf(tag, format, args);
      m_notices.push_back(std::move(notice));
    }
    it = m_noticeIndex.emplace(key, index).first;
  }
  Notice& notice = m_notices[it->second];
  ++notice.count;
  if (notice.kind != NoticeKind::kOther) return;
  ++m_otherLineCount;
  m_otherLines.push_back(LineOf(tag, format, args));
  if (m_otherLines.size() > kKeptLines) m_otherLines.pop_front();
}

}  // namespace tzcli
