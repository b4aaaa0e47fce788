// Mount path lookup for the library, answered from the registry.

#include "EvDebug.h"
#include "Registry.h"
#include "TzpiFileSystemAgent.h"

TZPI_FileSystemAgent::TZPI_FileSystemAgent() {}

TZPI_FileSystemAgent::~TZPI_FileSystemAgent() {}

// `infoKind` is 2 at every call and selects nothing here; the reserved
// outputs are left alone.
int TZPI_FileSystemAgent::getMagneticMountPathInfo(
    int mountPathId, int /*infoKind*/, std::string& mountPathRoot,
    std::string& userName, std::string& password, int& mountPathType,
    int& serverType, int& /*reserved1*/, int& /*reserved2*/,
    std::string& /*reservedText*/) {
  tzhost::MountPathEntry entry;
  std::string error;
  if (!tzhost::LookupMountPath(mountPathId, entry, error)) {
    // The reason never holds the password (see Registry.cpp).
    EvDebug log;
    log.DebugLvl("TZPI_FileSystemAgent::getMagneticMountPathInfo", -1,
                 "Cannot look up mount path %d: %s", mountPathId,
                 error.c_str());
    return 0;
  }
  mountPathRoot = entry.path;
  userName = entry.user;
  password = entry.password;
  mountPathType = entry.type;
  serverType = entry.serverType;
  return 1;
}
