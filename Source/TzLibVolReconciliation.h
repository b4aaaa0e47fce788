// The reconciliation library's public interface: the request records and
// TzLibVolReconsiliation, which dispatches the requested dumps.
#pragma once

#include <cstdint>
#include <string>

#include "EvDebug.h"
#include "TzLibVolReconExport.h"

enum {
  DUMP_CHUNK_LISTER = 2,
  DUMP_SIDB_PRIMARY = 4,
  DUMP_SIDB_SECONDARY = 8,
};

// The chunk-lister sub-record. mountPathId and isSingleInstanced are read;
// dumpFileName and dumpFileSize are written.
struct ChunkListInputs {
  int32_t mountPathId = 0;
  bool isSingleInstanced = false;
  std::string dumpFileName;
  int64_t dumpFileSize = 0;
};

// The request record.
struct _TzLibVolReconInputParams {
  uint32_t dumpFlags = 0;                       // DUMP_* bits
  std::string dumpPath;                         // folder for the dump files
  ChunkListInputs* chunkListInputs = nullptr;   // needed for DUMP_CHUNK_LISTER
  uint64_t reserved = 0;                        // neither read nor written
  int32_t copyId = -1;                          // -1: not set
  int32_t cloudHostParam = 0;                   // handed to the cloud lister
};

class TZRECON_API TzLibVolReconsiliation {
 public:
  TzLibVolReconsiliation();
  ~TzLibVolReconsiliation();
  TzLibVolReconsiliation(const TzLibVolReconsiliation&) = delete;
  TzLibVolReconsiliation& operator=(const TzLibVolReconsiliation&) = delete;

  // Runs the dumps that params.dumpFlags selects, in the order chunk lister,
  // SIDB primary, SIDB secondary, and stops at the first that fails.
  bool CreateMultipleDumps(_TzLibVolReconInputParams& params);
  bool GetChunkListerDump(_TzLibVolReconInputParams& params);
  bool GetSIDBPrimaryDump(_TzLibVolReconInputParams& params);
  bool GetSIDBSecondaryDump(_TzLibVolReconInputParams& params);

  unsigned long GetLastError(std::string& text);
  void SetLastError(unsigned long code);

  // The size of the file at `path`, or 0 when its status cannot be read.
  int64_t GetDumpFileSize(std::string path);

 private:
  unsigned long m_lastErrorCode;
  std::string m_lastErrorText;
  EvDebug m_debug;
};

// The host's event object, constructed when the library is loaded.
extern TZRECON_API EvEvent g_Event;
