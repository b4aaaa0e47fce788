// The store's face: the CloudStore calls, answered from what was asked
// ahead (S3Ahead.h, S3WholeListings.h) or with requests of their own
// (S3Requests.h), while the store learns the walk's pattern from them
// (S3WalkPattern.h).
#include "S3Store.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "Ascii.h"
#include "S3Ahead.h"
#include "S3Requests.h"
#include "S3Statistics.h"
#include "S3WalkPattern.h"
#include "S3WholeListings.h"
#include "SigV4.h"

namespace tzs3 {
namespace {

const size_t kNone = WalkPattern::kNone;

// One folder's listing, gathered page by page.
struct Listing {
  std::vector<std::string> files, folders;
  std::unordered_set<std::string> seenFolders, seenTokens;
  std::unordered_map<std::string, uint64_t> sizes;
};

class S3Store : public CloudStore {
 public:
  S3Store(const S3Location& location, const SigV4Credentials& credentials,
          const S3Tuning& tuning)
      : m_requests(location, credentials, tuning),
        m_ahead(m_requests, m_walk),
        m_whole(m_requests, m_walk, m_ahead.Held(), [this](size_t i) { m_ahead.Rewind(i); }) {
    m_requests.OnWait([this] { Plan(); });
  }

  ~S3Store() override {
    m_whole.Stop(0);
    m_ahead.Drop(0, m_walk.Count());
    m_whole.Drop(0, m_walk.Count());
    LogCounts(m_requests.Debug(), m_requests.Location().root, m_requests.Sent(),
              m_ahead.Counts(), m_whole.Counts());
  }

  bool Init(std::string& error) { return m_requests.Init(error); }

  CJwError List(const std::string& path, std::vector<std::string>& files,
                std::vector<std::string>& folders) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string folderKey;
    if (!PathToKey(m_requests.Location(), path, folderKey)) {
      return m_requests.OutsideRoot("LIST", path);
    }
    const std::string prefix = folderKey.empty() ? "" : folderKey + "/";
    // The walk lists a subfolder it visits itself from here on.
    size_t index = Visit(prefix);
    if (index != kNone && prefix != m_walk.Prefix(index)) index = kNone;
    if (index != kNone) {
      m_ahead.WalkLists(index);
      if (m_walk.LearnListing()) m_ahead.Rewind(index);
    }
    Plan();
    // A subfolder that a whole-prefix listing answers is one page.
    bool whole = index != kNone && m_whole.Answers(index);

    Listing listing;
    std::string token;
    for (;;) {
      ListPage page;
      if (whole) {
        m_whole.Take(index, page);
        whole = false;
      } else if (std::unique_ptr<Ahead> ahead = m_ahead.Take(PageName(prefix, token))) {
        page = std::move(ahead->page);
      } else {
        std::string body;
        CJwError error = m_requests.ListPageNow(prefix, token, body, page);
        if (error.IsError()) return error;
      }
      CJwError error = Gather(page, prefix, listing);
      if (error.IsError()) return error;
      if (!page.isTruncated) break;
      error = NextToken(page, prefix, listing, token);
      if (error.IsError()) return error;
    }

    // The sizes of this listing answer Size() for its objects; only the most
    // recent folder is kept, so memory stays flat over a walk.
    m_listedFolder = folderKey;
    m_listedSizes = std::move(listing.sizes);
    m_haveListing = true;
    // A folder listed outside the subfolders the walk visits: its own
    // subfolders are the ones it visits next.
    if (m_walk.Listed(prefix, listing.folders)) Replan();
    files = std::move(listing.files);
    folders = std::move(listing.folders);
    return CJwError();
  }

