// The HTTP side of the S3 store: signed requests on libcurl's multi
// interface, several in flight at once on the caller's thread. Nothing moves
// unless the store calls Step(); no thread is started.
//
// How many requests may be in flight adapts to the server: the tuning's
// maximum while requests succeed; one, after a failure that another try may
// mend (throttling, a 5xx answer, a dropped connection), until 8 requests in
// a row have succeeded, then twice as many after each further 8. A server
// that struggles so sees the store's requests one at a time, as if nothing
// were made ahead, and each request's retries follow one another.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <vector>

#include "S3Store.h"
#include "SigV4.h"

namespace tzs3 {

// What one request asks for and where its body goes.
struct Call {
  const char* method = "GET";  // "GET" or "HEAD"
  std::string key;             // empty for the bucket itself (listing)
  std::string what;            // "bucket/key" (or "bucket/prefix/") for messages
  NameValues query;
  std::string range;           // Range header value, or empty
  char* buffer = nullptr;      // GET of an object: where the bytes go ...
  size_t capacity = 0;         // ... and how many fit
  std::string* body = nullptr;  // GET of a listing: the whole body
};

// How the last try of a request ended.
struct Outcome {
  CURLcode curlCode = CURLE_OK;
  std::string curlError;
  long status = 0;
  std::string s3Code, s3Message;
  curl_off_t contentLength = -1;
  size_t got = 0;  // bytes copied into Call::buffer
  int tries = 0;
  bool ok() const { return curlCode == CURLE_OK && status >= 200 && status <= 299; }
  // "Couldn't connect to server", or "HTTP 503 SlowDown": what went wrong,
  // in short.
  std::string Brief() const {
    if (curlCode != CURLE_OK) return curl_easy_strerror(curlCode);
    return "HTTP " + std::to_string(status) + (s3Code.empty() ? "" : " " + s3Code);
  }
};

// State of one transfer, seen by the header and body callbacks.
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

// One try of one request. It must stay where it is while it runs.
struct Request {
  enum class State { kNew, kRunning, kDone };

  Call call;
  void* owner = nullptr;  // for the store: what the request was made for

  State state = State::kNew;
  Outcome outcome;         // once done
  bool transient = false;  // once done: a failure that another try may mend
  std::string signature;   // of the try, for removal from error texts

  // The engine's own.
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  Transfer transfer;
  std::string url;
  char curlError[CURL_ERROR_SIZE] = {0};
};

class Transfers {
 public:
  Transfers(const S3Location& location, const SigV4Credentials& credentials,
            const S3Tuning& tuning);
  ~Transfers();
  Transfers(const Transfers&) = delete;
  Transfers& operator=(const Transfers&) = delete;

  // Creates the multi handle. On failure returns false and sets `error`.
  bool Init(std::string& error);

  // How many requests may be in flight now (see above), and how many are.
  int Limit() const { return m_limit; }
  int Running() const { return m_running; }

  // Signs `request` afresh and puts it in flight, whatever the limit (the
  // caller keeps to it). When it cannot be sent (signing failed), marks it
  // done with that outcome and returns false.
  bool Start(Request& request);

  // Takes a running request out of flight; it counts as never sent.
  void Cancel(Request& request);

  // Moves the transfers on, waiting at most `waitMs` for one of them; adds
  // the requests that finished to `finished` (marked done).
  void Step(long waitMs, std::vector<Request*>& finished);

  long Sent() const { return m_sent; }

 private:
  bool Sign(Request& request);
  CURL* TakeHandle(std::string& error);
  void Finish(Request& request, CURLcode code);
  void Release(Request& request);

  const S3Location m_location;
  const SigV4Credentials m_credentials;
  const S3Tuning m_tuning;
  CURLM* m_multi = nullptr;
  std::vector<CURL*> m_idle;  // handles to reuse, with their connections
  curl_slist* m_connectTo = nullptr;
  int m_running = 0;
  int m_limit = 1;
  int m_successes = 0;  // in a row, since the limit last changed
  long m_sent = 0;
};

}  // namespace tzs3
