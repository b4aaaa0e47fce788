// Whole-prefix listings: when the walk will visit many subfolders, their
// listings and the existence of names in them come from listings of the
// whole parent prefix without a delimiter (1000 keys a page), split at
// subfolder boundaries into a few that run at once. A subfolder such a
// listing has not reached when the walk gets there is asked for with its
// own requests.
//
// Which requests answer the subfolders, as measured against s3rver at 20 ms
// a request (Bench/s3.sh, 16 in flight): for 8, 100 and 200 subfolders of 50
// to 100 files, whole-prefix listings took less time than the subfolders'
// own listings (medians of 3 rounds), in about half the requests (a page per
// 1000 keys instead of one per subfolder; a server that walks its folders
// for every listing is spared a walk of all siblings per subfolder). One
// such listing used the least server time, but its pages follow one
// another; listings of about 16 subfolders each, at once, finished first.
// Below 8 subfolders their own listings are kept (not measured: their pages
// are few, and run at once). Subfolders whose prefixes the parent did not
// list in key order are never answered this way, since the listing's keys
// come in that order.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "S3Requests.h"
#include "S3Statistics.h"
#include "S3WalkPattern.h"
#include "S3Xml.h"

namespace tzs3 {

class WholeListings {
 public:
  // `held` counts the bytes of answers held, against S3Tuning::aheadBytes;
  // `missed` is told of a subfolder left to its own requests.
  WholeListings(Requests& requests, const WalkPattern& walk, size_t& held,
                std::function<void(size_t)> missed);
  ~WholeListings() { Stop(0); }
  WholeListings(const WholeListings&) = delete;
  WholeListings& operator=(const WholeListings&) = delete;

  // Forgets every listing; for the walk's subfolders as now planned, plans
  // new ones (none begun) when the tuning and the subfolders call for it.
  void Reset();
  // Takes out of flight the pages of the listings that end at or before
  // subfolder `upTo` (all of them for 0): the walk is past them.
  void Stop(size_t upTo);
  // Forgets what is held for subfolders [begin, end): the walk is past them.
  void Drop(size_t begin, size_t end);

  // Puts the next page of each listing in flight while slots are free and
  // there is room for answers (the listing the walk is in goes on whatever
  // is held, since the walk waits for it). Returns how many wait for a slot.
  int Ask(size_t current);

  // Whether a listing answers subfolder `index`, or is meant to.
  bool Covers(size_t index) const;
  // Whether a listing answers subfolder `index`, which the walk is at: waits
  // while the listing is at its keys or about to be; one that has not got
  // there yet (or cannot go on) leaves the subfolder to its own requests.
  bool Answers(size_t index);
  // Whether the answer of `index` (see Answers) holds `key`.
  bool Holds(size_t index, const std::string& key) const;
  // The answer of `index` as the one page of its listing with the delimiter
  // "/" would give it; taken, so that it is asked anew if asked again.
  void Take(size_t index, ListPage& page);

  const WholeCounts& Counts() const { return m_counts; }

 private:
  // Where a listing is with a subfolder: not answering it; not there yet;
  // at its keys; past them (the answer is complete); or the subfolder is
  // asked for with its own requests (the listing failed, the walk got there
  // first, or its answer was taken).
  enum class Swept { kNo, kAhead, kFilling, kComplete, kMissed };

  struct Folder {
    Swept swept = Swept::kNo;
    size_t range = 0;  // the listing's, in m_ranges
    std::vector<ListedObject> keys;  // once complete, its answer
    size_t keyBytes = 0;             // held
  };

  // A page in flight.
  struct Page final : Awaited {
    Request request;
    std::string body;
    WholeListings* owner = nullptr;
    size_t range = 0;
    void Arrived() override { owner->PageArrived(range); }
  };

  // A listing that answers subfolders [begin, end): it starts after the key
  // that is the begin subfolder's prefix without its "/", and its keys
  // arrive in key order, each subfolder's keys one after another.
  struct Range {
    size_t begin = 0, end = 0;
    size_t at = 0;        // the subfolder whose keys arrive now
    bool atSeen = false;  // a key of it has arrived
    size_t keys = 0, atKeys = 0;  // keys of its subfolders so far; of `at`
    std::string token;    // of the next page; empty for the first
    std::unordered_set<std::string> tokens;  // seen, so that a loop ends
    std::unique_ptr<Page> page;              // in flight
    bool done = false;    // no more pages wanted
  };

  void PlanRanges();
  bool Wanted(Range& range, size_t current);
  void AskPage(size_t r);
  void PageArrived(size_t r);
  std::string ReadKeys(Range& range, const ListPage& page);
  void CloseUpTo(Range& range, size_t to);
  void Hold(Range& range, const ListedObject& object);
  void ForgetKeys(Folder& folder);
  void Miss(size_t index);

  Requests& m_requests;
  const WalkPattern& m_walk;
  size_t& m_held;
  std::function<void(size_t)> m_missed;
  std::vector<Folder> m_folders;
  std::vector<Range> m_ranges;
  WholeCounts m_counts;
};

}  // namespace tzs3
