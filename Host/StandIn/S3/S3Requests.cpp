#include "S3Requests.h"

#include <algorithm>
#include <chrono>

namespace tzs3 {

NameValues ListQuery(const std::string& prefix, const std::string& token) {
  // URL-encoded names survive the XML whatever bytes they hold: a raw
  // carriage return would come back as a line feed, and most other
  // control characters cannot be written in XML 1.0 at all.
  NameValues query = {{"list-type", "2"}, {"prefix", prefix}, {"delimiter", "/"},
                      {"encoding-type", "url"}};
  if (!token.empty()) query.emplace_back("continuation-token", token);
  return query;
}

int NotFoundCode(const Outcome& outcome) {
  if (outcome.curlCode == CURLE_OK && outcome.status == 404 &&
      outcome.s3Code != "NoSuchBucket") {
    return JW_ERR_NOT_FOUND;
  }
  return JW_ERR_FAILED;
}

Requests::Requests(const S3Location& location, const SigV4Credentials& credentials,
                   const S3Tuning& tuning)
    : m_location(location),
      m_tuning(tuning),
      m_transfers(location, credentials, tuning),
      m_random(std::random_device()()),
      m_redactor(credentials.secretKey) {}

void Requests::Perform(const Call& call, Outcome& outcome) {
  m_redactor.Forget();
  for (int attempt = 1;; ++attempt) {
    Request request;
    request.call = call;
    // The walk's request goes first: it waits only for a free slot.
    while (m_transfers.Running() >= m_transfers.Limit()) Step(100);
    if (m_transfers.Start(request)) Await(request);
    m_redactor.Add(request.signature);
    outcome = request.outcome;
    outcome.tries = attempt;
    if (outcome.ok() || !request.transient || attempt >= m_tuning.maxTries) return;
    Backoff(call, outcome, attempt);
  }
}

// Waits before try `attempt` + 1, moving the transfers on meanwhile.
void Requests::Backoff(const Call& call, const Outcome& outcome, int attempt) {
  auto delay = m_tuning.backoffBase * (1 << std::min(attempt - 1, 16));
  delay = std::min<std::chrono::milliseconds>(delay, std::chrono::seconds(20));
  std::uniform_int_distribution<long> jitter(0, delay.count() / 2);
  auto wait = delay / 2 + std::chrono::milliseconds(jitter(m_random));
  m_debug.DebugLvl(kStoreTag, 1, "S3 %s %s: %s; try %d of %d in %ld ms", call.method,
                   call.what.c_str(), m_redactor.Redact(outcome.Brief()).c_str(), attempt + 1,
                   m_tuning.maxTries, static_cast<long>(wait.count()));
  const auto until = std::chrono::steady_clock::now() + wait;
  for (auto now = std::chrono::steady_clock::now(); now < until;
       now = std::chrono::steady_clock::now()) {
    Step(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
  }
}

CJwError Requests::ListPageNow(const std::string& prefix, const std::string& token,
                               std::string& body, ListPage& page) {
  Call call;
  call.query = ListQuery(prefix, token);
  call.what = Name(prefix);
  call.body = &body;
  Outcome outcome;
  Perform(call, outcome);
  if (!outcome.ok()) return Failure("LIST", call.what, outcome, JW_ERR_FAILED);
  std::string error;
  if (!ParseListObjectsV2(body.data(), body.size(), page, error)) {
    return ListingError(call.what, "unreadable listing: " + error);
  }
  return CJwError();
}

bool Requests::StartAhead(Request& request, Awaited& awaited) {
  request.owner = &awaited;
  return m_transfers.Start(request);
}

void Requests::Await(const Request& request) {
  while (request.state == Request::State::kRunning) {
    Plan();
    Step(100);
  }
}

void Requests::Step(long waitMs) {
  m_finished.clear();
  m_transfers.Step(waitMs, m_finished);
  for (Request* request : m_finished) {
    if (request->owner != nullptr) static_cast<Awaited*>(request->owner)->Arrived();
  }
}

// Never holds the secret key or a signature.
CJwError Requests::Failure(const char* method, const std::string& what, const Outcome& outcome,
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
  text = m_redactor.Redact(text);
  // An absent object is an ordinary answer, not worth a level -1 line.
  m_debug.DebugLvl(kStoreTag, code == JW_ERR_NOT_FOUND ? 2 : -1, "%s", text.c_str());
  return CJwError(code, text);
}

CJwError Requests::ListingError(const std::string& what, const std::string& reason) {
  std::string text = "S3 LIST " + what + ": " + reason;
  m_debug.DebugLvl(kStoreTag, -1, "%s", text.c_str());
  return CJwError(JW_ERR_FAILED, text);
}

CJwError Requests::OutsideRoot(const char* method, const std::string& path) const {
  return CJwError(JW_ERR_FAILED, std::string("S3 ") + method + " " + path +
                                     ": not an object under the mount path root " +
                                     m_location.root);
}

}  // namespace tzs3
