// Answers asked ahead: once the walk's pattern is known (S3WalkPattern.h),
// the store puts the same questions for the subfolders after the one the
// walk is at in flight, up to S3Tuning::maxInFlight requests at a time and
// S3Tuning::aheadBytes of answers held, in the order the walk asked them:
// the subfolder's first listing page for its listing or for whether a name
// in it exists (the page shows it), further pages for its listing, the
// first window of a file read, a HEAD for a name deeper down; and last a
// HEAD for a name in it that the first page made ahead does not show.
//
// Every answer is the one the question would have got when asked: an answer
// made ahead that failed is asked again, with the usual retries, when the
// walk gets to it, and its error is reported then and only then.
#pragma once

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "S3Requests.h"
#include "S3Statistics.h"
#include "S3WalkPattern.h"
#include "S3Xml.h"

namespace tzs3 {

class AheadAnswers;
class WholeListings;

// What the cloud component reads of a file at its first read (it keeps a
// window of that size): a read made ahead asks for as much.
const size_t kAheadWindow = 4096;

// Names of answers made ahead: a listing page, a HEAD, a GET.
std::string PageName(const std::string& prefix, const std::string& token);
inline std::string HeadName(const std::string& key) { return "H" + key; }
inline std::string GetName(const std::string& key) { return "G" + key; }

// Whether `page`, the first of its folder, shows `key` if it exists: when it
// is the only page, or lists a name at or after `key` (S3 lists in
// ascending byte order).
bool PageDecides(const ListPage& page, const std::string& key);

// An answer made ahead.
struct Ahead final : Awaited {
  Request request;
  std::string body;          // a listing page's XML, until it is read
  std::vector<char> window;  // a GET's bytes
  ListPage page;             // a listing page, once read
  bool usable = false;       // the answer the question would get now
  bool answered = false;     // it has answered a question of the walk
  size_t bytes = 0;          // held, against S3Tuning::aheadBytes
  size_t folder = 0;         // the subfolder it was made for
  AheadAnswers* answers = nullptr;
  void Arrived() override;
};

class AheadAnswers {
 public:
  AheadAnswers(Requests& requests, const WalkPattern& walk);
  ~AheadAnswers() { Drop(0, m_folders.size()); }
  AheadAnswers(const AheadAnswers&) = delete;
  AheadAnswers& operator=(const AheadAnswers&) = delete;

  // Forgets every answer: the walk's subfolders are as now planned, and the
  // walk is at the first.
  void Reset();
  size_t Current() const { return m_current; }
  // The walk has moved on to subfolder `index`: what was made for the ones
  // before will never be asked for.
  void MoveTo(size_t index);
  // Forgets what was made ahead for subfolders [begin, end), in flight or not.
  void Drop(size_t begin, size_t end);
  // There may be more to ask from subfolder `index` on.
  void Rewind(size_t index) { m_cursor = std::min(m_cursor, std::max(index, m_current)); }
  // The walk lists subfolder `index` itself, or asks entry `entry` of the
  // pattern in it: nothing of that is asked ahead any more.
  void WalkLists(size_t index);
  void WalkAsks(size_t index, size_t entry);

  // Puts the next requests in flight, subfolder by subfolder from the
  // walk's on, as long as slots (but `waiting`) and room for answers are free.
  void Ask(int waiting, const WholeListings& whole);

  // The answer made ahead under `name`, waited for and taken: null when none
  // was made or it failed (the caller then asks as it always did).
  std::unique_ptr<Ahead> Take(const std::string& name);
  // The first listing page of subfolder `index`: made ahead, or asked now
  // (with the usual retries) and kept for the walk's listing of it.
  CJwError FirstPage(size_t index, const ListPage*& page);

  size_t& Held() { return m_held; }
  const AheadCounts& Counts() const { return m_counts; }
  void Arrived(Ahead& ahead);

 private:
  // What has been asked for one subfolder, by the walk or ahead.
  struct Folder {
    bool listAsked = false;  // its first listing page
    bool walkLists = false;  // the walk lists it: no more pages ahead
    std::string nextToken;   // of the next page to ask ahead, when not empty
    std::unordered_set<std::string> tokens;  // seen, so that a loop ends
    // A page made ahead of several has shown its names up to this key.
    bool partShown = false;
    std::string shownUpTo;
    std::vector<bool> asked;         // by entry of the pattern
    std::vector<std::string> names;  // of its answers made ahead
  };

  bool AskNext(size_t index, const WholeListings& whole);
  bool AskFor(size_t index, size_t e, const WholeListings& whole);
  void AskObject(size_t index, const char* method, const std::string& key);
  void AskPage(size_t index, const std::string& token);
  void AskCall(size_t index, const std::string& name, Call call);
  Ahead* Peek(const std::string& name);

  Requests& m_requests;
  const WalkPattern& m_walk;
  std::vector<Folder> m_folders;
  size_t m_current = 0;  // the subfolder the walk is at
  size_t m_cursor = 0;   // the first subfolder from there with more to ask
  std::unordered_map<std::string, std::unique_ptr<Ahead>> m_ahead;
  size_t m_held = 0;
  AheadCounts m_counts;
};

}  // namespace tzs3
