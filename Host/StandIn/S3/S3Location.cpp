// Where a mount path lives in the object store, and which key a path of the
// cloud component names.
#include "Ascii.h"
#include "S3Store.h"

namespace tzs3 {
namespace {

std::string StripSlashes(std::string text) {
  size_t begin = text.find_first_not_of('/');
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of('/');
  return text.substr(begin, end - begin + 1);
}

// Sets `location.host` (and https) from the endpoint; false with `error` set
// when it is not of the form http[s]://host[:port].
bool ParseEndpoint(const std::string& endpoint, S3Location& location, std::string& error) {
  std::string lower = endpoint;
  for (char& c : lower) c = AsciiLower(c);
  size_t hostAt = 0;
  if (StartsWith(lower, "https://")) {
    location.https = true;
    hostAt = 8;
  } else if (StartsWith(lower, "http://")) {
    hostAt = 7;
  } else {
    error = "endpoint \"" + endpoint + "\" does not begin with http:// or https://";
    return false;
  }
  size_t hostEnd = endpoint.find('/', hostAt);
  location.host = endpoint.substr(hostAt, hostEnd == std::string::npos ? std::string::npos
                                                                       : hostEnd - hostAt);
  const bool pathAfterHost =
      hostEnd != std::string::npos && endpoint.find_first_not_of('/', hostEnd) != std::string::npos;
  if (location.host.empty() || pathAfterHost ||
      location.host.find_first_of("@?# \t\r\n") != std::string::npos) {
    error = "endpoint \"" + endpoint + "\" is not of the form http[s]://host[:port]";
    return false;
  }
  return true;
}

}  // namespace

bool ParseS3Location(const tzhost::MountPathEntry& entry, S3Location& location,
                     std::string& error) {
  location = S3Location();
  if (!ParseEndpoint(entry.endpoint, location, error)) return false;

  location.root = StripSlashes(entry.path);
  size_t slash = location.root.find('/');
  location.bucket = location.root.substr(0, slash);
  location.prefix = slash == std::string::npos ? "" : StripSlashes(location.root.substr(slash));
  bool bucketOk = !location.bucket.empty();
  for (unsigned char c : location.bucket) {
    if (!IsAsciiAlnum(c) && c != '-' && c != '.' && c != '_') bucketOk = false;
  }
  if (!bucketOk) {
    error = "path \"" + entry.path + "\" does not begin with a bucket name";
    return false;
  }

  if (entry.addressing == "virtual") {
    location.virtualHost = true;
  } else if (!entry.addressing.empty() && entry.addressing != "path") {
    error = "addressing \"" + entry.addressing + "\" is neither \"path\" nor \"virtual\"";
    return false;
  }
  return true;
}

bool PathToKey(const S3Location& location, const std::string& path, std::string& key) {
  const std::string relative = StripSlashes(path);
  std::string rest;
  if (relative == location.root) {
    rest.clear();
  } else if (StartsWith(relative, location.root + "/")) {
    rest = relative.substr(location.root.size() + 1);
  } else {
    return false;
  }
  key = location.prefix;
  if (!key.empty() && !rest.empty()) key += "/";
  key += rest;
  return true;
}

}  // namespace tzs3
