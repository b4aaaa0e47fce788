#include "S3Store.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Ascii.h"
#include "EvDebug.h"
#include "S3Transfers.h"
#include "S3Xml.h"
#include "SigV4.h"

namespace tzs3 {
namespace {

const char kTag[] = "S3Store";
// What the cloud component reads of a file at its first read (it keeps a
// window of that size): a label read made ahead asks for as much.
const size_t kAheadWindow = 4096;
const char kMarkerName[] = ".tzsivolume";
const char kLabelName[] = "MEDIA_LABEL";
const size_t kKeysPerPage = 1000;  // what a listing page holds at most

std::string StripSlashes(std::string text) {
  size_t begin = text.find_first_not_of('/');
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of('/');
  return text.substr(begin, end - begin + 1);
}

bool StartsWith(const std::string& text, const std::string& head) {
  return text.size() >= head.size() && text.compare(0, head.size(), head) == 0;
}

// The query of one listing page of the folder `prefix`.
NameValues ListQuery(const std::string& prefix, const std::string& token) {
  // URL-encoded names survive the XML whatever bytes they hold: a raw
  // carriage return would come back as a line feed, and most other
  // control characters cannot be written in XML 1.0 at all.
  NameValues query = {{"list-type", "2"}, {"prefix", prefix}, {"delimiter", "/"},
                      {"encoding-type", "url"}};
  if (!token.empty()) query.emplace_back("continuation-token", token);
  return query;
}

// The query of one page of a listing of everything under `prefix` (no
// delimiter) after the key `startAfter`. The start stays on the pages that
// carry a continuation token, which takes precedence over it.
NameValues WholeQuery(const std::string& prefix, const std::string& startAfter,
                      const std::string& token) {
  NameValues query = {{"list-type", "2"}, {"prefix", prefix}, {"start-after", startAfter},
                      {"encoding-type", "url"}};
  if (!token.empty()) query.emplace_back("continuation-token", token);
  return query;
}

// Names of answers made ahead: a listing page, a HEAD, a GET.
std::string PageName(const std::string& prefix, const std::string& token) {
  return std::string("L") + prefix + '\0' + token;
}
std::string HeadName(const std::string& key) { return "H" + key; }
std::string GetName(const std::string& key) { return "G" + key; }

class S3Store : public CloudStore {
 public:
  S3Store(const S3Location& location, const SigV4Credentials& credentials,
          const S3Tuning& tuning)
      : m_location(location),
        m_credentials(credentials),
        m_tuning(tuning),
        m_transfers(location, credentials, tuning),
        m_random(std::random_device()()) {}

  ~S3Store() override {
    StopRanges(0);
    DropAhead(0, m_volumes.size());
    if (m_transfers.Sent() > 0) {
      m_debug.DebugLvl(kTag, 1,
                       "S3 %s: %ld requests, %ld of them made ahead; of those, answered: %ld, "
                       "never asked for: %ld, failed and asked again: %ld",
                       m_location.root.c_str(), m_transfers.Sent(), m_aheadMade, m_aheadUsed,
                       m_aheadUnused, m_aheadFailed);
    }
    if (m_wholePages > 0) {
      m_debug.DebugLvl(kTag, 1,
                       "S3 %s: whole-prefix listings: %ld pages (%ld failed) for %ld volumes; "
                       "listings answered: %ld, volumes listed on their own: %ld, passed over: "
                       "%ld",
                       m_location.root.c_str(), m_wholePages, m_wholeFailed, m_wholeVolumes,
                       m_wholeAnswered, m_wholeMissed, m_wholePassed);
    }
  }

  bool Init(std::string& error) { return m_transfers.Init(error); }

  CJwError List(const std::string& path, std::vector<std::string>& files,
                std::vector<std::string>& folders) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string folderKey;
    if (!PathToKey(m_location, path, folderKey)) return OutsideRoot("LIST", path);
    const std::string prefix = folderKey.empty() ? "" : folderKey + "/";
    const std::string what = m_location.bucket + "/" + prefix;
    // The walk lists this volume itself from here on.
    Volume* volume = AtVolumeOf(prefix);
    if (volume != nullptr) volume->listAsked = volume->walkLists = true;
    Plan();
    // A volume that a whole-prefix listing answers is one page.
    bool whole = volume != nullptr && WholeAnswers(*volume);

