#include "S3Ahead.h"

#include <cstring>

#include "S3WholeListings.h"

namespace tzs3 {
namespace {

// The last key or folder a listing page shows.
std::string LastShown(const ListPage& page) {
  std::string last = page.contents.empty() ? "" : page.contents.back().key;
  if (!page.commonPrefixes.empty()) last = std::max(last, page.commonPrefixes.back());
  return last;
}

}  // namespace

std::string PageName(const std::string& prefix, const std::string& token) {
  return std::string("L") + prefix + '\0' + token;
}

bool PageDecides(const ListPage& page, const std::string& key) {
  if (!page.isTruncated) return true;
  return key <= LastShown(page);
}

void Ahead::Arrived() { answers->Arrived(*this); }

AheadAnswers::AheadAnswers(Requests& requests, const WalkPattern& walk)
    : m_requests(requests), m_walk(walk) {}

void AheadAnswers::Reset() {
  Drop(0, m_folders.size());
  m_folders.assign(m_walk.Count(), Folder());
  m_current = m_cursor = 0;
}

void AheadAnswers::MoveTo(size_t index) {
  if (index <= m_current) return;
  Drop(m_current, index);
  m_current = index;
  m_cursor = std::max(m_cursor, index);
}

void AheadAnswers::Drop(size_t begin, size_t end) {
  for (size_t i = begin; i < end && i < m_folders.size(); ++i) {
    for (const std::string& name : m_folders[i].names) {
      auto found = m_ahead.find(name);
      if (found == m_ahead.end()) continue;
      m_requests.Cancel(found->second->request);
      m_held -= found->second->bytes;
      if (!found->second->answered) ++m_counts.unused;
      m_ahead.erase(found);
    }
    m_folders[i].names.clear();
  }
}

void AheadAnswers::WalkLists(size_t index) {
  m_folders[index].listAsked = m_folders[index].walkLists = true;
}

void AheadAnswers::WalkAsks(size_t index, size_t entry) {
  std::vector<bool>& asked = m_folders[index].asked;
  if (asked.size() <= entry) asked.resize(entry + 1, false);
  asked[entry] = true;
}

void AheadAnswers::Ask(int waiting, const WholeListings& whole) {
  while (m_requests.Running() < m_requests.Limit() - waiting &&
         m_held < m_requests.Tuning().aheadBytes && m_cursor < m_folders.size()) {
    if (!AskNext(m_cursor, whole)) ++m_cursor;
  }
}

// Puts the next request for subfolder `index` in flight, in the order the
// walk asked the pattern's questions, then the HEADs that no listing page
// made ahead answers; false when there is none.
bool AheadAnswers::AskNext(size_t index, const WholeListings& whole) {
  m_folders[index].asked.resize(m_walk.Entries().size(), false);
  for (size_t e = 0; e < m_walk.Entries().size(); ++e) {
    if (AskFor(index, e, whole)) return true;
  }
  if (index <= m_current) return false;
  const std::vector<WalkPattern::Entry>& entries = m_walk.Entries();
  Folder& folder = m_folders[index];
  for (size_t e = 0; e < entries.size(); ++e) {
    const std::string key = m_walk.Prefix(index) + entries[e].name;
    if (entries[e].question != WalkPattern::Question::kExists || !entries[e].direct ||
        folder.asked[e] || !folder.partShown || key <= folder.shownUpTo) {
      continue;
    }
    folder.asked[e] = true;
    AskObject(index, "HEAD", key);
    return true;
  }
  return false;
}

// Asks what entry `e` of the pattern still wants in subfolder `index`: the
// first listing page for a listing or a name it shows, further pages for a
// listing, a GET for a read, a HEAD for a name deeper down.
bool AheadAnswers::AskFor(size_t index, size_t e, const WholeListings& whole) {
  using Question = WalkPattern::Question;
  Folder& folder = m_folders[index];
  const WalkPattern::Entry& entry = m_walk.Entries()[e];
  if (entry.question == Question::kList || (entry.question == Question::kExists && entry.direct)) {
    if (!folder.listAsked && !whole.Covers(index)) {
      folder.listAsked = true;
      AskPage(index, "");
      return true;
    }
    if (entry.question != Question::kList || folder.nextToken.empty() || folder.walkLists) {
      return false;
    }
    const std::string token = std::move(folder.nextToken);
    folder.nextToken.clear();
    AskPage(index, token);
    return true;
  }
  if (folder.asked[e] || (entry.question == Question::kExists && index <= m_current)) {
    return false;
  }
  folder.asked[e] = true;
  const char* method = entry.question == Question::kRead ? "GET" : "HEAD";
  AskObject(index, method, m_walk.Prefix(index) + entry.name);
  return true;
}

// A GET of the first window of `key`, or its HEAD.
void AheadAnswers::AskObject(size_t index, const char* method, const std::string& key) {
  Call call;
  call.method = method;
  call.key = key;
  const bool head = std::strcmp(method, "HEAD") == 0;
  if (!head) call.range = "bytes=0-" + std::to_string(kAheadWindow - 1);
  AskCall(index, head ? HeadName(key) : GetName(key), std::move(call));
}

void AheadAnswers::AskPage(size_t index, const std::string& token) {
  const std::string& prefix = m_walk.Prefix(index);
  Call call;
  call.query = ListQuery(prefix, token);
  AskCall(index, PageName(prefix, token), std::move(call));
}

void AheadAnswers::AskCall(size_t index, const std::string& name, Call call) {
  auto ahead = std::make_unique<Ahead>();
  ahead->folder = index;
  ahead->answers = this;
  call.what = m_requests.Name(call.key.empty() ? m_walk.Prefix(index) : call.key);
  if (call.key.empty()) {
    call.body = &ahead->body;
  } else if (std::strcmp(call.method, "HEAD") != 0) {
    ahead->window.resize(kAheadWindow);
    call.buffer = ahead->window.data();
    call.capacity = kAheadWindow;
  }
  ahead->request.call = std::move(call);
  ++m_counts.made;
  m_folders[index].names.push_back(name);
  Ahead& placed = *(m_ahead[name] = std::move(ahead));
  m_requests.StartAhead(placed.request, placed);
}

// An answer made ahead has come: keeps what the walk may use, and notes
// the subfolder's next listing page.
void AheadAnswers::Arrived(Ahead& ahead) {
  const Outcome& outcome = ahead.request.outcome;
  if (ahead.request.call.body != nullptr) {
    std::string ignored;
    ahead.usable = outcome.ok() &&
                   ParseListObjectsV2(ahead.body.data(), ahead.body.size(), ahead.page, ignored);
    ahead.bytes = ahead.body.size();
    std::string().swap(ahead.body);
    Folder& folder = m_folders[ahead.folder];
    const std::string& next = ahead.page.nextContinuationToken;
    if (ahead.usable && ahead.page.isTruncated && !next.empty() && !folder.walkLists &&
        folder.tokens.insert(next).second) {
      folder.nextToken = next;
      folder.partShown = true;
      folder.shownUpTo = LastShown(ahead.page);
      Rewind(ahead.folder);
    }
  } else {
    // A 404 is the answer itself; a failure that is not may pass when
    // asked again, and is then reported.
    ahead.usable =
        outcome.ok() || NotFoundCode(outcome) == JW_ERR_NOT_FOUND || EmptyRange(outcome);
    ahead.bytes = ahead.window.size();
  }
  m_held += ahead.bytes;
}

CJwError AheadAnswers::FirstPage(size_t index, const ListPage*& page) {
  const std::string& prefix = m_walk.Prefix(index);
  const std::string name = PageName(prefix, "");
  if (const Ahead* ahead = Peek(name)) {
    page = &ahead->page;
    return CJwError();
  }
  m_folders[index].listAsked = true;  // asked now: not ahead meanwhile
  auto ahead = std::make_unique<Ahead>();
  CJwError error = m_requests.ListPageNow(prefix, "", ahead->body, ahead->page);
  if (error.IsError()) return error;
  auto failed = m_ahead.find(name);
  if (failed != m_ahead.end()) {
    m_requests.Cancel(failed->second->request);
    m_held -= failed->second->bytes;
    ++m_counts.failed;
    m_ahead.erase(failed);
  }
  ahead->request.state = Request::State::kDone;
  ahead->usable = ahead->answered = true;
  ahead->folder = index;
  ahead->answers = this;
  ahead->bytes = ahead->body.size();
  std::string().swap(ahead->body);
  m_held += ahead->bytes;
  m_folders[index].names.push_back(name);
  page = &(m_ahead[name] = std::move(ahead))->page;
  return CJwError();
}

// The answer made ahead under `name`, if any, waited for.
Ahead* AheadAnswers::Peek(const std::string& name) {
  auto found = m_ahead.find(name);
  if (found == m_ahead.end()) return nullptr;
  Ahead* ahead = found->second.get();
  m_requests.Await(ahead->request);
  if (!ahead->usable) return nullptr;
  if (!ahead->answered) ++m_counts.used;
  ahead->answered = true;
  return ahead;
}

std::unique_ptr<Ahead> AheadAnswers::Take(const std::string& name) {
  if (m_ahead.count(name) == 0) return nullptr;
  Peek(name);
  // Found again: asking ahead meanwhile may have moved the entries.
  auto found = m_ahead.find(name);
  std::unique_ptr<Ahead> ahead = std::move(found->second);
  m_ahead.erase(found);
  m_held -= ahead->bytes;
  if (!ahead->usable) {
    ++m_counts.failed;
    return nullptr;
  }
  // The signature of the answer's own request, should its text hold it.
  m_requests.Redaction().Forget();
  m_requests.Redaction().Add(ahead->request.signature);
  ahead->request.outcome.tries = 1;
  return ahead;
}

}  // namespace tzs3
