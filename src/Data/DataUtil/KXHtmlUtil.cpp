#include "Data/DataUtil/KXHtmlUtil.h"

#include <pcrecpp.h>

#include "CommonUtils/KXConfiguration.h"
#include "CommonUtils/KXRegularExpression.h"
#include "platform/Error.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/Text.h"
#include "platform/URL.h"

namespace {

// A tag and the white space after it. The pattern runs on bytes: '<', '>'
// and ASCII white space never occur inside a multi-byte character, so a cut
// never splits one, and white space of other kinds after a tag is folded by
// the white-space step that follows, with the same result. (In UTF-8 mode
// the library would check the whole text again before every match.)
constexpr const char* kTagPattern = "<[^>]+>\\s*";
constexpr int kTagRecursionLimit = 500;

struct Entity {
  std::string_view name;
  std::string_view character;
};

// Decoded before "&amp;". No character here forms part of an entity.
constexpr Entity kEntities[] = {
    {"&cent;", "\u00A2"}, {"&copy;", "\u00A9"},  {"&euro;", "\u20AC"},  {"&gt;", ">"},
    {"&lt;", "<"},        {"&nbsp;", " "},       {"&pound;", "\u00A3"}, {"&reg;", "\u00AE"},
    {"&sect;", "\u00A7"}, {"&trade;", "\u2122"}, {"&yen;", "\u00A5"},
};

const KXRegularExpression& whiteSpaceRuns() {
  static const KXRegularExpression rx = *KXRegularExpression::make("[\\s]+");
  return rx;
}

std::string resourceURL(const char* name) {
  const std::string path = kx::Path::appendingPathComponent(kx::Places::resourcesDirectory(), name);
  return kx::URL::fileURLWithPath(path).absoluteString();
}

[[noreturn]] void notImplemented() {
  throw kx::Exception("KXMethodNotImplemented", "Method not implementd");
}

}  // namespace

KXHtmlUtil::KXHtmlUtil() {
  pcrecpp::RE_Options options;
  options.set_match_limit_recursion(kTagRecursionLimit);
  tagPattern_ = std::make_unique<const pcrecpp::RE>(kTagPattern, options);
}

KXHtmlUtil::~KXHtmlUtil() = default;

KXHtmlUtil& KXHtmlUtil::sharedUtil() {
  static KXHtmlUtil* const shared = [] {
    auto* util = new KXHtmlUtil();
    NSStringDupTitle::setHtmlHelper(util);
    return util;
  }();
  return *shared;
}

std::array<std::string, 2> KXHtmlUtil::htmlHeadAndTailForEditor() {
  KXConfiguration& config = KXConfiguration::sharedConfiguration();
  const std::string fontSize = config.stringForKey(kKXConfigFontSize, kKXConfigFontSizeDefault);
  const std::string fontFamily =
      config.stringForKey(kKXConfigFontFamily, kKXConfigFontFamilyDefault);
  std::string head = "<!doctype html><html><head><script src=\"" + resourceURL("editor.js") +
                     "\"></script><style>.default-style, body {font : " + fontSize + "px \"" +
                     fontFamily +
                     "\"; background:white;}</style><link rel=\"styleSheet\" "
                     "type=\"text/css\" href=\"" +
                     resourceURL("editor.css") + "\"></head><body>";
  return {std::move(head), "</body></html>"};
}

std::string KXHtmlUtil::htmlForEditor(std::string_view content) {
  std::array<std::string, 2> page = htmlHeadAndTailForEditor();
  std::string out = std::move(page[0]);
  out.append(content);
  out.append(page[1]);
  return out;
}

std::string KXHtmlUtil::textForHtml(std::string_view html) const {
  std::string text = kx::Text::isValidUtf8(html) ? std::string(html) : kx::Text::toValidUtf8(html);
  tagPattern_->GlobalReplace(" ", &text);
  text = replaceHTMLEntities(text);
  if (!text.empty()) text = whiteSpaceRuns().replacingMatches(text, " ");
  return text;
}

std::string KXHtmlUtil::replaceHTMLEntities(std::string_view text) const {
  // One pass gives the same text as one replace-all per entity with "&amp;"
  // last: entities never overlap, and what they turn into holds no "&".
  std::string out;
  out.reserve(text.size());
  std::size_t copied = 0;
  for (std::size_t amp = text.find('&'); amp != std::string_view::npos;
       amp = text.find('&', amp + 1)) {
    std::string_view rest = text.substr(amp);
    std::string_view replacement;
    std::size_t length = 0;
    if (rest.starts_with("&amp;")) {
      replacement = "&";
      length = 5;
    } else {
      for (const Entity& e : kEntities) {
        if (rest.starts_with(e.name)) {
          replacement = e.character;
          length = e.name.size();
          break;
        }
      }
    }
    if (length == 0) continue;
    out.append(text.substr(copied, amp - copied));
    out.append(replacement);
    copied = amp + length;
    amp = copied - 1;
  }
  out.append(text.substr(copied));
  return out;
}

std::optional<std::string> KXHtmlUtil::markDupForResource(std::string_view html) const {
  const std::string mark = std::string(kResourceMarkAttribute) + "=\"1\"";
  if (html.find(mark) == std::string_view::npos) return std::nullopt;
  const std::string marked = mark + " " + kResourceDupAttribute + "=\"1\"";
  std::string out;
  std::size_t copied = 0;
  for (std::size_t at = html.find(mark); at != std::string_view::npos;
       at = html.find(mark, copied)) {
    out.append(html.substr(copied, at - copied));
    out.append(marked);
    copied = at + mark.size();
  }
  out.append(html.substr(copied));
  return out;
}

std::string KXHtmlUtil::viewableHtml(std::string_view) const { notImplemented(); }

std::string KXHtmlUtil::replaceOldResources(std::string_view) const { notImplemented(); }

std::string KXHtmlUtil::normalizeHtml(std::string_view) const { notImplemented(); }
