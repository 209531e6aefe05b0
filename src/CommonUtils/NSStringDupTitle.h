// NSStringDupTitle holds the client's own operations on text: numbering of
// duplicate titles, hexadecimal digests, the plain text of stored note
// bodies (for summaries and the search index), HTML reference decoding,
// file-name and URL tests, percent-encoding and a few presentation helpers.
// The text a function works on (the "receiver") is its first argument.
//
// Text is UTF-8. Lengths and cuts are counted in UTF-16 units, the unit in
// which the client measures text, and never fall inside a character: a cut
// keeps or drops a whole composed character sequence (a character with its
// combining marks, an emoji with its modifiers or its joined partners, a
// pair of regional indicators).
//
// The plain text of HTML note bodies needs the note store's HTML helper
// (KXHtmlUtil), which lives in a library above this one; it is reached
// through the HtmlHelper hook, which the note store installs when its helper
// is created. Without it plainText leaves the named entities of XML bodies
// undecoded and hands back HTML bodies with their numeric references decoded
// and their tags kept.
//
// Thread safety: every function may be called from any thread; the hook is
// installed atomically and the installed helper must be safe to call from
// any thread.
#ifndef ZN_COMMONUTILS_NSSTRINGDUPTITLE_H_
#define ZN_COMMONUTILS_NSSTRINGDUPTITLE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Crypto.h"
#include "platform/Value.h"

class KXFont;

class NSStringDupTitle {
 public:
  NSStringDupTitle() = delete;

  // Components of a duplicate title: the base, the counter (0 when the title
  // has none) and the tail (a file name's extension with its dot; "" for
  // plain titles).
  struct Comps {
    std::string base;
    std::int64_t counter = 0;
    std::string tail;
    bool operator==(const Comps&) const = default;
  };

  // The note store's HTML helper as seen from here.
  class HtmlHelper {
   public:
    virtual ~HtmlHelper() = default;
    virtual std::string replaceHTMLEntities(std::string_view text) const = 0;
    virtual std::string textForHtml(std::string_view html) const = 0;
  };
  // Installs the helper (not owned; it must stay alive while installed).
  // nullptr removes it.
  static void setHtmlHelper(const HtmlHelper* helper);

  // ---- Duplicate titles --------------------------------------------------
  // "Plan(3)" -> {"Plan", 3, ""}; "Plan" -> {"Plan", 0, ""}.
  static Comps dupTitleComps(std::string_view title);
  // "a(2).txt" -> {"a", 2, ".txt"}; "report.pdf" -> {"report", 0, ".pdf"};
  // "README" -> {"README", 0, "."}.
  static Comps dupFileTitleComps(std::string_view name);
  // base + "(counter)" + tail, the base cut so that base and counter take at
  // most 80 UTF-16 units (the tail is not counted).
  static std::string dupTitleFromComps(const Comps& comps);

  // ---- Digests -------------------------------------------------------------
  // Lower-case hexadecimal, two digits a byte; any length.
  static std::string hexStringFromBytes(const void* bytes, std::size_t length);
  // SHA-1 (40 digits) and MD5 (32 digits) of the text's UTF-8 bytes or of a
  // data buffer of any length, in lower-case hexadecimal.
  static std::string sha1(std::string_view text);
  static std::string sha1ForData(kx::ByteView data);
  static std::string MD5String(std::string_view text);
  // The data's MD5 (the text the platform sends this to plays no part).
  static std::string MD5WithData(kx::ByteView data);

  // ---- Note text -----------------------------------------------------------
  // The plain text of a stored note body: the structured (JSON) form's text,
  // the XML form's text elements and table cells joined by blanks, or the
  // text of an HTML body.
  static std::string plainText(std::string_view text);
  // Decimal and hexadecimal numeric character references of 4 to 10
  // characters decoded when their value is 1 to 0xFFFE; a reference to a
  // surrogate (0xD800 to 0xDFFF) becomes U+FFFD. Named references stay.
  static std::string gtm_stringByUnescapingFromHTML(std::string_view text);
  // "&quot;", "&apos;", "&amp;", "&lt;", "&gt;" and "&nbsp;" decoded in that
  // order, each over the result of the one before ("&amp;lt;" -> "<").
  static std::string htmlEntityDecode(std::string_view text);
  // Every empty namespace attribute (' xmlns=""') removed from start tags.
  static std::string clearXml(std::string_view text);
  // Every link to the note service's host that ends with `identifier`
  // replaced by the identifier itself.
  static std::string stringByReplacingUrlWithId(std::string_view text, std::string_view identifier);
  // The first 45 UTF-16 units, widened to the end of the composed character
  // sequence that unit 45 falls in; the whole text when shorter.
  static std::string summaryString(std::string_view text);

