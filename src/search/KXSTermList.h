// KXSTermList is what the searcher keeps in memory of one committed version
// of an index, read in one walk of its term dictionary: the "docContent"
// terms, and the identifiers that the "docID" terms give each document.
// It finds the terms that hold a part of a word (the infix wildcard) or
// start with one (the prefix wildcard) without walking the dictionary again,
// knows how many documents hold each term, and tells the identifier of a
// hit without reading the document, so that a search need not look any of
// that up in the index.
//
// The terms are UTF-8 in the index's order (by code point, which is also
// byte order). A part is looked up through an index of the three-byte
// sequences of the terms: the terms that hold every sequence of the part
// are checked for the part itself. A part shorter than three bytes is looked
// for in every term. Bytes are compared, never characters, so a part found
// inside a term is found whatever the script; a NUL never occurs in a term.
//
// Thread safety: immutable once made; any number of threads may read one at
// once.
#ifndef ZN_SEARCH_KXSTERMLIST_H_
#define ZN_SEARCH_KXSTERMLIST_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class KXSTermList {
 public:
  // One term and the number of documents (live or removed) that hold it.
  struct Term {
    std::string text;
    std::int32_t docFreq = 0;
  };

  // What the "docID" terms tell of the documents.
  struct Identifiers {
    // The identifier of each live document, by document number (empty where
    // none is known).
    std::vector<std::string> byDocument;
    // For every identifier that more than one document (live or removed)
    // has, its newest live document (-1 when none is live).
    std::unordered_map<std::string, std::int32_t> newestOfRepeated;
  };

  // The terms are sorted here unless they already are; a term given twice is
  // kept once (the first).
  KXSTermList(std::int64_t version, std::vector<Term> terms, Identifiers identifiers);

  KXSTermList(const KXSTermList&) = delete;
  KXSTermList& operator=(const KXSTermList&) = delete;

  std::int64_t version() const { return version_; }
  std::size_t size() const { return starts_.size() - 1; }

  // Whether more than one document (live or removed) of the index has the
  // identifier: only then can a hit be an older copy of a replaced document.
  bool isRepeatedID(const std::string& id) const {
    return identifiers_.newestOfRepeated.count(id) > 0;
  }
  bool hasRepeatedIDs() const { return !identifiers_.newestOfRepeated.empty(); }
  // The newest live document of a repeated identifier; -1 when none is live
  // or the identifier is not repeated.
  std::int32_t newestDocumentOf(const std::string& id) const;
  // The identifier of live document `document`; null when it is not known.
  const std::string* idOf(std::int32_t document) const;

  // The terms holding `part`, in order; stops once it has found more than
  // `limit` of them. An empty part is held by none.
  std::vector<std::string_view> containing(std::string_view part, std::size_t limit) const;

  // The terms that start with `prefix`, in order; stops once it has found
  // more than `limit` of them.
  std::vector<std::string_view> startingWith(std::string_view prefix, std::size_t limit) const;

  // How many documents hold `term`; -1 when it is not a term of the list.
  std::int32_t docFreq(std::string_view term) const;

 private:
  static constexpr std::size_t kGram = 3;

  std::string_view termAt(std::size_t index) const {
    return std::string_view(block_.data() + starts_[index],
                            starts_[index + 1] - starts_[index] - 1);
  }
  // The index of the first term not below `text`.
  std::size_t lowerBound(std::string_view text) const;
  // The terms holding `part`, by looking through every term.
  std::vector<std::string_view> scanContaining(std::string_view part, std::size_t limit) const;
  void indexGrams();

  const std::int64_t version_;
  const Identifiers identifiers_;
  // Every term followed by a NUL, one after another, so that a short part
  // is found with one byte search over the whole block.
  std::string block_;
  // Where each term begins in block_, and after the last one block_'s size.
  std::vector<std::uint32_t> starts_;
  std::vector<std::int32_t> docFreqs_;
  // For each three-byte sequence that occurs in a term (the bytes as one
  // number), its slot: the indexes of the terms that hold it are
  // gramTerms_[gramOffsets_[slot]] up to gramTerms_[gramOffsets_[slot + 1]],
  // ascending, each once.
  std::unordered_map<std::uint32_t, std::uint32_t> gramSlots_;
  std::vector<std::uint32_t> gramOffsets_;
  std::vector<std::uint32_t> gramTerms_;
};

#endif  // ZN_SEARCH_KXSTERMLIST_H_
