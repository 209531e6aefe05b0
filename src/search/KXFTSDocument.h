// KXFTSDocument is the one kind of document the program indexes: a note's or
// file's identifier (its file id) and its plain text. It offers only the
// content field, in which every "&nbsp;" reads as a single blank (worked out
// at each call; the stored text stays as it was given).
//
// Thread safety: a plain value; not to be changed while another thread reads
// it.
#ifndef ZN_SEARCH_KXFTSDOCUMENT_H_
#define ZN_SEARCH_KXFTSDOCUMENT_H_

#include <cstdint>
#include <optional>
#include <string>

#include "search/KXSSumbitedDocumentProtocol.h"

class KXFTSDocument final : public KXSSumbitedDocumentProtocol {
 public:
  KXFTSDocument(std::string docID, std::string docContent);

  const std::string& docID() const { return docID_; }
  void setDocID(std::string docID) { docID_ = std::move(docID); }
  const std::string& docContent() const { return docContent_; }
  void setDocContent(std::string docContent) { docContent_ = std::move(docContent); }

  // KXSSumbitedDocumentProtocol
  std::string fieldID() const override { return docID_; }
  std::uint8_t fieldCount() const override { return 1; }
  std::optional<std::string> fieldContent() const override;

 private:
  std::string docID_;
  std::string docContent_;
};

#endif  // ZN_SEARCH_KXFTSDOCUMENT_H_
