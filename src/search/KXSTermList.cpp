#include "search/KXSTermList.h"

#include <string.h>

#include <algorithm>
#include <limits>
#include <utility>

namespace {

std::uint32_t gramAt(const char* bytes) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[0])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[1])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[2]));
}

}  // namespace

KXSTermList::KXSTermList(std::int64_t version, std::vector<Term> terms, Identifiers identifiers)
    : version_(version), identifiers_(std::move(identifiers)) {
  auto byText = [](const Term& a, const Term& b) { return a.text < b.text; };
  // Already sorted unless the library changes its order.
  if (!std::is_sorted(terms.begin(), terms.end(), byText)) {
    std::stable_sort(terms.begin(), terms.end(), byText);
  }
  std::size_t size = 0;
  for (const Term& term : terms) size += term.text.size() + 1;
  block_.reserve(size);
  starts_.reserve(terms.size() + 1);
  docFreqs_.reserve(terms.size());
  starts_.push_back(0);
  for (const Term& term : terms) {
    if (docFreqs_.size() > 0 && termAt(docFreqs_.size() - 1) == term.text) continue;
    block_ += term.text;
    block_.push_back('\0');
    starts_.push_back(static_cast<std::uint32_t>(block_.size()));
    docFreqs_.push_back(term.docFreq);
  }
  indexGrams();
}

void KXSTermList::indexGrams() {
  constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  // First pass: the slot of every sequence of every term, in order, and how
  // many terms hold each sequence.
  std::vector<std::uint32_t> occurrences;
  occurrences.reserve(block_.size());
  std::vector<std::uint32_t> counts;
  std::vector<std::uint32_t> lastTerm;
  for (std::size_t t = 0; t < size(); ++t) {
    const std::string_view term = termAt(t);
    for (std::size_t i = 0; i + kGram <= term.size(); ++i) {
      const auto [it, added] = gramSlots_.try_emplace(gramAt(term.data() + i),
                                                      static_cast<std::uint32_t>(counts.size()));
      if (added) {
        counts.push_back(0);
        lastTerm.push_back(kNone);
      }
      const std::uint32_t slot = it->second;
      occurrences.push_back(slot);
      if (lastTerm[slot] != t) {
        lastTerm[slot] = static_cast<std::uint32_t>(t);
        ++counts[slot];
      }
    }
  }
  gramOffsets_.assign(counts.size() + 1, 0);
  for (std::size_t slot = 0; slot < counts.size(); ++slot) {
    gramOffsets_[slot + 1] = gramOffsets_[slot] + counts[slot];
  }
  // Second pass: the terms of each sequence, in term order.
  gramTerms_.resize(gramOffsets_.back());
  std::vector<std::uint32_t> next(gramOffsets_.begin(), gramOffsets_.end() - 1);
  std::fill(lastTerm.begin(), lastTerm.end(), kNone);
  std::size_t occurrence = 0;
  for (std::size_t t = 0; t < size(); ++t) {
    const std::size_t length = termAt(t).size();
    for (std::size_t i = 0; i + kGram <= length; ++i) {
      const std::uint32_t slot = occurrences[occurrence++];
      if (lastTerm[slot] == t) continue;
      lastTerm[slot] = static_cast<std::uint32_t>(t);
      gramTerms_[next[slot]++] = static_cast<std::uint32_t>(t);
    }
  }
}

std::vector<std::string_view> KXSTermList::containing(std::string_view part,
                                                      std::size_t limit) const {
  if (part.empty()) return {};
  if (part.size() < kGram) return scanContaining(part, limit);
  // The terms holding the part's rarest sequence are the fewest to check.
  const std::uint32_t* first = nullptr;
  const std::uint32_t* last = nullptr;
  for (std::size_t i = 0; i + kGram <= part.size(); ++i) {
    const auto it = gramSlots_.find(gramAt(part.data() + i));
    if (it == gramSlots_.end()) return {};
    const std::uint32_t* begin = gramTerms_.data() + gramOffsets_[it->second];
    const std::uint32_t* end = gramTerms_.data() + gramOffsets_[it->second + 1];
    if (!first || end - begin < last - first) {
      first = begin;
      last = end;
    }
  }
  std::vector<std::string_view> found;
  for (const std::uint32_t* t = first; t != last && found.size() <= limit; ++t) {
    const std::string_view term = termAt(*t);
    if (term.find(part) != std::string_view::npos) found.push_back(term);
  }
  return found;
}

std::vector<std::string_view> KXSTermList::scanContaining(std::string_view part,
                                                          std::size_t limit) const {
  std::vector<std::string_view> found;
  const char* base = block_.data();
  std::size_t from = 0;
  while (from < block_.size() && found.size() <= limit) {
    const void* hit = ::memmem(base + from, block_.size() - from, part.data(), part.size());
    if (!hit) break;
    const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
    // The term the hit starts in; a part with a NUL can run into the next
    // term, which no term holds.
    const std::size_t index =
        static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), at) -
                                 starts_.begin()) -
        1;
    const std::string_view term = termAt(index);
    if (at + part.size() <= starts_[index] + term.size()) found.push_back(term);
    from = starts_[index + 1];  // on to the next term
  }
  return found;
}

std::vector<std::string_view> KXSTermList::startingWith(std::string_view prefix,
                                                        std::size_t limit) const {
  std::vector<std::string_view> found;
  for (std::size_t index = lowerBound(prefix); index < size() && found.size() <= limit; ++index) {
    const std::string_view term = termAt(index);
    if (term.substr(0, prefix.size()) != prefix) break;
    found.push_back(term);
  }
  return found;
}

std::int32_t KXSTermList::docFreq(std::string_view term) const {
  const std::size_t index = lowerBound(term);
  return index < size() && termAt(index) == term ? docFreqs_[index] : -1;
}

std::int32_t KXSTermList::newestDocumentOf(const std::string& id) const {
  const auto it = identifiers_.newestOfRepeated.find(id);
  return it == identifiers_.newestOfRepeated.end() ? -1 : it->second;
}

const std::string* KXSTermList::idOf(std::int32_t document) const {
  if (document < 0 || static_cast<std::size_t>(document) >= identifiers_.byDocument.size()) {
    return nullptr;
  }
  const std::string& id = identifiers_.byDocument[static_cast<std::size_t>(document)];
  return id.empty() ? nullptr : &id;
}

std::size_t KXSTermList::lowerBound(std::string_view text) const {
  std::size_t low = 0;
  std::size_t high = size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (termAt(middle) < text) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}
