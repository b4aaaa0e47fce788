#include "S3WholeListings.h"

#include <algorithm>

#include "Ascii.h"

namespace tzs3 {
namespace {

const size_t kKeysPerPage = 1000;  // what a listing page holds at most

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

}  // namespace

WholeListings::WholeListings(Requests& requests, const WalkPattern& walk, size_t& held,
                             std::function<void(size_t)> missed)
    : m_requests(requests), m_walk(walk), m_held(held), m_missed(std::move(missed)) {}

void WholeListings::Reset() {
  Stop(0);
  Drop(0, m_folders.size());
  m_ranges.clear();
  m_folders.assign(m_walk.Count(), Folder());
  const S3Tuning& tuning = m_requests.Tuning();
  const size_t from = tuning.wholeListingFromVolumes;
  if (tuning.maxInFlight > 1 && from > 0 && m_folders.size() >= from && m_walk.Ascending()) {
    PlanRanges();
  }
}

// Splits the subfolders into listings, none begun yet.
void WholeListings::PlanRanges() {
  const S3Tuning& tuning = m_requests.Tuning();
  const size_t per = std::max<size_t>(1, tuning.volumesPerWholeListing);
  const size_t most = static_cast<size_t>(std::max(1, tuning.maxInFlight / 2));
  const size_t count = std::min(most, (m_folders.size() + per - 1) / per);
  m_ranges.resize(count);
  for (size_t r = 0; r < count; ++r) {
    Range& range = m_ranges[r];
    range.begin = range.at = r * m_folders.size() / count;
    range.end = (r + 1) * m_folders.size() / count;
    for (size_t i = range.begin; i < range.end; ++i) {
      m_folders[i].swept = Swept::kAhead;
      m_folders[i].range = r;
    }
  }
  m_counts.volumes += static_cast<long>(m_folders.size());
}

void WholeListings::Stop(size_t upTo) {
  for (Range& range : m_ranges) {
    if (upTo != 0 && range.end > upTo) continue;
    if (range.page) m_requests.Cancel(range.page->request);
    range.page.reset();
    range.done = true;
  }
}

void WholeListings::Drop(size_t begin, size_t end) {
  for (size_t i = begin; i < end && i < m_folders.size(); ++i) {
    if (m_folders[i].swept == Swept::kComplete) ++m_counts.passed;
    ForgetKeys(m_folders[i]);
    if (m_folders[i].swept != Swept::kNo) m_folders[i].swept = Swept::kMissed;
  }
}

int WholeListings::Ask(size_t current) {
  int waiting = 0;
  for (size_t r = 0; r < m_ranges.size(); ++r) {
    Range& range = m_ranges[r];
    if (range.done || range.page || !Wanted(range, current)) continue;
    const bool walkIn = range.begin <= current && current < range.end;
    if (!walkIn && m_held >= m_requests.Tuning().aheadBytes) continue;
    if (m_requests.Running() < m_requests.Limit()) {
      AskPage(r);
    } else {
      ++waiting;
    }
  }
  return waiting;
}

// Whether `range` has something left to answer; done when the walk got to
// its subfolders first.
bool WholeListings::Wanted(Range& range, size_t current) {
  for (size_t i = std::max(range.at, current); i < range.end; ++i) {
    if (m_folders[i].swept == Swept::kAhead || m_folders[i].swept == Swept::kFilling) return true;
  }
  range.done = true;
  return false;
}

void WholeListings::AskPage(size_t r) {
  Range& range = m_ranges[r];
  const std::string& first = m_walk.Prefix(range.begin);
  Call call;
  call.query = WholeQuery(m_walk.Parent(), first.substr(0, first.size() - 1), range.token);
  // Past its first page, a listing asks for about as many keys as its
  // subfolders still hold, going by those it has passed, and a few more (a
  // key after the last subfolder's tells that it is complete): a full page
  // at the end would list the next listing's keys for nothing. When the
  // subfolder it is at has more keys than that already, it asks a full page.
  if (!range.token.empty() && range.at > range.begin) {
    const size_t perFolder = (range.keys - range.atKeys) / (range.at - range.begin);
    const size_t left = perFolder * (range.end - range.at);
    const size_t want = left > range.atKeys ? left - range.atKeys : 0;
    if (want > 0 && want + want / 8 + 2 < kKeysPerPage) {
      call.query.emplace_back("max-keys", std::to_string(want + want / 8 + 2));
    }
  }
  call.what = m_requests.Name(m_walk.Parent());
  range.page = std::make_unique<Page>();
  Page& page = *range.page;
  page.owner = this;
  page.range = r;
  call.body = &page.body;
  page.request.call = std::move(call);
  ++m_counts.pages;
  if (!m_requests.StartAhead(page.request, page)) PageArrived(r);
}

// A page of listing `r` has come: its keys go to the subfolders they fall
// under. A page that failed, or keys out of order, end the listing: the
// subfolders it has not completed are asked for on their own, with no error
// told (the walk's own requests tell theirs).
void WholeListings::PageArrived(size_t r) {
  Range& range = m_ranges[r];
  std::unique_ptr<Page> arrived = std::move(range.page);
  ListPage page;
  std::string error;
  if (!arrived->request.outcome.ok()) {
    error = arrived->request.outcome.Brief();
  } else if (!ParseListObjectsV2(arrived->body.data(), arrived->body.size(), page, error)) {
    error = "unreadable listing: " + error;
  }
  if (error.empty()) error = ReadKeys(range, page);
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
    ++m_counts.failed;
    m_requests.Debug().DebugLvl(
        kStoreTag, 2, "S3 LIST %s after %s: %s; its volumes are listed on their own",
        arrived->request.call.what.c_str(), m_walk.Prefix(range.begin).c_str(),
        m_requests.Redaction().Redact(error).c_str());
    range.atSeen = false;  // what it has of that subfolder may be short
    CloseUpTo(range, range.end);
    range.done = true;
  }
}

