#include "S3WalkPattern.h"

#include "Ascii.h"

namespace tzs3 {
namespace {

// At most this many questions are learned: a walk that asks about names
// that differ from subfolder to subfolder must not grow the pattern without
// end.
const size_t kMostEntries = 8;

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// How much of `a` is a stem it shares with `b`: their common beginning, cut
// back to where a word of `a` ends (after a character that is neither a
// letter nor a digit, or between a letter and a digit). 0 when none.
size_t SharedStem(const std::string& a, const std::string& b) {
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  for (; n > 0; --n) {
    const unsigned char last = static_cast<unsigned char>(a[n - 1]);
    if (!IsAsciiAlnum(last)) return n;
    if (IsAlpha(a[n - 1]) && n < a.size() && IsAsciiDigit(static_cast<unsigned char>(a[n]))) {
      return n;
    }
  }
  return 0;
}

}  // namespace

bool WalkPattern::Listed(const std::string& prefix, const std::vector<std::string>& folders) {
  if (m_haveParent && prefix != m_parent && !SubfolderOf(prefix).empty()) return false;
  m_haveParent = true;
  m_parent = prefix;
  m_folders = folders;
  m_folderSet = std::unordered_set<std::string>(folders.begin(), folders.end());
  m_prefixes.clear();
  m_index.clear();
  m_entries.clear();
  m_lists = false;
  return true;
}

std::string WalkPattern::SubfolderOf(const std::string& key) const {
  if (!m_haveParent || key.size() <= m_parent.size() || !StartsWith(key, m_parent)) return "";
  const size_t end = key.find('/', m_parent.size());
  std::string name = key.substr(m_parent.size(), end - m_parent.size());
  return m_folderSet.count(name) != 0 ? name : "";
}

size_t WalkPattern::Find(const std::string& key) const {
  const std::string name = SubfolderOf(key);
  auto found = m_index.find(name);
  return name.empty() || found == m_index.end() ? kNone : found->second;
}

size_t WalkPattern::Locate(const std::string& key, bool& planned) {
  planned = false;
  if (m_prefixes.empty()) {
    const std::string name = SubfolderOf(key);
    if (name.empty()) return kNone;
    Plan(name);
    planned = true;
  }
  return Find(key);
}

// The subfolders whose names begin with the stem of `first`.
void WalkPattern::Plan(const std::string& first) {
  size_t stem = 0;
  for (const std::string& other : m_folders) {
    if (other == first) continue;
    const size_t shared = SharedStem(first, other);
    if (shared > 0 && (stem == 0 || shared < stem)) stem = shared;
  }
  const std::string head = first.substr(0, stem);
  for (const std::string& name : m_folders) {
    if (!StartsWith(name, head) || m_index.count(name) != 0) continue;
    m_index.emplace(name, m_prefixes.size());
    m_prefixes.push_back(m_parent + name + "/");
  }
}

bool WalkPattern::Learn(size_t index, Question question, const std::string& key, bool grow,
                        size_t& entry) {
  entry = kNone;
  const std::string& prefix = m_prefixes[index];
  if (key.size() <= prefix.size() || !StartsWith(key, prefix)) return false;
  const std::string name = key.substr(prefix.size());
  for (size_t i = 0; i < m_entries.size(); ++i) {
    if (m_entries[i].question == question && m_entries[i].name == name) {
      entry = i;
      return false;
    }
  }
  if (!grow || m_entries.size() >= kMostEntries) return false;
  entry = m_entries.size();
  const bool direct = name.find('/') == std::string::npos;
  m_entries.push_back(Entry{question, name, direct});
  return true;
}

bool WalkPattern::LearnListing() {
  if (m_lists || m_entries.size() >= kMostEntries) return false;
  m_lists = true;
  m_entries.push_back(Entry{Question::kList, "", false});
  return true;
}

bool WalkPattern::Ascending() const {
  for (size_t i = 1; i < m_prefixes.size(); ++i) {
    if (!(m_prefixes[i - 1] < m_prefixes[i])) return false;
  }
  return true;
}

}  // namespace tzs3
