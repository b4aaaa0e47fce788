// The S3 store of the stand-in cloud component: a mount path whose registry
// entry names an "endpoint" is served from an S3-compatible object store.
//
// The mount path root "bucket/prefix" maps the component's paths to keys:
// "bucket/prefix/V_1/CHUNK_7" is the key "prefix/V_1/CHUNK_7" of "bucket".
// A folder is a key prefix ending in "/", listed with ListObjectsV2 and the
// delimiter "/". Requests are signed with AWS Signature Version 4 and sent
// with libcurl's multi interface on the caller's thread.
//
// The cloud walk asks one question at a time. Against an object store that
// answers in tens of milliseconds, the store asks the walk's questions
// ahead: it learns the walk's pattern from the questions themselves (a walk
// lists a folder, then asks the same names in each of its subfolders, one
// subfolder after another; S3WalkPattern.h) and puts the same questions for
// the subfolders after the one the walk is at in flight (S3Ahead.h). When
// the walk will visit many subfolders, their listings come from listings of
// the whole parent prefix instead (S3WholeListings.h).
// Every answer is the one the question would have got when asked: an answer
// made ahead that failed is asked again, with the usual retries, when the
// walk gets to it, and its error is reported then and only then.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "CloudStore.h"
#include "Registry.h"

namespace tzs3 {

// Where a mount path lives: parsed from its registry entry.
struct S3Location {
  bool https = false;
  std::string host;    // "host" or "host:port", as the endpoint gives it
  std::string bucket;
  std::string prefix;  // key prefix without a leading or trailing "/"; may be empty
  std::string root;    // "bucket" or "bucket/prefix": the paths the component uses
  bool virtualHost = false;  // bucket in the host name instead of the path
};

// Parses endpoint, path and addressing of `entry`. On failure returns false
// and sets `error` (which never holds the password).
bool ParseS3Location(const tzhost::MountPathEntry& entry, S3Location& location,
                     std::string& error);

// The key of a component path: the root itself maps to the prefix, and
// "root/a/b" to "prefix/a/b". Trailing "/" are ignored. Returns false for a
// path outside the root.
bool PathToKey(const S3Location& location, const std::string& path, std::string& key);

// Knobs that tests turn; the defaults serve the host.
struct S3Tuning {
  int maxTries = 5;  // tries per request, the first one included
  std::chrono::milliseconds backoffBase{50};  // wait before the 2nd try; doubles after
  long connectTimeoutSeconds = 10;
  long lowSpeedLimit = 1;  // a transfer slower than this many bytes/s ...
  long lowSpeedTimeSeconds = 30;  // ... for this long is abandoned and retried
  std::string connectTo;  // a CURLOPT_CONNECT_TO entry, e.g. "::127.0.0.1:4568"
  int maxInFlight = 16;   // requests in flight at once; 1 asks nothing ahead
  size_t aheadBytes = 64u << 20;  // answers made ahead and not yet taken
  // From this many subfolders that the walk visits on, they are listed
  // through whole-prefix listings (0: never) ...
  size_t wholeListingFromVolumes = 8;
  // ... of about this many subfolders each, at most maxInFlight / 2 at once.
  size_t volumesPerWholeListing = 16;
  std::function<std::time_t()> clock;  // signing time; empty means time()
};

std::shared_ptr<CloudStore> MakeS3StoreTuned(const tzhost::MountPathEntry& entry,
                                             const S3Tuning& tuning, CJwError& error);

}  // namespace tzs3
