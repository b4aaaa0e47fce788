// The S3 store's requests as the walk asks them: signed afresh for every
// try, and tried again after a failure that another try may mend, with
// exponential backoff and jitter. While the walk waits, requests made ahead
// keep moving: every wait first runs the store's planning hook, and a
// request made ahead that finishes is told to what it was made for.
#pragma once

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "EvDebug.h"
#include "JwFile.h"
#include "S3Redaction.h"
#include "S3Transfers.h"
#include "S3Xml.h"

namespace tzs3 {

inline constexpr char kStoreTag[] = "S3Store";

// What a request made ahead was made for: told when its answer has come.
class Awaited {
 public:
  virtual void Arrived() = 0;

 protected:
  ~Awaited() = default;
};

// The query of one listing page of the folder `prefix` (delimiter "/").
NameValues ListQuery(const std::string& prefix, const std::string& token);

// JW_ERR_NOT_FOUND for a missing object; a missing bucket is a broken mount
// path, which callers must not mistake for an absent file.
int NotFoundCode(const Outcome& outcome);

// An empty object has no byte 0 to start a range at: S3 answers 416.
inline bool EmptyRange(const Outcome& outcome) {
  return outcome.curlCode == CURLE_OK && outcome.status == 416;
}

class Requests {
 public:
  Requests(const S3Location& location, const SigV4Credentials& credentials,
           const S3Tuning& tuning);

  bool Init(std::string& error) { return m_transfers.Init(error); }
  // What to run while the walk waits: the store's asking ahead.
  void OnWait(std::function<void()> plan) { m_plan = std::move(plan); }

  // Sends `call` for the walk, with the retries; the outcome of its last try.
  void Perform(const Call& call, Outcome& outcome);
  // One listing page of the folder `prefix` asked now, its XML in `body`.
  CJwError ListPageNow(const std::string& prefix, const std::string& token, std::string& body,
                       ListPage& page);

  // Puts `request`, made ahead for `awaited`, in flight (see Transfers::Start).
  bool StartAhead(Request& request, Awaited& awaited);
  void Cancel(Request& request) { m_transfers.Cancel(request); }
  // Moves the transfers on until `request` is done, asking ahead meanwhile.
  void Await(const Request& request);
  // Moves the transfers on, waiting at most `waitMs`.
  void Step(long waitMs);
  void Plan() {
    if (m_plan) m_plan();
  }
  int Limit() const { return m_transfers.Limit(); }
  int Running() const { return m_transfers.Running(); }
  long Sent() const { return m_transfers.Sent(); }

  // "S3 GET bucket/key: HTTP 403 AccessDenied: Access Denied", logged and
  // returned with `code`.
  CJwError Failure(const char* method, const std::string& what, const Outcome& outcome,
                   int code);
  CJwError ListingError(const std::string& what, const std::string& reason);
  CJwError OutsideRoot(const char* method, const std::string& path) const;
  std::string Name(const std::string& key) const { return m_location.bucket + "/" + key; }

  const S3Location& Location() const { return m_location; }
  const S3Tuning& Tuning() const { return m_tuning; }
  Redactor& Redaction() { return m_redactor; }
  EvDebug& Debug() { return m_debug; }

 private:
  void Backoff(const Call& call, const Outcome& outcome, int attempt);

  const S3Location m_location;
  const S3Tuning m_tuning;
  Transfers m_transfers;
  std::vector<Request*> m_finished;
  std::minstd_rand m_random;
  Redactor m_redactor;
  EvDebug m_debug;
  std::function<void()> m_plan;
};

}  // namespace tzs3
