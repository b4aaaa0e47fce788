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

namespace tzhost {

struct MountPathEntry {
  int id = 0;
  std::string path;
  int type = 4;         // 7: cloud
  int serverType = 0;
  std::string user;
  std::string password;  // from "password", or the variable "passwordEnv" names
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

// Reads the file named by TZRECON_CONFIG and finds `id` in it.
bool LookupMountPath(int id, MountPathEntry& entry, std::string& error);

}  // namespace tzhost
