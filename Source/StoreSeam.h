// The four questions the walk asks of the store that holds a mount path:
// list a folder, does an entry exist, read a file's first bytes, a file's
// size. Every answer tells an absent entry apart from a store that failed.
// The disk store answers them through the host's directory and file
// services and the platform's reads (DiskStore.h), the cloud store through
// the host's cloud file-system component (CloudStore.h). Not installed and
// not exported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class EvDebug;

namespace tzrecon {

enum class EntryKind { kFile, kFolder, kUnknown };

struct StoreAnswer {
  enum Outcome {
    kOk,
    kAbsent,  // absent, or unreadable by its nature: the entry is left out
    kFailed,  // the store, the process or the system failed
  };
  Outcome outcome = kOk;
  bool opened = true;  // for a read: false when the file could not be opened
  std::string error;   // the store's description of a failure
};

class WalkStore {
 public:
  virtual ~WalkStore() = default;

  // Whether the store can answer at all; logs under `tag` when it cannot.
  virtual bool Ready(EvDebug& /*debug*/, const char* /*tag*/) { return true; }

  enum class Listed { kEnded, kStopped, kOpenFailed, kBrokeOff };
  using Visit = std::function<bool(const char* name, EntryKind kind)>;
  // Lists `folder` (as the walk received it), calling `visit` for each
  // entry, in the store's order, until it returns false (kStopped). Entries
  // whose names do not begin with `prefix` may be left out. `error` holds
  // the store's description when the listing cannot be opened or breaks
  // off.
  virtual Listed List(const std::string& folder, const char* prefix, const Visit& visit,
                      std::string& error) = 0;
  // kOk when an entry is at `path`, kAbsent when none is.
  virtual StoreAnswer Exists(const std::string& path) = 0;
  // Reads the first `length` bytes of the file at `path`; `got` tells how
  // many came (fewer: a short file).
  virtual StoreAnswer Read(const std::string& path, char* buffer, size_t length, size_t& got) = 0;
  virtual StoreAnswer Size(const std::string& path, uint64_t& size) = 0;

  // The walk is about to list the chunks of a volume folder, or has left
  // it. A store that works ahead of the walk hears of it here.
  virtual void EnterChunkFolder(const std::string& /*volumePath*/, bool /*singleInstanced*/) {}
  virtual void LeaveChunkFolder() {}
};

}  // namespace tzrecon
