// Fuzz target of the HTML and note-text helpers: the text of HTML, entity
// decoding, resource marks, image tags, the plain text of a note body, file
// length replacement and link rewriting. The input is a text, and after a
// NUL a resource id. Nothing may crash; replacing the file length of a
// resource that the text does not hold gives the text back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "CommonUtils/NSStringDupTitle.h"
#include "Data/DataUtil/KXHtmlUtil.h"
#include "Data/DataUtil/KXNoteUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t nul = input.find('\0');
  const std::string_view text = input.substr(0, nul);
  const std::string_view id =
      nul == std::string_view::npos ? std::string_view("R1") : input.substr(nul + 1);

  const KXHtmlUtil& html = KXHtmlUtil::sharedUtil();
  (void)html.textForHtml(text);
  (void)html.replaceHTMLEntities(text);
  (void)html.markDupForResource(text);
  (void)KXNoteUtil::fullResDescFromReceivedContent(std::string(text));
  (void)KXNoteUtil::resourceDescFromReceivedContent(std::string(text));
  (void)KXNoteUtil::isResourceURL(text);
  (void)NSStringDupTitle::plainText(text);
  (void)NSStringDupTitle::gtm_stringByUnescapingFromHTML(text);
  (void)NSStringDupTitle::htmlEntityDecode(text);
  (void)NSStringDupTitle::clearXml(text);
  (void)NSStringDupTitle::stringByReplacingUrlWithId(text, id);
  (void)NSStringDupTitle::summaryString(text);

  const std::string sized = KXNoteUtil::replaceFileSize(text, id, kx::Value(42));
  if (text.find(std::string(id) + "</resource>") == std::string_view::npos && sized != text) {
    // Only a case-insensitive match may change the text.
    bool folded = false;
    std::string lowerText(text), lowerId(id);
    for (char& c : lowerText) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (char& c : lowerId) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    folded = lowerText.find(lowerId + "</resource>") != std::string::npos;
    if (!folded) std::abort();
  }
  return 0;
}