  CJwError Exists(const std::string& path, bool& exists) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    exists = false;
    std::string key;
    if (!PathToKey(m_requests.Location(), path, key) || key.empty()) {
      return m_requests.OutsideRoot("HEAD", path);
    }
    const size_t index = Visit(key);
    Learn(index, WalkPattern::Question::kExists, key, true);
    Plan();
    const bool direct = InFolder(index, key);
    if (direct && m_whole.Answers(index)) {
      exists = m_whole.Holds(index, key);
      return CJwError();
    }
    // When asking ahead, whether a name in the subfolder exists is read from
    // the subfolder's first listing page whenever that page decides.
    if (direct && m_requests.Tuning().maxInFlight > 1) {
      const ListPage* first = nullptr;
      CJwError error = m_ahead.FirstPage(index, first);
      if (error.IsError()) return error;
      if (PageDecides(*first, key)) {
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
    if (!PathToKey(m_requests.Location(), path, key) || key.empty()) {
      return m_requests.OutsideRoot("HEAD", path);
    }
    size_t slash = key.rfind('/');
    std::string folder = slash == std::string::npos ? "" : key.substr(0, slash);
    if (m_haveListing && folder == m_listedFolder) {
      auto found = m_listedSizes.find(key.substr(slash + 1));
      if (found != m_listedSizes.end()) {
        size = found->second;
        return CJwError();
      }
    }
    Visit(key);
    Outcome outcome;
    CJwError error = Head(key, outcome);
    if (error.IsError()) return error;
    if (outcome.contentLength < 0) {
      return CJwError(JW_ERR_FAILED, "S3 HEAD " + m_requests.Name(key) + ": no Content-Length");
    }
    size = static_cast<uint64_t>(outcome.contentLength);
    return CJwError();
  }

  CJwError ReadPrefix(const std::string& path, void* buffer, size_t length,
                      size_t& bytesRead) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    bytesRead = 0;
    Call call;
    if (!PathToKey(m_requests.Location(), path, call.key) || call.key.empty()) {
      return m_requests.OutsideRoot("GET", path);
    }
    call.what = m_requests.Name(call.key);
    if (length == 0) return CJwError();
    // Only a read that an answer made ahead can answer is learned.
    const bool windowed = length <= kAheadWindow;
    Learn(Visit(call.key), WalkPattern::Question::kRead, call.key, windowed);
    Plan();
    Outcome outcome;
    std::unique_ptr<Ahead> ahead = windowed ? m_ahead.Take(GetName(call.key)) : nullptr;
    if (ahead != nullptr) {
      // The first kAheadWindow bytes answer a read of up to as many.
      outcome = ahead->request.outcome;
      outcome.got = std::min(outcome.got, length);
      memcpy(buffer, ahead->window.data(), outcome.got);
    } else {
      call.range = "bytes=0-" + std::to_string(length - 1);
      call.buffer = static_cast<char*>(buffer);
      call.capacity = length;
      m_requests.Perform(call, outcome);
    }
    if (outcome.ok() || EmptyRange(outcome)) {
      bytesRead = outcome.ok() ? outcome.got : 0;
      return CJwError();
    }
    return m_requests.Failure("GET", call.what, outcome, NotFoundCode(outcome));
  }

 private:
  // Notes that the walk asks about `key`. Returns the subfolder the walk is
  // at when `key` lies in it (kNone otherwise); what was made ahead for the
  // subfolders it has left behind will never be asked for.
  size_t Visit(const std::string& key) {
    bool planned = false;
    const size_t index = m_walk.Locate(key, planned);
    if (planned) {
      m_ahead.Reset();
      m_whole.Reset();
    }
    if (index == kNone) return kNone;
    const size_t current = m_ahead.Current();
    if (index > current) {
      m_whole.Drop(current, index);
      m_ahead.MoveTo(index);
      m_whole.Stop(index);
    }
    return index == m_ahead.Current() ? index : kNone;
  }

  // The walk's question about `key` in subfolder `index` (kNone: none) joins
  // the pattern (when `grow`), and is not asked ahead in that subfolder.
  void Learn(size_t index, WalkPattern::Question question, const std::string& key, bool grow) {
    if (index == kNone) return;
    size_t entry = kNone;
    if (m_walk.Learn(index, question, key, grow, entry)) m_ahead.Rewind(index);
    if (entry != kNone) m_ahead.WalkAsks(index, entry);
  }

  // Whether `key` names an object in subfolder `index` itself.
  bool InFolder(size_t index, const std::string& key) const {
    if (index == kNone) return false;
    const std::string& prefix = m_walk.Prefix(index);
    return key.size() > prefix.size() && StartsWith(key, prefix) &&
           key.find('/', prefix.size()) == std::string::npos;
  }

