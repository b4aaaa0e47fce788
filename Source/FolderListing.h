// A folder's listing as the disk walk reads it: through the host's
// directory service, each entry once, in the host's order. The read-ahead
// window reads entries ahead of the walk from the same listing and leaves
// them here, in that order, until the walk takes them; so the window warms
// the very entries the walk comes to next, whatever order the host lists
// them in. Not installed and not exported.
#pragma once

#include <memory>
#include <string>

#include "JwFile.h"
#include "StoreSeam.h"

namespace tzrecon {

class FolderListing {
 public:
  // Entries the window may read ahead of the walk at most.
  static constexpr unsigned kMostAhead = 128;

  FolderListing() = default;
  ~FolderListing() { m_directory.Close(); }
  FolderListing(const FolderListing&) = delete;
  FolderListing& operator=(const FolderListing&) = delete;

  // Opens the listing of `folder` (ending in "/") for the names that begin
  // with `prefix`. False with `error` set when it cannot be opened.
  bool Open(const std::string& folder, const char* prefix, std::string& error);

  enum class Step { kEntry, kEnded, kBrokeOff };
  // The walk's next entry: the oldest one read ahead, else the host's next.
  // `name` stays valid until the next call. After the last entry, kEnded;
  // after the entries read before the host failed, kBrokeOff with `error`.
  Step Next(const char*& name, EntryKind& kind, std::string& error);

  // The window reads one more entry ahead of the walk. Null at the end of
  // the listing, when the host failed (the walk hears of it once it has
  // taken the entries before), when kMostAhead are held, or when the
  // listing is not open.
  const char* ReadAhead();
  // Entries read ahead that the walk has not taken yet.
  unsigned Ahead() const { return m_count; }

 private:
  // Reads the host's next entry into `entry`; false at the end or on a
  // failure, which is remembered.
  bool ReadFromHost(SJwDirEntry& entry);

  CJwDirectory m_directory;
  bool m_open = false;
  bool m_ended = false;
  bool m_failed = false;
  std::string m_error;
  // The entry the walk took straight from the host, kept while it works on
  // it; and the one the window read last.
  SJwDirEntry m_walkEntry;
  SJwDirEntry m_entry;
  // m_entry was read ahead but could not be held: it is the walk's next
  // entry once the ring is empty.
  bool m_entryHeldBack = false;
  // The entries read ahead, oldest first, in a ring. A name keeps its
  // storage from entry to entry, so reading ahead allocates only while the
  // ring first fills with names longer than a string holds in place.
  struct Held {
    std::string name;
    EntryKind kind = EntryKind::kUnknown;
  };
  std::unique_ptr<Held[]> m_held;  // kMostAhead of them, made when first needed
  unsigned m_first = 0;
  unsigned m_count = 0;
  // The entry the walk took from the ring, kept while it works on it (the
  // window may read another into its place meanwhile).
  Held m_taken;
};

}  // namespace tzrecon