  // ---- File names and URLs -------------------------------------------------
  // Case-sensitive tests of the path extension (the text after the last "."
  // of the last path component; ".dotfile" has none).
  static bool isPdf(std::string_view name);         // extension contains "pdf"
  static bool isOfficeFile(std::string_view name);  // contains xls, doc, ppt or pdf
  static bool isNormalFile(std::string_view name);  // contains none of note, md, mindmap
  // Both texts begin with "http://" or "https://" and are equal after the
  // scheme (the "/" before the host kept); false when either has neither.
  static bool isSameUrl(std::string_view text, std::string_view other);
  // The text begins with "http://" or "https://", ignoring case.
  static bool guessIsALink(std::string_view text);
  // Percent-encoded UTF-8; only letters, digits and "-._~" stay as they are.
  static std::string urlencode(std::string_view text);
  // The text followed by each suffix, in the suffixes' order.
  static std::vector<std::string> arrayByAppendingSuffixArray(
      std::string_view text, const std::vector<std::string>& suffixes);
  // Without leading and trailing U+0020 (tabs and line feeds stay).
  static std::string trim(std::string_view text);
  // Every "'" preceded by a backslash, for a quoted predicate string.
  static std::string safeForCoreData(std::string_view text);
  // True for a missing text and for "".
  static bool isEmpty(const char* text);
  static bool isEmpty(const std::string& text);
  static bool isEmpty(const std::optional<std::string>& text);
  // True for Null and for the empty string; false for other kinds.
  static bool isEmpty(const kx::Value& value);

  // ---- Further helpers -------------------------------------------------------
  // The text split at each `separator` into pairs, and each pair at "=";
  // a pair of exactly two parts maps its second part to its first
  // ("v=k" gives k -> v); a later equal key wins.
  static kx::Dictionary DictionarySeparatedByString(std::string_view text,
                                                    std::string_view separator);
  // "1" and ten more ASCII digits, nothing else.
  static bool isPhoneNumber(std::string_view text);
  // The whole text has the usual address form: letters, digits and "._%+-"
  // before one "@", then a domain of letters, digits, "." and "-" ending in
  // "." and two or more letters.
  static bool isValidEmail(std::string_view text);
  // Begins with "http://" or "https://".
  static bool isValidURL(std::string_view text);
  // Begins with the note service's origin over http or https (scheme and
  // host in any case), and the host ends there: the text ends, or "/", "?",
  // "#" or a port (":" and digits, then the end or one of those) follows.
  // So "https://<host>.example.org" is not the service.
  static bool isValidZarvelURL(std::string_view text);
  // Holds none of \ / : * < > |.
  static bool isLegalFileName(std::string_view text);
  // A byte count as "%.0fB" below 1024, then "%.1fK", "%.1fM" and "%.1fG"
  // in steps of 1024.
  static std::string stringFromSize(double size);
  // Every regular-expression metacharacter (\ ^ $ . | ? * + ( ) [ ] { })
  // preceded by a backslash, then safeForCoreData.
  static std::string safeForCoreDataRegExp(std::string_view text);
  // The text in GB 18030 (ill-formed UTF-8 read as U+FFFD); nothing when
  // the converter is not available.
  static std::optional<kx::Bytes> dataByTransformToGB(std::string_view text);
  // The text transliterated to Latin letters without combining marks (Han
  // characters as their pinyin, "笔记" -> "bi ji"); the text unchanged when
  // the transliterator is not available.
  static std::string stringByTransfromToPinyin(std::string_view text);
  // A duration as "<n><unit> " parts for centuries (of 100 years), years
  // (365 days), months (30 days), days, hours, minutes and seconds, largest
  // first, parts of 0 left out ("1d 2h 5s "; under a second "0s "). The
  // unit names ("c", "y", "mo", "d", "h", "min", "s") are localised.
  static std::string timeFromInterval(double seconds);
  // The longest prefix of whole composed character sequences whose width in
  // the font (KXFont::widthOfString) is at most `width` pixels, found by
  // binary search: the whole text when it fits, "" when not even its first
  // character does.
  static std::string subStringWithFont(std::string_view text, const KXFont& font, double width);
  // That prefix followed by "..." when the text was cut; the dots are not
  // counted, so the answer may be wider than `width`.
  static std::string subStringWithEllipsisWithFont(std::string_view text, const KXFont& font,
                                                   double width);

  // ---- Presentation --------------------------------------------------------
  enum class EditingColour { Default, Link, Placeholder };
  // What a text field shows for the note author and source address: the text
  // truncated at its tail, in the link colour when `highlightLink` is set and
  // the text looks like a link, in the placeholder colour when
  // `isPlaceHolder` is set (that wins over the link colour).
  struct EditingString {
    std::string string;
    EditingColour foreground = EditingColour::Default;
    bool truncatesTail = true;
    bool operator==(const EditingString&) const = default;
  };
  static EditingString stringForEditing(std::string_view text, bool highlightLink,
                                        bool isPlaceHolder);
};

#endif  // ZN_COMMONUTILS_NSSTRINGDUPTITLE_H_