    std::vector<std::string> fileNames, folderNames;
    std::unordered_set<std::string> seenFolders, seenTokens;
    std::unordered_map<std::string, uint64_t> sizes;
    std::string token;
    for (;;) {
      ListPage page;
      if (whole) {
        TakeSwept(*volume, page);
        whole = false;
      } else if (std::unique_ptr<Ahead> ahead = TakeAhead(PageName(prefix, token))) {
        page = std::move(ahead->page);
      } else {
        Call call;
        call.query = ListQuery(prefix, token);
        call.what = what;
        std::string body;
        call.body = &body;
        Outcome outcome;
        Perform(call, outcome);
        if (!outcome.ok()) return Failure("LIST", what, outcome, JW_ERR_FAILED);
        std::string error;
        if (!ParseListObjectsV2(body.data(), body.size(), page, error)) {
          return ListingError(what, "unreadable listing: " + error);
        }
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
    // The mount path's folders are the volumes the walk will visit, in
    // this order.
    if (folderKey == m_location.prefix) PlanVolumes(folderNames);
    files = std::move(fileNames);
    folders = std::move(folderNames);
    return CJwError();
  }

  CJwError Exists(const std::string& path, bool& exists) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    exists = false;
    std::string key;
    if (!PathToKey(m_location, path, key) || key.empty()) return OutsideRoot("HEAD", path);
    Volume* volume = AtVolumeOf(key);
    if (volume != nullptr && key == volume->prefix + kMarkerName) volume->headAsked = true;
    Plan();
    if (volume != nullptr && key == volume->prefix + kMarkerName && WholeAnswers(*volume)) {
      for (const ListedObject& object : volume->keys) exists |= object.key == key;
      return CJwError();
    }
    // When asking ahead, a volume's marker is read from the volume's first
    // listing page (which the walk lists next) whenever that page decides.
    if (volume != nullptr && m_tuning.maxInFlight > 1 && key == volume->prefix + kMarkerName) {
      const ListPage* first = nullptr;
      CJwError error = FirstPage(*volume, first);
      if (error.IsError()) return error;
      if (Decides(*first, key)) {
        for (const ListedObject& object : first->contents) exists |= object.key == key;
        return CJwError();
      }
    }
    Outcome outcome;
    CJwError error = Head(key, outcome);
    if (error.IsNotFound()) return CJwError();
    exists = !error.IsError();
    return error;
  }

  CJwError Size(const std::string& path, uint64_t& size) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string key;
    if (!PathToKey(m_location, path, key) || key.empty()) return OutsideRoot("HEAD", path);
    size_t slash = key.rfind('/');
    std::string folder = slash == std::string::npos ? "" : key.substr(0, slash);
    if (m_haveListing && folder == m_listedFolder) {
      auto found = m_listedSizes.find(key.substr(slash + 1));
      if (found != m_listedSizes.end()) {
        size = found->second;
        return CJwError();
      }
    }
    AtVolumeOf(key);
    Outcome outcome;
    CJwError error = Head(key, outcome);
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
    Volume* volume = AtVolumeOf(call.key);
    if (volume != nullptr && call.key == volume->prefix + kLabelName) volume->labelAsked = true;
    Plan();
    Outcome outcome;
    std::unique_ptr<Ahead> ahead =
        length <= kAheadWindow ? TakeAhead(GetName(call.key)) : nullptr;
    if (ahead != nullptr) {
      // The first kAheadWindow bytes answer a read of up to as many.
      outcome = ahead->request.outcome;
      outcome.got = std::min(outcome.got, length);
      memcpy(buffer, ahead->window.data(), outcome.got);
    } else {
      call.range = "bytes=0-" + std::to_string(length - 1);
      call.buffer = static_cast<char*>(buffer);
      call.capacity = length;
      Perform(call, outcome);
    }
    // An empty object has no byte 0 to start a range at: S3 answers 416.
    if (outcome.ok() || (outcome.curlCode == CURLE_OK && outcome.status == 416)) {
      bytesRead = outcome.ok() ? outcome.got : 0;
      return CJwError();
    }
    return Failure("GET", Name(call.key), outcome, NotFoundCode(outcome));
  }

 private:
  // Where a whole-prefix listing is with a volume: not answering it;
  // not there yet; at its keys; past them (the answer is complete); or the
  // volume is asked for with its own requests (the listing failed, the walk
  // got there first, or its answer was taken).
  enum class Swept { kNo, kAhead, kFilling, kComplete, kMissed };

