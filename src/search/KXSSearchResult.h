// KXSSearchResult carries the answer of one search: the "docID" values of
// the hits in ranking order. An empty array means that nothing could be
// searched (no index, a word the analyser drops, a text the parser rejects,
// or a failure, which the search handler's error then describes); nullopt
// means that the search ran and found nothing. Callers treat both as no
// match.
//
// Thread safety: a plain value.
#ifndef ZN_SEARCH_KXSSEARCHRESULT_H_
#define ZN_SEARCH_KXSSEARCHRESULT_H_

#include <optional>
#include <string>
#include <utility>
#include <vector>

class KXSSearchResult {
 public:
  const std::optional<std::vector<std::string>>& docIDs() const { return docIDs_; }
  void setDocIDs(std::optional<std::vector<std::string>> docIDs) { docIDs_ = std::move(docIDs); }

 private:
  std::optional<std::vector<std::string>> docIDs_;
};

#endif  // ZN_SEARCH_KXSSEARCHRESULT_H_
