#include "search/KXFTSDocument.h"

#include <string_view>
#include <utility>

KXFTSDocument::KXFTSDocument(std::string docID, std::string docContent)
    : docID_(std::move(docID)), docContent_(std::move(docContent)) {}

std::optional<std::string> KXFTSDocument::fieldContent() const {
  static constexpr std::string_view kEntity = "&nbsp;";
  std::string text;
  text.reserve(docContent_.size());
  std::size_t start = 0;
  for (;;) {
    const std::size_t found = docContent_.find(kEntity, start);
    if (found == std::string::npos) break;
    text.append(docContent_, start, found - start);
    text.push_back(' ');
    start = found + kEntity.size();
  }
  text.append(docContent_, start, std::string::npos);
  return text;
}