  // A volume of the mount path, in the order of its listing, and what has
  // been asked ahead for it.
  struct Volume {
    std::string prefix;     // its key prefix, "p/V_1/"
    bool listAsked = false;   // first listing page
    bool labelAsked = false;
    bool headAsked = false;   // the marker's HEAD, for a listing of several pages
    bool headWanted = false;
    std::string nextToken;    // of the next page to ask ahead, when not empty
    std::unordered_set<std::string> tokens;  // seen, so that a loop ends
    bool walkLists = false;   // the walk lists it: no more pages ahead
    std::vector<std::string> asked;  // names of its answers made ahead
    // Its answer from a whole-prefix listing: its keys, once complete.
    Swept swept = Swept::kNo;
    size_t range = 0;  // the listing's, in m_ranges
    std::vector<ListedObject> keys;
    size_t keyBytes = 0;  // held, against S3Tuning::aheadBytes
  };


  // An answer made ahead.
  struct Ahead {
    Request request;
    std::string body;           // a listing page's XML, until it is read
    std::vector<char> window;   // a GET's bytes
    ListPage page;              // a listing page, once read
    bool usable = false;        // the answer the question would get now
    bool answered = false;      // it has answered a question of the walk
    size_t bytes = 0;           // held, against S3Tuning::aheadBytes
    size_t volume = 0;
    bool whole = false;         // a page of m_ranges[volume]'s listing
  };

  // A listing of the whole mount path prefix, without a delimiter, that
  // answers volumes [begin, end): it starts after the key that is the
  // begin volume's prefix without its "/", and its keys arrive in key
  // order, each volume's keys one after another.
  struct Range {
    size_t begin = 0, end = 0;
    size_t at = 0;        // the volume whose keys arrive now
    bool atSeen = false;  // a key of it has arrived
    size_t keys = 0, atKeys = 0;  // keys of its volumes so far; of `at`
    std::string token;    // of the next page; empty for the first
    std::unordered_set<std::string> tokens;  // seen, so that a loop ends
    std::unique_ptr<Ahead> page;             // in flight
    bool done = false;    // no more pages wanted
  };

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