// Gives the keys of `page` to the subfolders they fall under; a subfolder is
// complete once a key after its own arrives. Returns the error that ends
// the listing, if any.
std::string WholeListings::ReadKeys(Range& range, const ListPage& page) {
  const std::string& parent = m_walk.Parent();
  const size_t count = m_folders.size();
  for (const ListedObject& object : page.contents) {
    if (range.done) break;
    size_t index = count;
    if (object.key.find('/', parent.size()) != std::string::npos) {
      index = std::min(m_walk.Find(object.key), count);
    }
    if (index < range.begin) {
      continue;  // a subfolder before the listing's ("V_1!" after "V_1")
    } else if (index < range.at) {
      return "key out of order: " + object.key;
    } else if (index == range.at) {
      Hold(range, object);
    } else if (index < count || range.atSeen) {
      // Past the subfolder's keys (a key outside any subfolder before them
      // may come first: "V_1!" sorts before "V_1/").
      CloseUpTo(range, std::min(index, range.at + 1));
      if (index < count) CloseUpTo(range, std::min(index, range.end));
      if (range.at >= range.end) {
        range.done = true;
      } else if (index == range.at) {
        Hold(range, object);
      }
    }
  }
  return "";
}

// The listing is past the keys of its subfolders before `to`: the one it
// was at is complete when a key of it came, every other is missed.
void WholeListings::CloseUpTo(Range& range, size_t to) {
  for (; range.at < to; ++range.at) {
    Folder& folder = m_folders[range.at];
    if (folder.swept == Swept::kFilling && range.atSeen) {
      folder.swept = Swept::kComplete;
    } else if (folder.swept == Swept::kAhead || folder.swept == Swept::kFilling) {
      Miss(range.at);
    }
    range.atSeen = false;
    range.atKeys = 0;
  }
}

// A key of the subfolder the listing is at.
void WholeListings::Hold(Range& range, const ListedObject& object) {
  range.atSeen = true;
  ++range.keys;
  ++range.atKeys;
  Folder& folder = m_folders[range.at];
  if (folder.swept == Swept::kAhead) folder.swept = Swept::kFilling;
  if (folder.swept != Swept::kFilling) return;
  folder.keys.push_back(object);
  const size_t bytes = sizeof object + object.key.size();
  folder.keyBytes += bytes;
  m_held += bytes;
}

void WholeListings::ForgetKeys(Folder& folder) {
  m_held -= folder.keyBytes;
  folder.keyBytes = 0;
  std::vector<ListedObject>().swap(folder.keys);
}

// Subfolder `index` is asked for with its own requests.
void WholeListings::Miss(size_t index) {
  ForgetKeys(m_folders[index]);
  m_folders[index].swept = Swept::kMissed;
  ++m_counts.missed;
  m_missed(index);
}

bool WholeListings::Covers(size_t index) const {
  if (index >= m_folders.size()) return false;
  const Swept swept = m_folders[index].swept;
  return swept == Swept::kAhead || swept == Swept::kFilling || swept == Swept::kComplete;
}

bool WholeListings::Answers(size_t index) {
  Folder& folder = m_folders[index];
  for (;;) {
    if (folder.swept == Swept::kComplete) return true;
    if (folder.swept != Swept::kAhead && folder.swept != Swept::kFilling) return false;
    const Range& range = m_ranges[folder.range];
    m_requests.Plan();
    // No page on its way and none to come (the store sends one request at
    // a time now): the subfolder's own requests answer it.
    const bool stuck = !range.page && (m_requests.Limit() <= 1 ||
                                       m_requests.Running() < m_requests.Limit());
    if (range.done || range.at != index || stuck) {
      Miss(index);
      return false;
    }
    m_requests.Step(100);
  }
}

bool WholeListings::Holds(size_t index, const std::string& key) const {
  for (const ListedObject& object : m_folders[index].keys) {
    if (object.key == key) return true;
  }
  return false;
}

void WholeListings::Take(size_t index, ListPage& page) {
  Folder& folder = m_folders[index];
  const std::string& prefix = m_walk.Prefix(index);
  std::unordered_set<std::string> folders;
  for (ListedObject& object : folder.keys) {
    const size_t slash = object.key.find('/', prefix.size());
    if (slash == std::string::npos) {
      page.contents.push_back(std::move(object));
    } else if (folders.insert(object.key.substr(0, slash + 1)).second) {
      page.commonPrefixes.push_back(object.key.substr(0, slash + 1));
    }
  }
  ForgetKeys(folder);
  folder.swept = Swept::kMissed;
  ++m_counts.answered;
}

}  // namespace tzs3
