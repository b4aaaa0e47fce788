// What the S3 store learns of the walk that uses it, so that it can ask
// ahead: a walk lists a folder, then visits the folder's subfolders in
// listing order and asks the same questions in each, about the same names
// relative to the subfolder ("<sub>/a" exists? read "<sub>/b"; list
// "<sub>/").
//
// The listed folder is the parent. The walk's first question inside one of
// its subfolders picks the subfolders it will visit: those whose names
// begin with the stem of that first one, the shortest run of whole words
// it begins with and shares with another subfolder's name ("V_" of "V_1"
// beside "V_2"; "shelf-" of "shelf-a" beside "shelf-b" and "spare"), or all
// of them when it shares none, so that folders of another kind beside them
// cost nothing. The questions the walk
// asks in the subfolders make the pattern: every one of them, in the order
// first asked, whichever subfolder it was first asked in. A listing inside
// a subfolder is a question; any other listing makes a new parent.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tzs3 {

class WalkPattern {
 public:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  // The questions of the walk in a subfolder: whether a name exists, a
  // read of a name, the subfolder's own listing.
  enum class Question { kExists, kRead, kList };
  struct Entry {
    Question question;
    std::string name;     // relative to the subfolder: "a" or "x/a"; "" for kList
    bool direct = false;  // a name in the subfolder itself, which its listing shows
  };

  // The walk has listed the folder `prefix` ("" or ending in "/"), whose
  // subfolders are `folders` in listing order. Returns true when it is the
  // parent from now on, with nothing planned or learned.
  bool Listed(const std::string& prefix, const std::vector<std::string>& folders);

  // The subfolder the walk visits that `key` lies in or names, or kNone.
  // The walk's first question inside one plans them; `planned` tells that.
  size_t Locate(const std::string& key, bool& planned);
  // Like Locate, but plans nothing (for keys that the store lists).
  size_t Find(const std::string& key) const;

  // Learns that the walk asked `question` about `key` in subfolder `index`.
  // Sets `entry` to its place in Entries() (kNone when `key` names no file
  // in the subfolder, or it is new and `grow` is false); returns true when
  // the pattern grew.
  bool Learn(size_t index, Question question, const std::string& key, bool grow,
             size_t& entry);
  // Learns that the walk lists the subfolders themselves; returns true the
  // first time.
  bool LearnListing();

  size_t Count() const { return m_prefixes.size(); }
  // The key prefix of subfolder `index`: "p/V_1/".
  const std::string& Prefix(size_t index) const { return m_prefixes[index]; }
  const std::string& Parent() const { return m_parent; }
  // Whether the subfolders' prefixes come in ascending byte order.
  bool Ascending() const;
  const std::vector<Entry>& Entries() const { return m_entries; }

 private:
  // The name of the parent's subfolder that `key` lies in or names; empty
  // when none.
  std::string SubfolderOf(const std::string& key) const;
  void Plan(const std::string& first);

  bool m_haveParent = false;
  std::string m_parent;
  std::vector<std::string> m_folders;  // the parent's, in listing order
  std::unordered_set<std::string> m_folderSet;
  std::vector<std::string> m_prefixes;  // of the subfolders the walk visits
  std::unordered_map<std::string, size_t> m_index;  // by subfolder name
  std::vector<Entry> m_entries;
  bool m_lists = false;  // an entry is the listing
};

}  // namespace tzs3
