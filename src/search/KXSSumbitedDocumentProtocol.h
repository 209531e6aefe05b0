// KXSSumbitedDocumentProtocol is what every document handed to the indexer
// answers: its identifier (kept untokenized in the index, the key by which
// documents are found, replaced and removed, and what searches return) and
// the texts that the indexer joins into the searchable text. The optional
// texts answer nullopt when the document does not offer them.
//
// Thread safety: the indexer reads a document once, on the thread that
// submits it; a document must not change while submitDocuments() reads it.
#ifndef ZN_SEARCH_KXSSUMBITEDDOCUMENTPROTOCOL_H_
#define ZN_SEARCH_KXSSUMBITEDDOCUMENTPROTOCOL_H_

#include <cstdint>
#include <optional>
#include <string>

class KXSSumbitedDocumentProtocol {
 public:
  virtual ~KXSSumbitedDocumentProtocol() = default;

  // The document's identifier (UTF-8).
  virtual std::string fieldID() const = 0;
  // How many text fields the document offers; a capacity hint only.
  virtual std::uint8_t fieldCount() const = 0;

  virtual std::optional<std::string> fieldContent() const { return std::nullopt; }
  virtual std::optional<std::string> fieldTitle() const { return std::nullopt; }
  virtual std::optional<std::string> fieldAuthor() const { return std::nullopt; }
  virtual std::optional<std::string> fieldSource() const { return std::nullopt; }
  virtual std::optional<std::string> fieldAttachment() const { return std::nullopt; }
};

#endif  // ZN_SEARCH_KXSSUMBITEDDOCUMENTPROTOCOL_H_
