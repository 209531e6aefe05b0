// KXHtmlUtil turns note HTML into plain text for summaries and the search
// index, decodes a fixed set of named HTML entities, and wraps stored note
// content into the page that the editor loads.
//
// Plain text: every tag, with the white space after it, becomes one blank;
// the entities are decoded; runs of white space (Unicode's, so U+00A0 and
// U+3000 too) fold into one blank. Leading and trailing blanks stay.
//
// The shared instance is also the HTML helper of the foundation's
// NSStringDupTitle::plainText: sharedUtil() installs it there, so whatever
// needs plain text of notes must have called sharedUtil() once before.
//
// Thread safety: the shared instance is created once, under a once-only
// guard; its compiled tag pattern is only read afterwards, so textForHtml and
// replaceHTMLEntities may run on any number of threads at once. The editor
// page methods read the configuration and may be called from any thread.
#ifndef ZN_DATA_DATAUTIL_KXHTMLUTIL_H_
#define ZN_DATA_DATAUTIL_KXHTMLUTIL_H_

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CommonUtils/NSStringDupTitle.h"

namespace pcrecpp {
class RE;
}

class KXHtmlUtil : public NSStringDupTitle::HtmlHelper {
 public:
  // The attribute with which the editor marks a resource element, and the
  // one markDupForResource adds.
  static constexpr const char* kResourceMarkAttribute = "data-resource-mark";
  static constexpr const char* kResourceDupAttribute = "data-resource-dup";

  static KXHtmlUtil& sharedUtil();

  // The editor page's head and tail. The head loads the editor's script and
  // style sheet from the application's resources and sets the font of the
  // configuration ("font-size" in pixels, "font-family"; 14 and Helvetica
  // when unset), read afresh at each call.
  static std::array<std::string, 2> htmlHeadAndTailForEditor();
  // Head, content and tail.
  static std::string htmlForEditor(std::string_view content);

  std::string textForHtml(std::string_view html) const override;
  // "&cent;", "&copy;", "&euro;", "&gt;", "&lt;", "&nbsp;" (a plain blank),
  // "&pound;", "&reg;", "&sect;", "&trade;" and "&yen;" decoded, then
  // "&amp;": one level only, "&amp;lt;" gives "&lt;". Numeric references stay.
  std::string replaceHTMLEntities(std::string_view text) const override;
  // When the text holds resource marks with the value "1", each gets the
  // duplicate mark (value "1") right after it; otherwise nothing.
  std::optional<std::string> markDupForResource(std::string_view html) const;

  // Not implemented: each raises "KXMethodNotImplemented".
  std::string viewableHtml(std::string_view html) const;
  std::string replaceOldResources(std::string_view html) const;
  std::string normalizeHtml(std::string_view html) const;

  KXHtmlUtil(const KXHtmlUtil&) = delete;
  KXHtmlUtil& operator=(const KXHtmlUtil&) = delete;

 private:
  KXHtmlUtil();
  ~KXHtmlUtil() override;

  std::unique_ptr<const pcrecpp::RE> tagPattern_;  // read-only after construction
};

#endif  // ZN_DATA_DATAUTIL_KXHTMLUTIL_H_
