#include "FolderListing.h"

#include <dirent.h>

#include <new>
#include <utility>

namespace tzrecon {

namespace {

EntryKind KindOf(unsigned char type) {
  return type == DT_DIR ? EntryKind::kFolder : type == DT_REG ? EntryKind::kFile : EntryKind::kUnknown;
}

}  // namespace

bool FolderListing::Open(const std::string& folder, const char* prefix, std::string& error) {
  const CJwError status = m_directory.Open(folder.c_str(), (std::string(prefix) + "*").c_str(), true);
  if (status.IsError()) {
    error = status.AsString();
    return false;
  }
  m_open = true;
  return true;
}

bool FolderListing::ReadFromHost(SJwDirEntry& entry) {
  if (!m_open || m_ended || m_failed) return false;
  bool end = false;
  const CJwError status = m_directory.GetEntry(&entry, end);
  if (status.IsError()) {
    m_failed = true;
    m_error = status.AsString();
    return false;
  }
  m_ended = end;
  return !end;
}

FolderListing::Step FolderListing::Next(const char*& name, EntryKind& kind, std::string& error) {
  if (m_count > 0) {
    std::swap(m_taken, m_held[m_first]);
    m_first = (m_first + 1) % kMostAhead;
    --m_count;
    name = m_taken.name.c_str();
    kind = m_taken.kind;
    return Step::kEntry;
  }
  if (m_entryHeldBack) std::swap(m_walkEntry, m_entry);
  if (m_entryHeldBack || ReadFromHost(m_walkEntry)) {
    m_entryHeldBack = false;
    name = m_walkEntry.name.c_str();
    kind = KindOf(m_walkEntry.type);
    return Step::kEntry;
  }
  if (!m_failed) return Step::kEnded;
  error = m_error;
  return Step::kBrokeOff;
}

// Reading ahead only warms caches, so it must not fail the walk: when
// memory for a name runs out, the entry read from the host waits in
// m_entry for the walk, and the window reads no further.
const char* FolderListing::ReadAhead() {
  if (m_count == kMostAhead || m_entryHeldBack) return nullptr;
  if (!m_held) m_held.reset(new (std::nothrow) Held[kMostAhead]);
  if (!m_held || !ReadFromHost(m_entry)) return nullptr;
  Held& held = m_held[(m_first + m_count) % kMostAhead];
  try {
    held.name.assign(m_entry.name.c_str(), m_entry.name.length());
  } catch (const std::bad_alloc&) {
    m_entryHeldBack = true;
    return nullptr;
  }
  held.kind = KindOf(m_entry.type);
  ++m_count;
  return held.name.c_str();
}

}  // namespace tzrecon
