#include "S3Transfers.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Ascii.h"
#include "S3Xml.h"

namespace tzs3 {
namespace {

// SHA-256 of the empty body: every request the store sends has none.
const char kEmptyPayloadHash[] =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const size_t kMaxListPageBytes = 32u << 20;  // a 1000-key page is well under 1 MB
const size_t kMaxErrorBodyBytes = 64u << 10;
// Successes in a row after which the limit of requests in flight doubles.
const int kSuccessesToWiden = 8;

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

}  // namespace

Transfers::Transfers(const S3Location& location, const SigV4Credentials& credentials,
                     const S3Tuning& tuning)
    : m_location(location),
      m_credentials(credentials),
      m_tuning(tuning),
      m_limit(std::max(1, tuning.maxInFlight)) {}

Transfers::~Transfers() {
  // Requests still in flight belong to the store, which cancels them first.
  for (CURL* easy : m_idle) curl_easy_cleanup(easy);
  if (m_multi != nullptr) curl_multi_cleanup(m_multi);
  curl_slist_free_all(m_connectTo);
}

bool Transfers::Init(std::string& error) {
  m_multi = curl_multi_init();
  if (m_multi == nullptr) {
    error = "cannot create a libcurl multi handle";
    return false;
  }
  if (!m_tuning.connectTo.empty()) {
    m_connectTo = curl_slist_append(nullptr, m_tuning.connectTo.c_str());
  }
  // One handle up front, so that a store that cannot make one fails now.
  CURL* easy = TakeHandle(error);
  if (easy == nullptr) return false;
  m_idle.push_back(easy);
  return true;
}

// A handle with what every request shares: an idle one (its connection is
// kept by the multi handle) or a new one.
CURL* Transfers::TakeHandle(std::string& error) {
  if (!m_idle.empty()) {
    CURL* easy = m_idle.back();
    m_idle.pop_back();
    return easy;
  }
  CURL* easy = curl_easy_init();
  if (easy == nullptr) {
    error = "cannot create a libcurl handle";
    return nullptr;
  }
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, m_tuning.connectTimeoutSeconds);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, m_tuning.lowSpeedLimit);
  curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, m_tuning.lowSpeedTimeSeconds);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  // Keys are sent exactly as signed: no "." or ".." squashing by libcurl.
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, "tzrecon-s3/1");
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  if (m_connectTo != nullptr) curl_easy_setopt(easy, CURLOPT_CONNECT_TO, m_connectTo);
  return easy;
}

// Signs `request` and gives it a handle, its headers and its URL. When it
// cannot be signed or no handle is to be had, marks it done with that
// outcome and returns false.
bool Transfers::Sign(Request& request) {
  const Call& call = request.call;
  std::string host = m_location.host;
  std::string path = "/";
  if (m_location.virtualHost) {
    host = m_location.bucket + "." + host;
    path += call.key;
  } else {
    path += m_location.bucket;
    if (!call.key.empty()) path += "/" + call.key;
  }

  SigV4Request signing;
  signing.method = call.method;
  signing.path = path;
  signing.query = call.query;
  signing.payloadHash = kEmptyPayloadHash;
  const std::string amzDate = AmzDate(m_tuning.clock ? m_tuning.clock() : time(nullptr));
  signing.headers = {{"host", host},
                     {"x-amz-content-sha256", kEmptyPayloadHash},
                     {"x-amz-date", amzDate}};
  if (!call.range.empty()) signing.headers.emplace_back("range", call.range);
  SigV4Result signature;
  std::string error;
  request.easy = SignV4(signing, m_credentials, amzDate, signature) ? TakeHandle(error) : nullptr;
  if (request.easy == nullptr) {
    request.outcome.curlCode = CURLE_FAILED_INIT;
    request.outcome.curlError = error.empty() ? "request signing failed" : error;
    request.state = Request::State::kDone;
    return false;
  }
  request.signature = signature.signature;

  for (const auto& [name, value] : signing.headers) {
    request.headers = curl_slist_append(request.headers, (name + ": " + value).c_str());
  }
  request.headers = curl_slist_append(request.headers,
                                      ("Authorization: " + signature.authorization).c_str());
  request.url = (m_location.https ? "https://" : "http://") + host + UriEncode(path, true);
  const std::string query = CanonicalQuery(call.query);
  if (!query.empty()) request.url += "?" + query;
  return true;
}

