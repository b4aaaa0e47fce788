// The walk of a mount path, written once for both kinds of mount path: the
// volumes of the copy, their single-instance markers and media labels, the
// chunks of each volume, and a row for every chunk that passes its checks.
// It asks its store four questions (StoreSeam.h); what the disk and the
// cloud walk do differently sits in one table per store (WalkRules). Both
// listers' methods are faces over it. Not installed and not exported.
#pragma once

#include <cstdint>
#include <string>

#include "StoreSeam.h"
#include "TzLibVolReconChunkListHelper.h"

class EvDebug;

namespace tzrecon {

class DumpFile;

// Everything that differs between the disk and the cloud walk.
struct WalkRules {
  // Volume folders: which entries of the mount path's listing count, and
  // the line for an entry whose name is no volume's (null: never checked).
  bool volumesAreFoldersOnly;
  const char* notAVolume;
  // A label or trailer that the store failed to read (as opposed to one
  // that is absent): the line naming it, "[%s], error=%s".
  const char* readFailed;
  // A volume's chunk listing that cannot be opened.
  const char* chunkListingFailed;
  // Chunk entries: which count, and the line for a name that is no chunk's
  // (null: never checked).
  bool chunksAreFilesOnly;
  const char* notAChunk;
  // A single-instanced volume: its chunk folders are walked for their
  // metadata files, or the copy is refused ("Dedupe Not Supported").
  bool walksChunkFolders;
  // Whether a chunk's row waits for its chunk map trailer to agree.
  bool checksTrailers;
  // The tag of the chunk listing's lines and of OnChunk's.
  const char* chunksTag;
  const char* chunkTag;
};

extern const WalkRules kDiskRules;
extern const WalkRules kCloudRules;

// What the walk shares with the lister that runs it: the lister's own
// members, so that its public methods and the walk see the same state.
struct WalkState {
  EvDebug& debug;
  const std::string& mountPath;
  int mountPathId;
  MountPathTraverseMode traverseMode;
  DumpFile*& dump;  // the dump being written (with its stream), while Dump runs
  bool& isSIVolume;
};

class Walk {
 public:
  // How a check of a volume's label or a chunk's trailer came out: passed,
  // left out (absent or unreadable by its nature), or failed with the
  // system or the store (the walk stops: a dump without the entry would
  // look complete).
  enum class Check { kPass, kLeftOut, kFailing };

  Walk(const WalkRules& rules, WalkStore& store, WalkState state)
      : m_rules(rules), m_store(store), m_state(state) {}

  bool Volumes(std::string mountPath, unsigned int copyId);
  bool ChunkFolders(std::string volumePath);
  bool ChunkFolderFiles(std::string chunkFolderPath);
  bool Chunk(const std::string& chunkPath);

  bool HasMarker(std::string volumePath);
  Check Label(const std::string& volumePath, unsigned int copyId);
  Check Trailer(const std::string& trailerPath, int volumeId, int chunkId);
  uint64_t Size(const std::string& path);

 private:
  enum class Marker { kPresent, kAbsent, kFailed };
  Marker CheckMarker(const std::string& volumePath);
  bool Volume(const std::string& volumePath, unsigned int copyId);
  bool ChunkEntry(const std::string& volumePath, const char* name, EntryKind kind);
  bool ListingEnded(WalkStore::Listed listed, const char* tag, const std::string& folder,
                    const std::string& error);
  // Logs why a read of `path` failed and says whether the walk must stop.
  Check Unreadable(const char* tag, const std::string& path, const StoreAnswer& answer);

  const WalkRules& m_rules;
  WalkStore& m_store;
  WalkState m_state;
  bool m_stop = false;  // a chunk failed in a way that stops every walk
  std::string m_entryPath;    // the path of the chunk entry being handled
  std::string m_trailerPath;  // the path of its trailer
};

}  // namespace tzrecon
