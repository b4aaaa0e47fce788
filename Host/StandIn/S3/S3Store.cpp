#include "S3Store.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Ascii.h"
#include "EvDebug.h"
#include "S3Xml.h"
#include "SigV4.h"

namespace tzs3 {
namespace {

const char kTag[] = "S3Store";
// SHA-256 of the empty body: every request the store sends has none.
const char kEmptyPayloadHash[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const size_t kMaxListPageBytes = 32u << 20;  // a 1000-key page is well under 1 MB
const size_t kMaxErrorBodyBytes = 64u << 10;

std::string StripSlashes(std::string text) {
  size_t begin = text.find_first_not_of('/');
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of('/');
  return text.substr(begin, end - begin + 1);
}

bool StartsWith(const std::string& text, const std::string& head) {
  return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

// What one request asks for and where its body goes.
struct Call {
  const char* method = "GET";  // "GET" or "HEAD"
  std::string key;             // empty for the bucket itself (listing)
  std::string what;            // "bucket/key" (or "bucket/prefix/") for messages
  NameValues query;
  std::string range;           // Range header value, or empty
  char* buffer = nullptr;      // GET of an object: the caller's buffer ...
  size_t capacity = 0;         // ... and its size
  std::string* body = nullptr;  // GET of a listing: the whole body
};

// How the last try of a call ended.
struct Outcome {
  CURLcode curlCode = CURLE_OK;
  std::string curlError;
  long status = 0;
  std::string s3Code, s3Message;
  curl_off_t contentLength = -1;
  size_t got = 0;      // bytes copied into Call::buffer
  int tries = 0;
  bool ok() const { return curlCode == CURLE_OK && status >= 200 && status <= 299; }
};

// State of one transfer, seen by the body callback.
struct Transfer {
  CURL* curl = nullptr;
  const Call* call = nullptr;
  long status = 0;
  size_t got = 0;
  bool full = false;      // the buffer filled up and the rest was refused
  bool overflow = false;  // a listing body grew past kMaxListPageBytes
  long long rangeTotal = -1;  // object size from Content-Range, when given
  std::string errorBody;
};

// Notes the object size that Content-Range gives ("bytes 0-9/1234"). At the
// end of the headers of a read whose object is empty, stops the transfer:
// some servers answer a Range on an empty object with a body they never
// send, and waiting for it would hang until the connection times out.
size_t OnHeader(char* data, size_t, size_t size, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  std::string line(data, size);
  const char name[] = "content-range:";
  bool isRange = line.size() > sizeof name;
  for (size_t i = 0; isRange && i + 1 < sizeof name; ++i) isRange = AsciiLower(line[i]) == name[i];
  if (isRange) {
    size_t slash = line.find('/');
    if (slash != std::string::npos && IsAsciiDigit(static_cast<unsigned char>(line[slash + 1]))) {
      t.rangeTotal = std::strtoll(line.c_str() + slash + 1, nullptr, 10);
    }
  } else if ((line == "\r\n" || line == "\n") && t.call->buffer != nullptr && t.rangeTotal == 0) {
    curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &t.status);
    if (t.status >= 200 && t.status <= 299) {
      t.full = true;  // all of nothing has arrived
      return 0;
    }
  }
  return size;
}

size_t OnBody(char* data, size_t, size_t size, void* user) {
  Transfer& t = *static_cast<Transfer*>(user);
  if (t.status == 0) curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &t.status);
  if (t.status < 200 || t.status > 299) {
    size_t room = kMaxErrorBodyBytes - std::min(kMaxErrorBodyBytes, t.errorBody.size());
    t.errorBody.append(data, std::min(room, size));
    return size;
  }
  if (t.call->buffer != nullptr) {
    size_t n = std::min(size, t.call->capacity - t.got);
    memcpy(t.call->buffer + t.got, data, n);
    t.got += n;
    if (n < size) {
      // A server that ignores the Range sends the whole object: take what
      // fits and stop the transfer.
      t.full = true;
      return 0;
    }
    return size;
  }
  if (t.call->body != nullptr) {
    if (t.call->body->size() + size > kMaxListPageBytes) {
      t.overflow = true;
      return 0;
    }
    t.call->body->append(data, size);
  }
  return size;
}

// Failures of the connection that another try may mend.
bool IsTransientCurlError(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return true;
    default:
      return false;
  }
}

bool IsTransientStatus(long status, const std::string& s3Code) {
  return status >= 500 || status == 429 || s3Code == "SlowDown" ||
         s3Code == "RequestTimeout";
}

class S3Store : public CloudStore {
 public:
  S3Store(const S3Location& location, const SigV4Credentials& credentials,
          const S3Tuning& tuning)
      : m_location(location),
        m_credentials(credentials),
        m_tuning(tuning),
        m_random(std::random_device()()) {}

