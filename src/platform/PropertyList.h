// kx::PropertyList reads and writes property lists, the file format of the
// session files, the user configuration, the state file and the user
// defaults, in their XML form and in their binary form ("bplist00"), with
// kx::Value standing for the values:
//
//   <dict>            Dictionary (string keys, order kept)
//   <array>           Array
//   <string>          String (UTF-8)
//   <integer>         Int64, or UInt64 above the signed range
//   <real>            Double ("nan", "+infinity", "-infinity" for the specials)
//   <true/> <false/>  Bool
//   <date>            Date, ISO 8601 in UTC to the second: 2026-12-10T12:00:00Z
//   <data>            Data, as Base64
//
// Null has no place in a property list: writing a value that holds one fails.
//
// Written layout: the XML declaration, the usual DOCTYPE, <plist
// version="1.0">, then one element per line, indented with tabs, keys in the
// dictionary's order; empty containers as <dict/> and <array/>; data as Base64
// lines between <data> and </data>, each line 76 characters less 8 for each
// level of indentation (at least 12). "&", "<" and ">" are escaped as entities
// and a carriage return as "&#13;" (a raw one would read back as a line feed).
// Text that XML cannot carry (control characters other than tab, line feed
// and carriage return, U+FFFE, U+FFFF, ill-formed UTF-8) cannot be written:
// the write fails rather than produce a file that cannot be read back.
//
// Reading is strict about structure and never crashes: malformed XML, an
// unknown element, text between elements, a key without a value, a bad number
// or date, nesting deeper than kMaxDepth, or entity declarations in the
// document type (which could expand without bound) give an error of
// kCocoaErrorDomain with code kPropertyListReadCorruptError. A repeated key
// keeps the last value. Base64 in <data> is read leniently (white space and
// line breaks are skipped).
//
// Reading takes either form: text that starts with "bplist00" is read as the
// binary form, anything else as XML. The binary form carries the same kinds
// (integers up to 64 bits, either sign; dates as seconds since 2001 in the
// file); it is read just as strictly: offsets, counts and references that
// point outside the file or at no object, a container that holds itself,
// nesting deeper than kMaxDepth, keys that are not strings, and objects
// without a place in a kx::Value (null, sets, keyed-archive identifiers)
// are read errors. UTF-16 text with a lone surrogate reads with U+FFFD in
// its place. Objects referred to more than once are read once and shared.
// Written binary lists hold each distinct string (key or value) once, and
// each array or dictionary whose storage several values share once.
//
// Thread safety: stateless; every function may be called from any thread.
#ifndef ZN_PLATFORM_PROPERTYLIST_H_
#define ZN_PLATFORM_PROPERTYLIST_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

namespace kx {

// Codes of kCocoaErrorDomain, as the platform numbers them.
inline constexpr std::int64_t kPropertyListReadCorruptError = 3840;
inline constexpr std::int64_t kPropertyListWriteInvalidError = 3852;

class PropertyList {
 public:
  PropertyList() = delete;

  // Containers nested deeper than this are refused when reading and writing,
  // so that neither the parser's callers nor Value's recursive destruction
  // can run out of stack.
  static constexpr std::size_t kMaxDepth = 512;
  // A value that stands for more objects than this written out in full
  // (each key, item and container counts) cannot be written as XML, which
  // has no way to share: objects shared in the binary form are read once and
  // shared, so a small file could otherwise stand for billions of elements.
  static constexpr std::size_t kMaxElements = std::size_t{1} << 22;

  enum class Format { XML, Binary };

  // The value of a property list in either form.
  static std::optional<Value> parse(std::string_view bytes, Error* error = nullptr);
  // Whether the bytes start as the binary form does.
  static bool isBinary(std::string_view bytes);

  // The XML text of a value; fails (kPropertyListWriteInvalidError) when the
  // value holds something a property list cannot carry.
  static std::optional<std::string> serialize(const Value& value, Error* error = nullptr);
  // The value in the given form. The binary form also carries the strings
  // and dates that XML cannot.
  static std::optional<std::string> serialize(const Value& value, Format format,
                                              Error* error = nullptr);

  // Whether serialize() would succeed.
  [[nodiscard]] static bool isValid(const Value& value, Error* error = nullptr);

  // parse() of a file's contents, read through kx::FileSystem::Default().
  static std::optional<Value> readFile(const std::string& path, Error* error = nullptr);

  // serialize() written atomically to `path` (a reader sees the old file or
  // the new one, never a mix).
  [[nodiscard]] static bool writeFile(const std::string& path, const Value& value,
                                      Error* error = nullptr);
  [[nodiscard]] static bool writeFile(const std::string& path, const Value& value, Format format,
                                      Error* error = nullptr);

 private:
  static std::optional<Value> parseXml(std::string_view xml, Error* error);
  static std::optional<Value> parseBinary(std::string_view bytes, Error* error);
  static std::optional<std::string> serializeBinary(const Value& value, Error* error);
};

}  // namespace kx

#endif  // ZN_PLATFORM_PROPERTYLIST_H_
