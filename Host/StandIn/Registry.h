// The stand-in host's mount path registry: a JSON file named by the
// environment variable TZRECON_CONFIG.
//
//   {"mountPaths": [
//     {"id": 3, "path": "/srv/lib/mp3"},
//     {"id": 9, "path": "bucket/lib9", "type": 7, "endpoint": "http://127.0.0.1:4568",
//      "region": "us-east-1", "user": "AKID", "passwordEnv": "LIB9_SECRET",
//      "addressing": "path", "maxRequestsInFlight": 16}]}
#pragma once

#include <string>
#include <vector>

#include "TzHostExport.h"

namespace tzhost {

struct MountPathEntry {
  int id = 0;
  std::string path;
  int type = 4;         // 4: disk, 7: cloud (no other value is accepted)
  int serverType = 0;
  std::string user;
  std::string password;  // from "password", or the variable "passwordEnv" names
  std::string passwordEnv;  // the name "passwordEnv" gives, or empty
  std::string endpoint;  // cloud only: S3 endpoint; empty selects the folder store
  std::string region = "us-east-1";
  std::string addressing = "path";  // "path" or "virtual"
  int maxRequestsInFlight = 16;  // S3: requests the store may have in flight, 1 to 64
};

// Finds `id` in the registry text. On failure returns false and sets `error`
// to a reason that names `source` (and the parse position for malformed
// JSON). Never throws. The password never appears in `error`.
bool FindMountPath(const std::string& text, const std::string& source, int id,
                   MountPathEntry& entry, std::string& error);

// Reads the file named by TZRECON_CONFIG and finds `id` in it. A relative
// "path" of an entry served from a folder (a disk mount path, or a cloud one
// without "endpoint") is read relative to the registry file's folder.
bool LookupMountPath(int id, MountPathEntry& entry, std::string& error);

// For a program that hosts the library (tzrecon), not for the library:
// checks every entry of `text`, the content of the registry file `path`, as
// a lookup would, and returns them all in file order, relative paths
// resolved as above. The variables that "passwordEnv" names are not read
// (`password` stays empty for such entries). The caller reads the file, so
// this makes no system call. On failure returns false and sets `error`
// (which names `path`); never throws.
TZHOST_API bool ReadRegistryText(const std::string& text, const std::string& path,
                                 std::vector<MountPathEntry>& entries, std::string& error);

}  // namespace tzhost