  ~S3Store() override {
    if (m_curl != nullptr) curl_easy_cleanup(m_curl);
    curl_slist_free_all(m_connectTo);
  }

  // Creates the reused handle and sets what every request shares.
  bool Init(std::string& error) {
    m_curl = curl_easy_init();
    if (m_curl == nullptr) {
      error = "cannot create a libcurl handle";
      return false;
    }
    curl_easy_setopt(m_curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_curl, CURLOPT_CONNECTTIMEOUT, m_tuning.connectTimeoutSeconds);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_LIMIT, m_tuning.lowSpeedLimit);
    curl_easy_setopt(m_curl, CURLOPT_LOW_SPEED_TIME, m_tuning.lowSpeedTimeSeconds);
    curl_easy_setopt(m_curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Keys are sent exactly as signed: no "." or ".." squashing by libcurl.
    curl_easy_setopt(m_curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(m_curl, CURLOPT_USERAGENT, "tzrecon-s3/1");
    curl_easy_setopt(m_curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(m_curl, CURLOPT_HEADERFUNCTION, OnHeader);
    curl_easy_setopt(m_curl, CURLOPT_ERRORBUFFER, m_curlError);
    if (!m_tuning.connectTo.empty()) {
      m_connectTo = curl_slist_append(nullptr, m_tuning.connectTo.c_str());
      curl_easy_setopt(m_curl, CURLOPT_CONNECT_TO, m_connectTo);
    }
    return true;
  }

  CJwError List(const std::string& path, std::vector<std::string>& files,
                std::vector<std::string>& folders) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string folderKey;
    if (!PathToKey(m_location, path, folderKey)) return OutsideRoot("LIST", path);
    const std::string prefix = folderKey.empty() ? "" : folderKey + "/";
    const std::string what = m_location.bucket + "/" + prefix;

    std::vector<std::string> fileNames, folderNames;
    std::unordered_set<std::string> seenFolders, seenTokens;
    std::unordered_map<std::string, uint64_t> sizes;
    std::string token;
    for (;;) {
      Call call;
      // URL-encoded names survive the XML whatever bytes they hold: a raw
      // carriage return would come back as a line feed, and most other
      // control characters cannot be written in XML 1.0 at all.
      call.query = {{"list-type", "2"}, {"prefix", prefix}, {"delimiter", "/"},
                    {"encoding-type", "url"}};
      if (!token.empty()) call.query.emplace_back("continuation-token", token);
      call.what = what;
      std::string body;
      call.body = &body;
      Outcome outcome;
      Perform(call, outcome);
      if (!outcome.ok()) return Failure("LIST", what, outcome, JW_ERR_FAILED);

      ListPage page;
      std::string error;
      if (!ParseListObjectsV2(body.data(), body.size(), page, error)) {
        return ListingError(what, "unreadable listing: " + error);
      }
      for (ListedObject& object : page.contents) {
        if (!StartsWith(object.key, prefix)) {
          return ListingError(what, "listed key outside the prefix: " + object.key);
        }
        std::string name = object.key.substr(prefix.size());
        if (name.empty()) continue;  // the folder's own marker object
        if (name.find('/') != std::string::npos) {
          return ListingError(what, "listed key below the folder: " + object.key);
        }
        sizes[name] = object.size;
        fileNames.push_back(std::move(name));
      }
      for (const std::string& common : page.commonPrefixes) {
        if (!StartsWith(common, prefix) || common.size() <= prefix.size() ||
            common.back() != '/') {
          return ListingError(what, "listed folder outside the prefix: " + common);
        }
        std::string name = common.substr(prefix.size(), common.size() - prefix.size() - 1);
        // A key such as "V_1//x" shows an empty folder name, which no
        // component path can name; it is passed over on purpose.
        if (name.empty()) continue;
        if (seenFolders.insert(name).second) folderNames.push_back(std::move(name));
      }
      if (!page.isTruncated) break;
      if (page.nextContinuationToken.empty()) {
        return ListingError(what, "truncated page without a continuation token");
      }
      if (!seenTokens.insert(page.nextContinuationToken).second) {
        return ListingError(what, "continuation token repeated");
      }
      token = page.nextContinuationToken;
    }

    // The sizes of this listing answer Size() for its objects; only the most
    // recent folder is kept, so memory stays flat over a walk.
    m_listedFolder = folderKey;
    m_listedSizes = std::move(sizes);
    m_haveListing = true;
    files = std::move(fileNames);
    folders = std::move(folderNames);
    return CJwError();
  }

  CJwError Exists(const std::string& path, bool& exists) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    exists = false;
    Outcome outcome;
    CJwError error = Head(path, outcome);
    if (error.IsNotFound()) return CJwError();
    exists = !error.IsError();
    return error;
  }