  // HEAD of `key`, or its answer made ahead.
  CJwError Head(const std::string& key, Outcome& outcome) {
    if (std::unique_ptr<Ahead> ahead = TakeAhead(HeadName(key))) {
      outcome = ahead->request.outcome;
    } else {
      Call call;
      call.method = "HEAD";
      call.key = key;
      call.what = Name(key);
      Perform(call, outcome);
    }
    if (outcome.ok()) return CJwError();
    return Failure("HEAD", Name(key), outcome, NotFoundCode(outcome));
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

  // Sends `call` for the walk, retrying transient failures with exponential
  // backoff and jitter; every try is signed afresh. Requests made ahead
  // keep moving meanwhile.
  void Perform(const Call& call, Outcome& outcome) {
    m_signatures.clear();
    for (int attempt = 1;; ++attempt) {
      Request request;
      request.call = call;
      // The walk's request goes first: it waits only for a free slot.
      while (m_transfers.Running() >= m_transfers.Limit()) Step(100);
      if (m_transfers.Start(request)) Await(request);
      m_signatures.push_back(request.signature);
      outcome = request.outcome;
      outcome.tries = attempt;
      if (outcome.ok() || !request.transient || attempt >= m_tuning.maxTries) return;

      const std::string why = outcome.Brief();
      auto delay = m_tuning.backoffBase * (1 << std::min(attempt - 1, 16));
      delay = std::min<std::chrono::milliseconds>(delay, std::chrono::seconds(20));
      std::uniform_int_distribution<long> jitter(0, delay.count() / 2);
      auto wait = delay / 2 + std::chrono::milliseconds(jitter(m_random));
      m_debug.DebugLvl(kTag, 1, "S3 %s %s: %s; try %d of %d in %ld ms", call.method,
                       call.what.c_str(), Redact(why).c_str(), attempt + 1,
                       m_tuning.maxTries, static_cast<long>(wait.count()));
      const auto until = std::chrono::steady_clock::now() + wait;
      for (auto now = std::chrono::steady_clock::now(); now < until;
           now = std::chrono::steady_clock::now()) {
        Step(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1);
      }
    }
  }

  // Moves the transfers on until `request` is done, asking ahead meanwhile.
  void Await(const Request& request) {
    while (request.state == Request::State::kRunning) {
      Plan();
      Step(100);
    }
  }

  void Step(long waitMs) {
    m_finished.clear();
    m_transfers.Step(waitMs, m_finished);
    for (Request* request : m_finished) {
      if (request->owner != nullptr) Arrived(*static_cast<Ahead*>(request->owner));
    }
  }

  // The walk has listed the mount path root: its volume folders, in order.
  // Names the walk passes over (no "V_", or a line break) are left out.
  void PlanVolumes(const std::vector<std::string>& folders) {
    StopRanges(0);
    DropAhead(0, m_volumes.size());
    m_ranges.clear();
    m_volumes.clear();
    m_volumeIndex.clear();
    m_current = m_cursor = 0;
    const std::string root = RootPrefix();
    bool ascending = true;
    for (const std::string& name : folders) {
      if (!StartsWith(name, "V_") || name.find_first_of("\r\n") != std::string::npos) continue;
      m_volumeIndex.emplace(name, m_volumes.size());
      m_volumes.emplace_back();
      m_volumes.back().prefix = root + name + "/";
      ascending = ascending && (m_volumes.size() == 1 ||
                                m_volumes[m_volumes.size() - 2].prefix < m_volumes.back().prefix);
    }
    // Which requests answer the volumes' listings and markers, as measured
    // against s3rver at 20 ms a request (Bench/s3.sh, 16 in flight): for 8,
    // 100 and 200 volumes of 50 to 100 chunks, whole-prefix listings took
    // less time than the volumes' own listings (medians of 3 rounds), in
    // about half the requests (a page per 1000 keys instead of one per volume; a server
    // that walks its folders for every listing is spared a walk of all
    // sibling volumes per volume). One such listing used the least server
    // time, but its pages follow one another; listings of about 16 volumes
    // each, at once, finished first. Below 8 volumes the volumes' own
    // listings are kept (not measured: their pages are few, and run at
    // once). Volumes whose prefixes the root did not list in key order are
    // never answered this way, since the listing's keys come in that order.
    const size_t from = m_tuning.wholeListingFromVolumes;
    if (m_tuning.maxInFlight > 1 && from > 0 && m_volumes.size() >= from && ascending) {
      PlanRanges();
    }
  }

  std::string RootPrefix() const {
    return m_location.prefix.empty() ? "" : m_location.prefix + "/";
  }

  // Splits the volumes into whole-prefix listings, none begun yet.
  void PlanRanges() {
    const size_t per = std::max<size_t>(1, m_tuning.volumesPerWholeListing);
    const size_t most = static_cast<size_t>(std::max(1, m_tuning.maxInFlight / 2));
    const size_t count = std::min(most, (m_volumes.size() + per - 1) / per);
    m_ranges.resize(count);
    for (size_t r = 0; r < count; ++r) {
      Range& range = m_ranges[r];
      range.begin = range.at = r * m_volumes.size() / count;
      range.end = (r + 1) * m_volumes.size() / count;
      for (size_t i = range.begin; i < range.end; ++i) {
        m_volumes[i].swept = Swept::kAhead;
        m_volumes[i].range = r;
        m_volumes[i].listAsked = true;  // its listing is the range's
      }
    }
    m_wholeVolumes += static_cast<long>(m_volumes.size());
  }

  // Takes out of flight the pages of the listings that end at or before
  // volume `upTo` (all of them for 0): the walk is past them.
  void StopRanges(size_t upTo) {
    for (Range& range : m_ranges) {
      if (upTo != 0 && range.end > upTo) continue;
      if (range.page) m_transfers.Cancel(range.page->request);
      range.page.reset();
      range.done = true;
    }
  }

  void AskWholePage(size_t r) {
    Range& range = m_ranges[r];
    const std::string& first = m_volumes[range.begin].prefix;
    Call call;
    call.query = WholeQuery(RootPrefix(), first.substr(0, first.size() - 1), range.token);
    // Past its first page, a listing asks for about as many keys as its
    // volumes still hold, going by those it has passed, and a few more (a
    // key after the last volume's tells that it is complete): a full page
    // at the end would list the next listing's keys for nothing. When the
    // volume it is at has more keys than that already, it asks a full page.
    if (!range.token.empty() && range.at > range.begin) {
      const size_t perVolume = (range.keys - range.atKeys) / (range.at - range.begin);
      const size_t left = perVolume * (range.end - range.at);
      const size_t want = left > range.atKeys ? left - range.atKeys : 0;
      if (want > 0 && want + want / 8 + 2 < kKeysPerPage) {
        call.query.emplace_back("max-keys", std::to_string(want + want / 8 + 2));
      }
    }
    call.what = Name(RootPrefix());
    range.page = std::make_unique<Ahead>();
    Ahead& ahead = *range.page;
    ahead.whole = true;
    ahead.volume = r;
    call.body = &ahead.body;
    ahead.request.call = std::move(call);
    ahead.request.owner = &ahead;
    ++m_wholePages;
    if (!m_transfers.Start(ahead.request)) WholePageArrived(r);
  }

  // A page of listing `r` has come: its keys go to the volumes they fall
  // under, and a volume is complete once a key after its own arrives (or
  // the listing ends). A page that failed, or keys out of order, end the
  // listing: the volumes it has not completed are asked for on their own,
  // with no error told (the walk's own requests tell theirs).
  void WholePageArrived(size_t r) {
    Range& range = m_ranges[r];
    std::unique_ptr<Ahead> ahead = std::move(range.page);
    ListPage page;
    std::string error;
    if (!ahead->request.outcome.ok()) {
      error = ahead->request.outcome.Brief();
    } else if (!ParseListObjectsV2(ahead->body.data(), ahead->body.size(), page, error)) {
      error = "unreadable listing: " + error;
    }
    const std::string root = RootPrefix();
    for (const ListedObject& object : page.contents) {
      if (!error.empty() || range.done) break;
      size_t index = m_volumes.size();
      const size_t slash = object.key.find('/', root.size());
      if (StartsWith(object.key, root) && slash != std::string::npos) {
        auto found = m_volumeIndex.find(object.key.substr(root.size(), slash - root.size()));
        if (found != m_volumeIndex.end()) index = found->second;
      }
      if (index < range.begin) {
        continue;  // a volume before the listing's ("V_1!" after "V_1")
      } else if (index < range.at) {
        error = "key out of order: " + object.key;
      } else if (index == range.at) {
        Hold(range, object);
      } else if (index < m_volumes.size() || range.atSeen) {
        // Past the volume's keys (a key outside any volume before them may
        // come first: "V_1!" sorts before "V_1/").
        CloseUpTo(range, std::min(index, range.at + 1));
        if (index < m_volumes.size()) CloseUpTo(range, std::min(index, range.end));
        if (range.at >= range.end) {
          range.done = true;
        } else if (index == range.at) {
          Hold(range, object);
        }
      }
    }
    if (error.empty() && !range.done) {
      const std::string& next = page.nextContinuationToken;
      if (!page.isTruncated) {
        CloseUpTo(range, range.end);
        range.done = true;
      } else if (next.empty() || !range.tokens.insert(next).second) {
        error = "broken continuation";
      } else {
        range.token = next;
      }
    }
    if (!error.empty()) {
      ++m_wholeFailed;
      m_debug.DebugLvl(kTag, 2, "S3 LIST %s after %s: %s; its volumes are listed on their own",
                       ahead->request.call.what.c_str(), m_volumes[range.begin].prefix.c_str(),
                       Redact(error).c_str());
      range.atSeen = false;  // what it has of that volume may be short
      CloseUpTo(range, range.end);
      range.done = true;
    }
  }

  // The listing is past the keys of its volumes before `to`: the one it
  // was at is complete when a key of it came, every other is missed.
  void CloseUpTo(Range& range, size_t to) {
    for (; range.at < to; ++range.at) {
      Volume& volume = m_volumes[range.at];
      if (volume.swept == Swept::kFilling && range.atSeen) {
        volume.swept = Swept::kComplete;
      } else if (volume.swept == Swept::kAhead || volume.swept == Swept::kFilling) {
        Miss(range.at);
      }
      range.atSeen = false;
      range.atKeys = 0;
    }
  }

  // A key of the volume the listing is at.
  void Hold(Range& range, const ListedObject& object) {
    range.atSeen = true;
    ++range.keys;
    ++range.atKeys;
    Volume& volume = m_volumes[range.at];
    if (volume.swept == Swept::kAhead) volume.swept = Swept::kFilling;
    if (volume.swept != Swept::kFilling) return;
    volume.keys.push_back(object);
    const size_t bytes = sizeof object + object.key.size();
    volume.keyBytes += bytes;
    m_aheadBytes += bytes;
  }

  void ForgetKeys(Volume& volume) {
    m_aheadBytes -= volume.keyBytes;
    volume.keyBytes = 0;
    std::vector<ListedObject>().swap(volume.keys);
  }

  // Volume `index` is asked for with its own requests: ahead, too, unless
  // the walk lists it already.
  void Miss(size_t index) {
    Volume& volume = m_volumes[index];
    ForgetKeys(volume);
    volume.swept = Swept::kMissed;
    volume.listAsked = volume.walkLists;
    m_cursor = std::min(m_cursor, std::max(index, m_current));
    ++m_wholeMissed;
  }

  // Whether a whole-prefix listing answers `volume`, which the walk is at:
  // waits while the listing is at the volume's keys or about to be; a
  // listing that has not got there yet (or cannot go on) leaves the volume
  // to its own requests.
  bool WholeAnswers(Volume& volume) {
    const size_t index = static_cast<size_t>(&volume - m_volumes.data());
    for (;;) {
      if (volume.swept == Swept::kComplete) return true;
      if (volume.swept != Swept::kAhead && volume.swept != Swept::kFilling) return false;
      const Range& range = m_ranges[volume.range];
      Plan();
      // No page on its way and none to come (the store sends one request
      // at a time now): the volume's own requests answer it.
      const bool stuck = !range.page && (m_transfers.Limit() <= 1 ||
                                         m_transfers.Running() < m_transfers.Limit());
      if (range.done || range.at != index || stuck) {
        Miss(index);
        return false;
      }
      Step(100);
    }
  }

  // The answer of a complete volume as the one page of its listing with
  // the delimiter "/" would give it.
  void TakeSwept(Volume& volume, ListPage& page) {
    std::unordered_set<std::string> folders;
    for (ListedObject& object : volume.keys) {
      const size_t slash = object.key.find('/', volume.prefix.size());
      if (slash == std::string::npos) {
        page.contents.push_back(std::move(object));
      } else if (folders.insert(object.key.substr(0, slash + 1)).second) {
        page.commonPrefixes.push_back(object.key.substr(0, slash + 1));
      }
    }
    ForgetKeys(volume);
    volume.swept = Swept::kMissed;  // taken: asked again, it is asked anew
    ++m_wholeAnswered;
  }

  // Notes that the walk is at the volume of `key`, if it is one: what was
  // made ahead for the volumes before it will never be asked for.
  Volume* AtVolumeOf(const std::string& key) {
    const std::string root = m_location.prefix.empty() ? "" : m_location.prefix + "/";
    if (m_volumes.empty() || !StartsWith(key, root)) return nullptr;
    const size_t end = key.find('/', root.size());
    auto found = m_volumeIndex.find(key.substr(root.size(), end - root.size()));
    if (found == m_volumeIndex.end()) return nullptr;
    const size_t index = found->second;
    if (index > m_current) {
      DropAhead(m_current, index);
      m_current = index;
      m_cursor = std::max(m_cursor, index);
      StopRanges(index);
    }
    return index == m_current ? &m_volumes[index] : nullptr;
  }

  // Forgets what was made ahead for volumes [begin, end), in flight or not.
  void DropAhead(size_t begin, size_t end) {
    for (size_t i = begin; i < end && i < m_volumes.size(); ++i) {
      for (const std::string& name : m_volumes[i].asked) {
        auto found = m_ahead.find(name);
        if (found == m_ahead.end()) continue;
        m_transfers.Cancel(found->second->request);
        m_aheadBytes -= found->second->bytes;
        if (!found->second->answered) ++m_aheadUnused;
        m_ahead.erase(found);
      }
      m_volumes[i].asked.clear();
      if (m_volumes[i].swept == Swept::kComplete) ++m_wholePassed;
      ForgetKeys(m_volumes[i]);
      if (m_volumes[i].swept != Swept::kNo) m_volumes[i].swept = Swept::kMissed;
    }
  }

  // Puts the next requests of the volumes from the walk's on in flight,
  // volume by volume (first listing page, label, further pages, marker), as
  // long as slots and room for answers are free. Nothing is asked ahead
  // while the store sends one request at a time.
  void Plan() {
    if (m_transfers.Limit() <= 1) return;
    // The next page of each whole-prefix listing comes first: its pages
    // follow one another. The listing the walk is in goes on whatever
    // answers are held, since the walk waits for it.
    int waiting = 0;
    for (size_t r = 0; r < m_ranges.size(); ++r) {
      Range& range = m_ranges[r];
      if (range.done || range.page) continue;
      // Nothing left to answer: the walk got to its volumes first.
      bool wanted = false;
      for (size_t i = std::max(range.at, m_current); i < range.end && !wanted; ++i) {
        wanted = m_volumes[i].swept == Swept::kAhead || m_volumes[i].swept == Swept::kFilling;
      }
      if (!wanted) {
        range.done = true;
        continue;
      }
      const bool walkIn = range.begin <= m_current && m_current < range.end;
      if (!walkIn && m_aheadBytes >= m_tuning.aheadBytes) continue;
      if (m_transfers.Running() < m_transfers.Limit()) {
        AskWholePage(r);
      } else {
        ++waiting;
      }
    }
    while (m_transfers.Running() < m_transfers.Limit() - waiting &&
           m_aheadBytes < m_tuning.aheadBytes && m_cursor < m_volumes.size()) {
      Volume& volume = m_volumes[m_cursor];
      if (!volume.listAsked) {
        volume.listAsked = true;
        AskPage(m_cursor, "");
      } else if (!volume.labelAsked) {
        volume.labelAsked = true;
        Call call;
        call.key = volume.prefix + kLabelName;
        call.range = "bytes=0-" + std::to_string(kAheadWindow - 1);
        const std::string name = GetName(call.key);
        Ask(m_cursor, name, std::move(call));
      } else if (!volume.nextToken.empty() && !volume.walkLists) {
        const std::string token = std::move(volume.nextToken);
        volume.nextToken.clear();
        AskPage(m_cursor, token);
      } else if (volume.headWanted && !volume.headAsked && m_cursor > m_current) {
        volume.headAsked = true;
        Call call;
        call.method = "HEAD";
        call.key = volume.prefix + kMarkerName;
        const std::string name = HeadName(call.key);
        Ask(m_cursor, name, std::move(call));
      } else {
        ++m_cursor;
      }
    }
  }

  void AskPage(size_t volume, const std::string& token) {
    Call call;
    call.query = ListQuery(m_volumes[volume].prefix, token);
    Ask(volume, PageName(m_volumes[volume].prefix, token), std::move(call));
  }

  void Ask(size_t volume, const std::string& name, Call call) {
    auto ahead = std::make_unique<Ahead>();
    ahead->volume = volume;
    call.what = call.key.empty() ? Name(m_volumes[volume].prefix) : Name(call.key);
    if (call.key.empty()) {
      call.body = &ahead->body;
    } else if (std::strcmp(call.method, "HEAD") != 0) {
      ahead->window.resize(kAheadWindow);
      call.buffer = ahead->window.data();
      call.capacity = kAheadWindow;
    }
    ahead->request.call = std::move(call);
    ahead->request.owner = ahead.get();
    ++m_aheadMade;
    m_volumes[volume].asked.push_back(name);
    Ahead& placed = *(m_ahead[name] = std::move(ahead));
    m_transfers.Start(placed.request);
  }

  // An answer made ahead has come: keeps what the walk may use, and asks
  // for the volume's next listing page.
  void Arrived(Ahead& ahead) {
    if (ahead.whole) {
      WholePageArrived(ahead.volume);
      return;
    }
    const Outcome& outcome = ahead.request.outcome;
    const Call& call = ahead.request.call;
    if (call.body != nullptr) {
      std::string ignored;
      ahead.usable = outcome.ok() &&
                     ParseListObjectsV2(ahead.body.data(), ahead.body.size(), ahead.page, ignored);
      ahead.bytes = ahead.body.size();
      std::string().swap(ahead.body);
      Volume& volume = m_volumes[ahead.volume];
      const std::string& next = ahead.page.nextContinuationToken;
      if (ahead.usable && ahead.page.isTruncated && !next.empty() && !volume.walkLists &&
          volume.tokens.insert(next).second) {
        volume.nextToken = next;
        volume.headWanted = !Decides(ahead.page, volume.prefix + kMarkerName);
        m_cursor = std::min(m_cursor, std::max(ahead.volume, m_current));
      }
    } else {
      // A 404 is the answer itself; a failure that is not may pass when
      // asked again, and is then reported.
      ahead.usable = outcome.ok() || NotFoundCode(outcome) == JW_ERR_NOT_FOUND ||
                     (outcome.curlCode == CURLE_OK && outcome.status == 416);
      ahead.bytes = ahead.window.size();
    }
    m_aheadBytes += ahead.bytes;
  }

  // Whether `page`, the first of its folder, shows `key` if it exists: when
  // it is the only page, or lists a name at or after `key` (S3 lists in
  // ascending byte order).
  static bool Decides(const ListPage& page, const std::string& key) {
    if (!page.isTruncated) return true;
    std::string last = page.contents.empty() ? "" : page.contents.back().key;
    if (!page.commonPrefixes.empty()) last = std::max(last, page.commonPrefixes.back());
    return key <= last;
  }

  // The first listing page of `volume`: made ahead, or asked now (with the
  // usual retries) and kept for the walk's listing of the volume.
  CJwError FirstPage(Volume& volume, const ListPage*& page) {
    const std::string name = PageName(volume.prefix, "");
    if (const Ahead* ahead = PeekAhead(name)) {
      page = &ahead->page;
      return CJwError();
    }
    const std::string what = Name(volume.prefix);
    volume.listAsked = true;  // asked now: not ahead meanwhile
    auto ahead = std::make_unique<Ahead>();
    Call call;
    call.query = ListQuery(volume.prefix, "");
    call.what = what;
    call.body = &ahead->body;
    Outcome outcome;
    Perform(call, outcome);
    if (!outcome.ok()) return Failure("LIST", what, outcome, JW_ERR_FAILED);
    std::string error;
    if (!ParseListObjectsV2(ahead->body.data(), ahead->body.size(), ahead->page, error)) {
      return ListingError(what, "unreadable listing: " + error);
    }
    auto failed = m_ahead.find(name);
    if (failed != m_ahead.end()) {
      m_transfers.Cancel(failed->second->request);
      m_aheadBytes -= failed->second->bytes;
      ++m_aheadFailed;
      m_ahead.erase(failed);
    }
    volume.listAsked = true;
    ahead->request.state = Request::State::kDone;
    ahead->usable = ahead->answered = true;
    ahead->volume = static_cast<size_t>(&volume - m_volumes.data());
    ahead->bytes = ahead->body.size();
    std::string().swap(ahead->body);
    m_aheadBytes += ahead->bytes;
    volume.asked.push_back(name);
    page = &(m_ahead[name] = std::move(ahead))->page;
    return CJwError();
  }

  // The answer made ahead under `name`, if any, waited for.
  Ahead* PeekAhead(const std::string& name) {
    auto found = m_ahead.find(name);
    if (found == m_ahead.end()) return nullptr;
    Ahead* ahead = found->second.get();
    Await(ahead->request);
    if (!ahead->usable) return nullptr;
    if (!ahead->answered) ++m_aheadUsed;
    ahead->answered = true;
    return ahead;
  }

  // The answer made ahead under `name`, taken: null when none was made or
  // it failed (the caller then asks as it always did).
  std::unique_ptr<Ahead> TakeAhead(const std::string& name) {
    if (m_ahead.count(name) == 0) return nullptr;
    PeekAhead(name);
    // Found again: asking ahead meanwhile may have moved the entries.
    auto found = m_ahead.find(name);
    std::unique_ptr<Ahead> ahead = std::move(found->second);
    m_ahead.erase(found);
    m_aheadBytes -= ahead->bytes;
    if (!ahead->usable) {
      ++m_aheadFailed;
      return nullptr;
    }
    // The signature of the answer's own request, should its text hold it.
    m_signatures.assign(1, ahead->request.signature);
    ahead->request.outcome.tries = 1;
    return ahead;
  }

  const S3Location m_location;
  const SigV4Credentials m_credentials;
  const S3Tuning m_tuning;
  std::mutex m_mutex;  // one caller at a time
  Transfers m_transfers;
  std::vector<Request*> m_finished;
  std::minstd_rand m_random;
  std::vector<std::string> m_signatures;  // of the current call, for Redact
  EvDebug m_debug;
  // Sizes of the objects of the most recent listing, by bare name.
  bool m_haveListing = false;
  std::string m_listedFolder;
  std::unordered_map<std::string, uint64_t> m_listedSizes;
  // Asking ahead.
  std::vector<Volume> m_volumes;
  std::unordered_map<std::string, size_t> m_volumeIndex;
  size_t m_current = 0;  // the volume the walk is at
  size_t m_cursor = 0;   // the first volume from there with more to ask ahead
  std::unordered_map<std::string, std::unique_ptr<Ahead>> m_ahead;
  size_t m_aheadBytes = 0;
  long m_aheadMade = 0, m_aheadUsed = 0, m_aheadUnused = 0, m_aheadFailed = 0;
  // Whole-prefix listings (cancelled in the destructor: their requests
  // must not outlive the transfers).
  std::vector<Range> m_ranges;
  long m_wholePages = 0, m_wholeFailed = 0, m_wholeVolumes = 0, m_wholeAnswered = 0,
       m_wholeMissed = 0, m_wholePassed = 0;
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

// The component opens one store per lister and shares it between the
// lister's file system and its file interfaces (CloudFS.cpp), so the labels
// read through a file interface come from the same requests made ahead as
// the listings. A store serves one thread.
std::shared_ptr<CloudStore> MakeS3Store(const tzhost::MountPathEntry& entry,
                                        CJwError& error) {
  tzs3::S3Tuning tuning;
  tuning.maxInFlight = entry.maxRequestsInFlight;
  return tzs3::MakeS3StoreTuned(entry, tuning, error);
}
