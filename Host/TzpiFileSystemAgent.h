// Host mount path configuration.
#pragma once

#include <string>

#include "TzHostExport.h"

// The mount path type that marks a mount path in cloud storage; every other
// value is a disk mount path.
enum { MOUNT_PATH_TYPE_DISK = 4, MOUNT_PATH_TYPE_CLOUD = 7 };

class TZHOST_API TZPI_FileSystemAgent {
 public:
  TZPI_FileSystemAgent();
  ~TZPI_FileSystemAgent();
  TZPI_FileSystemAgent(const TZPI_FileSystemAgent&) = delete;
  TZPI_FileSystemAgent& operator=(const TZPI_FileSystemAgent&) = delete;

  // Looks up a mount path by id. Returns 1 when it was found and the outputs
  // are filled; any other value is a failure and leaves them alone.
  //   mountPathRoot  the folder (or cloud path) that holds the volume folders
  //   userName, password  cloud credentials (empty for a disk mount path)
  //   mountPathType  MOUNT_PATH_TYPE_CLOUD for cloud storage
  //   serverType     the cloud server type
  //   reserved1, reserved2, reservedText  not used by the callers
  int getMagneticMountPathInfo(int mountPathId, int infoKind,
                               std::string& mountPathRoot,
                               std::string& userName, std::string& password,
                               int& mountPathType, int& serverType,
                               int& reserved1, int& reserved2,
                               std::string& reservedText);
};