  CJwError Size(const std::string& path, uint64_t& size) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string key;
    if (!PathToKey(m_location, path, key)) return OutsideRoot("HEAD", path);
    size_t slash = key.rfind('/');
    std::string folder = slash == std::string::npos ? "" : key.substr(0, slash);
    if (m_haveListing && folder == m_listedFolder) {
      auto found = m_listedSizes.find(key.substr(slash + 1));
      if (found != m_listedSizes.end()) {
        size = found->second;
        return CJwError();
      }
    }
    Outcome outcome;
    CJwError error = Head(path, outcome);
    if (error.IsError()) return error;
    if (outcome.contentLength < 0) {
      return CJwError(JW_ERR_FAILED, "S3 HEAD " + Name(key) + ": no Content-Length");
    }
    size = static_cast<uint64_t>(outcome.contentLength);
    return CJwError();
  }

  CJwError ReadPrefix(const std::string& path, void* buffer, size_t length,
                      size_t& bytesRead) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    bytesRead = 0;
    Call call;
    if (!PathToKey(m_location, path, call.key) || call.key.empty()) {
      return OutsideRoot("GET", path);
    }
    call.what = Name(call.key);
    if (length == 0) return CJwError();
    call.range = "bytes=0-" + std::to_string(length - 1);
    call.buffer = static_cast<char*>(buffer);
    call.capacity = length;
    Outcome outcome;
    Perform(call, outcome);
    // An empty object has no byte 0 to start a range at: S3 answers 416.
    if (outcome.ok() || (outcome.curlCode == CURLE_OK && outcome.status == 416)) {
      bytesRead = outcome.ok() ? outcome.got : 0;
      return CJwError();
    }
    return Failure("GET", Name(call.key), outcome, NotFoundCode(outcome));
  }

 private:
  std::string Name(const std::string& key) const { return m_location.bucket + "/" + key; }

  CJwError OutsideRoot(const char* method, const std::string& path) const {
    return CJwError(JW_ERR_FAILED, std::string("S3 ") + method + " " + path +
                                       ": not an object under the mount path root " +
                                       m_location.root);
  }

  CJwError ListingError(const std::string& what, const std::string& reason) {
    std::string text = "S3 LIST " + what + ": " + reason;
    m_debug.DebugLvl(kTag, -1, "%s", text.c_str());
    return CJwError(JW_ERR_FAILED, text);
  }

  // A missing object is "not found"; a missing bucket is a broken mount
  // path, which callers must not mistake for an absent file.
  static int NotFoundCode(const Outcome& outcome) {
    if (outcome.curlCode == CURLE_OK && outcome.status == 404 &&
        outcome.s3Code != "NoSuchBucket") {
      return JW_ERR_NOT_FOUND;
    }
    return JW_ERR_FAILED;
  }

  CJwError Head(const std::string& path, Outcome& outcome) {
    Call call;
    call.method = "HEAD";
    if (!PathToKey(m_location, path, call.key) || call.key.empty()) {
      return OutsideRoot("HEAD", path);
    }
    call.what = Name(call.key);
    Perform(call, outcome);
    if (outcome.ok()) return CJwError();
    return Failure("HEAD", Name(call.key), outcome, NotFoundCode(outcome));
  }

  // "S3 GET bucket/key: HTTP 403 AccessDenied: Access Denied"; never holds
  // the secret key or a signature.
  CJwError Failure(const char* method, const std::string& what, const Outcome& outcome,
                   int code) {
    std::string text = std::string("S3 ") + method + " " + what + ": ";
    if (outcome.curlCode != CURLE_OK) {
      text += curl_easy_strerror(outcome.curlCode);
      if (!outcome.curlError.empty()) text += " (" + outcome.curlError + ")";
    } else {
      text += "HTTP " + std::to_string(outcome.status);
      if (!outcome.s3Code.empty()) text += " " + outcome.s3Code;
      if (!outcome.s3Message.empty()) text += ": " + outcome.s3Message;
    }
    if (outcome.tries > 1) text += " [" + std::to_string(outcome.tries) + " tries]";
    text = Redact(text);
    // An absent object is an ordinary answer, not worth a level -1 line.
    m_debug.DebugLvl(kTag, code == JW_ERR_NOT_FOUND ? 2 : -1, "%s", text.c_str());
    return CJwError(code, text);
  }

  // Removes the secret and the signatures of the last call from `text`
  // (a server may echo what it was sent).
  std::string Redact(std::string text) const {
    std::vector<std::string> secrets = m_signatures;
    secrets.push_back(m_credentials.secretKey);
    for (const std::string& secret : secrets) {
      if (secret.empty()) continue;
      for (size_t at = text.find(secret); at != std::string::npos;
           at = text.find(secret, at + 5)) {
        text.replace(at, secret.size(), "*****");
      }
    }
    return text;
  }

  // Sends `call`, retrying transient failures with exponential backoff and
  // jitter; every try is signed afresh.
  void Perform(const Call& call, Outcome& outcome) {
    m_signatures.clear();
    for (int attempt = 1;; ++attempt) {
      outcome = Outcome();
      outcome.tries = attempt;
      bool transient = Try(call, outcome);
      if (outcome.ok() || !transient || attempt >= m_tuning.maxTries) return;

      std::string why = outcome.curlCode != CURLE_OK
                            ? std::string(curl_easy_strerror(outcome.curlCode))
                            : "HTTP " + std::to_string(outcome.status) + " " + outcome.s3Code;
      auto delay = m_tuning.backoffBase * (1 << std::min(attempt - 1, 16));
      delay = std::min<std::chrono::milliseconds>(delay, std::chrono::seconds(20));
      std::uniform_int_distribution<long> jitter(0, delay.count() / 2);
      auto wait = delay / 2 + std::chrono::milliseconds(jitter(m_random));
      m_debug.DebugLvl(kTag, 1, "S3 %s %s: %s; try %d of %d in %ld ms", call.method,
                       call.what.c_str(), Redact(why).c_str(), attempt + 1,
                       m_tuning.maxTries, static_cast<long>(wait.count()));
      std::this_thread::sleep_for(wait);
    }
  }

  // One try. Returns whether a failure is worth another try.
  bool Try(const Call& call, Outcome& outcome) {
    std::string host = m_location.host;
    std::string path = "/";
    if (m_location.virtualHost) {
      host = m_location.bucket + "." + host;
      path += call.key;
    } else {
      path += m_location.bucket;
      if (!call.key.empty()) path += "/" + call.key;
    }

    SigV4Request request;
    request.method = call.method;
    request.path = path;
    request.query = call.query;
    request.payloadHash = kEmptyPayloadHash;
    const std::string amzDate = AmzDate(m_tuning.clock ? m_tuning.clock() : time(nullptr));
    request.headers = {{"host", host},
                       {"x-amz-content-sha256", kEmptyPayloadHash},
                       {"x-amz-date", amzDate}};
    if (!call.range.empty()) request.headers.emplace_back("range", call.range);
    SigV4Result signature;
    if (!SignV4(request, m_credentials, amzDate, signature)) {
      outcome.curlCode = CURLE_FAILED_INIT;
      outcome.curlError = "request signing failed";
      return false;
    }
    m_signatures.push_back(signature.signature);

    curl_slist* headers = nullptr;
    for (const auto& [name, value] : request.headers) {
      std::string line = name + ": " + value;
      headers = curl_slist_append(headers, line.c_str());
    }
    headers = curl_slist_append(headers, ("Authorization: " + signature.authorization).c_str());

    std::string url = (m_location.https ? "https://" : "http://") + host +
                      UriEncode(path, true);
    std::string query = CanonicalQuery(call.query);
    if (!query.empty()) url += "?" + query;

    Transfer transfer;
    transfer.curl = m_curl;
    transfer.call = &call;
    if (call.body != nullptr) call.body->clear();
    m_curlError[0] = '\0';
    curl_easy_setopt(m_curl, CURLOPT_URL, url.c_str());
    if (std::strcmp(call.method, "HEAD") == 0) {
      curl_easy_setopt(m_curl, CURLOPT_NOBODY, 1L);
    } else {
      curl_easy_setopt(m_curl, CURLOPT_HTTPGET, 1L);
    }
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(m_curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(m_curl, CURLOPT_HEADERDATA, &transfer);
    CURLcode code = curl_easy_perform(m_curl);
    curl_easy_setopt(m_curl, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);

    outcome.got = transfer.got;
    if (code == CURLE_WRITE_ERROR && transfer.full) code = CURLE_OK;
    if (code != CURLE_OK) {
      outcome.curlCode = code;
      outcome.curlError = transfer.overflow ? "listing page larger than 32 MiB" : m_curlError;
      return !transfer.overflow && IsTransientCurlError(code);
    }
    curl_easy_getinfo(m_curl, CURLINFO_RESPONSE_CODE, &outcome.status);
    curl_easy_getinfo(m_curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &outcome.contentLength);
    if (outcome.ok()) return false;
    ParseS3Error(transfer.errorBody.data(), transfer.errorBody.size(), outcome.s3Code,
                 outcome.s3Message);
    return IsTransientStatus(outcome.status, outcome.s3Code);
  }

  const S3Location m_location;
  const SigV4Credentials m_credentials;
  const S3Tuning m_tuning;
  std::mutex m_mutex;  // one request at a time on the one handle
  CURL* m_curl = nullptr;
  curl_slist* m_connectTo = nullptr;
  char m_curlError[CURL_ERROR_SIZE] = {0};
  std::minstd_rand m_random;
  std::vector<std::string> m_signatures;  // of the current call, for Redact
  EvDebug m_debug;
  // Sizes of the objects of the most recent listing, by bare name.
  bool m_haveListing = false;
  std::string m_listedFolder;
  std::unordered_map<std::string, uint64_t> m_listedSizes;
};

}  // namespace