bool Transfers::Start(Request& request) {
  const Call& call = request.call;
  request.outcome = Outcome();
  request.transient = false;
  request.signature.clear();
  request.transfer = Transfer();
  request.curlError[0] = '\0';
  if (!Sign(request)) return false;

  request.transfer.curl = request.easy;
  request.transfer.call = &request.call;
  if (call.body != nullptr) call.body->clear();
  CURL* easy = request.easy;
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  if (std::strcmp(call.method, "HEAD") == 0) {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, request.headers);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &request.transfer);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &request.transfer);
  curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, request.curlError);
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &request);
  CURLMcode added = curl_multi_add_handle(m_multi, easy);
  if (added != CURLM_OK) {
    Release(request);
    request.outcome.curlCode = CURLE_FAILED_INIT;
    request.outcome.curlError = curl_multi_strerror(added);
    request.state = Request::State::kDone;
    return false;
  }
  request.state = Request::State::kRunning;
  ++m_running;
  ++m_sent;
  return true;
}

// Gives the handle back for reuse and frees what the try held.
void Transfers::Release(Request& request) {
  if (request.easy != nullptr) {
    curl_easy_setopt(request.easy, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(request.easy, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(request.easy, CURLOPT_PRIVATE, nullptr);
    m_idle.push_back(request.easy);
    request.easy = nullptr;
  }
  curl_slist_free_all(request.headers);
  request.headers = nullptr;
}

void Transfers::Cancel(Request& request) {
  if (request.state != Request::State::kRunning) return;
  curl_multi_remove_handle(m_multi, request.easy);
  // A cancelled transfer may have left its connection half-read: the
  // handle is not reused.
  curl_easy_cleanup(request.easy);
  request.easy = nullptr;
  Release(request);
  request.state = Request::State::kNew;
  --m_running;
}

void Transfers::Finish(Request& request, CURLcode code) {
  const Transfer& transfer = request.transfer;
  Outcome& outcome = request.outcome;
  outcome.got = transfer.got;
  if (code == CURLE_WRITE_ERROR && transfer.full) code = CURLE_OK;
  if (code != CURLE_OK) {
    outcome.curlCode = code;
    outcome.curlError = transfer.overflow ? "listing page larger than 32 MiB" : request.curlError;
    request.transient = !transfer.overflow && IsTransientCurlError(code);
  } else {
    curl_easy_getinfo(request.easy, CURLINFO_RESPONSE_CODE, &outcome.status);
    curl_easy_getinfo(request.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &outcome.contentLength);
    if (!outcome.ok()) {
      ParseS3Error(transfer.errorBody.data(), transfer.errorBody.size(), outcome.s3Code,
                   outcome.s3Message);
      request.transient = IsTransientStatus(outcome.status, outcome.s3Code);
    }
  }
  if (request.transient) {
    m_limit = 1;
    m_successes = 0;
  } else if (++m_successes >= kSuccessesToWiden && m_limit < m_tuning.maxInFlight) {
    m_limit = std::min(m_limit * 2, m_tuning.maxInFlight);
    m_successes = 0;
  }
  curl_multi_remove_handle(m_multi, request.easy);
  Release(request);
  request.state = Request::State::kDone;
  --m_running;
}

void Transfers::Step(long waitMs, std::vector<Request*>& finished) {
  int stillRunning = 0;
  curl_multi_perform(m_multi, &stillRunning);
  int queued = 0;
  bool any = false;
  while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    Request* request = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &request);
    if (request == nullptr) continue;
    Finish(*request, message->data.result);
    finished.push_back(request);
    any = true;
  }
  if (!any && waitMs > 0) {
    curl_multi_poll(m_multi, nullptr, 0, static_cast<int>(std::min(waitMs, 1000L)), nullptr);
  }
}

}  // namespace tzs3