  // The subfolders and the pattern are learned anew.
  void Replan() {
    m_ahead.Reset();
    m_whole.Reset();
  }

  // Puts requests made ahead in flight: the next page of each whole-prefix
  // listing first (their pages follow one another), then the subfolders'
  // own. Nothing is asked ahead while the store sends one request at a time.
  void Plan() {
    if (m_requests.Limit() <= 1) return;
    const int waiting = m_whole.Ask(m_ahead.Current());
    m_ahead.Ask(waiting, m_whole);
  }

  // HEAD of `key`, or its answer made ahead.
  CJwError Head(const std::string& key, Outcome& outcome) {
    if (std::unique_ptr<Ahead> ahead = m_ahead.Take(HeadName(key))) {
      outcome = ahead->request.outcome;
    } else {
      Call call;
      call.method = "HEAD";
      call.key = key;
      call.what = m_requests.Name(key);
      m_requests.Perform(call, outcome);
    }
    if (outcome.ok()) return CJwError();
    return m_requests.Failure("HEAD", m_requests.Name(key), outcome, NotFoundCode(outcome));
  }

  CJwError Gather(ListPage& page, const std::string& prefix, Listing& listing);
  CJwError NextToken(const ListPage& page, const std::string& prefix, Listing& listing,
                     std::string& token);

  Requests m_requests;
  WalkPattern m_walk;
  AheadAnswers m_ahead;
  WholeListings m_whole;
  std::mutex m_mutex;  // one caller at a time
  // Sizes of the objects of the most recent listing, by bare name.
  bool m_haveListing = false;
  std::string m_listedFolder;
  std::unordered_map<std::string, uint64_t> m_listedSizes;
};

// Adds the names of `page`, a listing page of the folder `prefix`.
CJwError S3Store::Gather(ListPage& page, const std::string& prefix, Listing& listing) {
  const std::string what = m_requests.Name(prefix);
  for (ListedObject& object : page.contents) {
    if (!StartsWith(object.key, prefix)) {
      return m_requests.ListingError(what, "listed key outside the prefix: " + object.key);
    }
    std::string name = object.key.substr(prefix.size());
    if (name.empty()) continue;  // the folder's own marker object
    if (name.find('/') != std::string::npos) {
      return m_requests.ListingError(what, "listed key below the folder: " + object.key);
    }
    listing.sizes[name] = object.size;
    listing.files.push_back(std::move(name));
  }
  for (const std::string& common : page.commonPrefixes) {
    if (!StartsWith(common, prefix) || common.size() <= prefix.size() || common.back() != '/') {
      return m_requests.ListingError(what, "listed folder outside the prefix: " + common);
    }
    std::string name = common.substr(prefix.size(), common.size() - prefix.size() - 1);
    // A key such as "V_1//x" shows an empty folder name, which no component
    // path can name; it is passed over on purpose.
    if (name.empty()) continue;
    if (listing.seenFolders.insert(name).second) listing.folders.push_back(std::move(name));
  }
  return CJwError();
}

// The token of the page after `page`, which is truncated.
CJwError S3Store::NextToken(const ListPage& page, const std::string& prefix, Listing& listing,
                            std::string& token) {
  const std::string what = m_requests.Name(prefix);
  if (page.nextContinuationToken.empty()) {
    return m_requests.ListingError(what, "truncated page without a continuation token");
  }
  if (!listing.seenTokens.insert(page.nextContinuationToken).second) {
    return m_requests.ListingError(what, "continuation token repeated");
  }
  token = page.nextContinuationToken;
  return CJwError();
}

}  // namespace

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
// lister's file system and its file interfaces (CloudFS.cpp), so the files
// read through a file interface come from the same requests made ahead as
// the listings. A store serves one thread.
std::shared_ptr<CloudStore> MakeS3Store(const tzhost::MountPathEntry& entry,
                                        CJwError& error) {
  tzs3::S3Tuning tuning;
  tuning.maxInFlight = entry.maxRequestsInFlight;
  return tzs3::MakeS3StoreTuned(entry, tuning, error);
}