bool ParseS3Location(const tzhost::MountPathEntry& entry, S3Location& location,
                     std::string& error) {
  location = S3Location();
  std::string endpoint = entry.endpoint;
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

std::shared_ptr<CloudStore> MakeS3StoreTuned(const tzhost::MountPathEntry& entry,
                                             const S3Tuning& tuning, CJwError& error) {
  static std::once_flag curlReady;
  static CURLcode curlInit = CURLE_OK;
  std::call_once(curlReady, [] { curlInit = curl_global_init(CURL_GLOBAL_DEFAULT); });

  const std::string where = "S3 mount path " + std::to_string(entry.id) + ": ";
  if (curlInit != CURLE_OK) {
    error = CJwError(JW_ERR_FAILED, where + "libcurl cannot start: " +
                                        curl_easy_strerror(curlInit));
    return nullptr;
  }
  S3Location location;
  std::string reason;
  if (!ParseS3Location(entry, location, reason)) {
    error = CJwError(JW_ERR_FAILED, where + reason);
    return nullptr;
  }
  if (entry.user.empty() || entry.password.empty()) {
    error = CJwError(JW_ERR_FAILED, where + "no access key id (\"user\") or secret key");
    return nullptr;
  }
  SigV4Credentials credentials;
  credentials.accessKeyId = entry.user;
  credentials.secretKey = entry.password;
  credentials.region = entry.region.empty() ? "us-east-1" : entry.region;
  credentials.service = "s3";

  auto store = std::make_shared<S3Store>(location, credentials, tuning);
  if (!store->Init(reason)) {
    error = CJwError(JW_ERR_FAILED, where + reason);
    return nullptr;
  }
  return store;
}

}  // namespace tzs3

std::shared_ptr<CloudStore> MakeS3Store(const tzhost::MountPathEntry& entry,
                                        CJwError& error) {
  return tzs3::MakeS3StoreTuned(entry, tzs3::S3Tuning(), error);
}
