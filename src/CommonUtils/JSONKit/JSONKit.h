// The JSON codec's public face: option bits, error keys, and the parse and
// write entry points that the rest of the client calls.
//
// Parsing turns UTF-8 JSON text into a kx::Value tree (arrays, dictionaries in
// document order, strings, numbers, booleans, null). The top-level value must
// be an array or a dictionary. Integers become Int64 (or UInt64 above the
// signed range), numbers with a fraction or an exponent and exactly "-0"
// become Double. A repeated key keeps its later value. On failure the result is
// Null and *error (when given) holds a kx::Error of domain "JKErrorDomain",
// code -1, whose user info has the message, "JKAtIndexKey" (byte index
// reached) and "JKLineNumberKey" (1-based line). Arrays and dictionaries nest
// at most 512 levels deep, for reading and for writing.
//
// The arrays and dictionaries of a parsed tree are kept as JKArray and
// JKDictionary storage (immutable, or mutable through the mutable entry
// points); they read as ordinary kx::Array and kx::Dictionary, and a value's
// mutableArray() or mutableDict() gives a plain collection of its own.
// Repeated string values of one document share one string.
//
// Writing turns an array or a dictionary (or, through the string entry points,
// a single string) into compact UTF-8 JSON; JKSerializeOptionPretty indents by
// two spaces and sorts the keys. Data and Date values cannot be written unless
// a formatter block turns them into something that can. On failure the result
// is empty and *error holds a kx::Error of domain "JKErrorDomain", code -1.
//
// Thread safety: every function here may be called from any thread at once;
// each call works on its own state (parsing reuses scratch storage that each
// thread keeps for itself).
#ifndef ZN_COMMONUTILS_JSONKIT_JSONKIT_H_
#define ZN_COMMONUTILS_JSONKIT_JSONKIT_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Value.h"

using JKFlags = std::uint64_t;

// Parse options (a bit set; anything above JKParseOptionValidFlags is refused).
using JKParseOptionFlags = JKFlags;
inline constexpr JKParseOptionFlags JKParseOptionNone = 0;
inline constexpr JKParseOptionFlags JKParseOptionStrict = 0;
// "//" and "/* */" comments wherever white space may stand.
inline constexpr JKParseOptionFlags JKParseOptionAllowComments = 1;
// U+0085, U+2028 and U+2029 count as line breaks in white space and comments.
inline constexpr JKParseOptionFlags JKParseOptionUnicodeLineBreaks = 2;
// Ill-formed or disallowed Unicode in strings becomes U+FFFD instead of failing.
inline constexpr JKParseOptionFlags JKParseOptionLenientUnicode = 4;
// Bytes after the top-level value are ignored.
inline constexpr JKParseOptionFlags JKParseOptionTrailingText = 8;
inline constexpr JKParseOptionFlags JKParseOptionValidFlags = 15;

// Serialize options (a bit set).
using JKSerializeOptionFlags = JKFlags;
inline constexpr JKSerializeOptionFlags JKSerializeOptionNone = 0;
// Line breaks, two-space indentation, ": " after keys, keys in sorted order.
inline constexpr JKSerializeOptionFlags JKSerializeOptionPretty = 1;
// Every non-ASCII character as \u escapes (pure ASCII output).
inline constexpr JKSerializeOptionFlags JKSerializeOptionUnicodeEscapes = 2;
// "/" written as "\/".
inline constexpr JKSerializeOptionFlags JKSerializeOptionSlashEscapes = 16;

// Encode options: the result kind (low three bits) and the top-level check.
using JKEncodeOptionType = JKFlags;
inline constexpr JKEncodeOptionType JKEncodeOptionResultData = 1;
inline constexpr JKEncodeOptionType JKEncodeOptionResultString = 2;
inline constexpr JKEncodeOptionType JKEncodeOptionResultMask = 7;
inline constexpr JKEncodeOptionType JKEncodeOptionCollectionObj = 8;
inline constexpr JKEncodeOptionType JKEncodeOptionStringObj = 16;
inline constexpr JKEncodeOptionType JKEncodeOptionStringObjTrimQuotes = 32;

inline constexpr const char* kJKErrorDomain = "JKErrorDomain";
inline constexpr const char* JKAtIndexKey = "JKAtIndexKey";
inline constexpr const char* JKLineNumberKey = "JKLineNumberKey";

// Formatter for values the serializer cannot write itself (Data, Date): it
// returns a replacement, or nothing to make the call fail.
using JKSerializeUnsupportedClassesBlock =
    std::function<std::optional<kx::Value>(const kx::Value& object)>;

// ---------------------------------------------------------------------------
// Parsing JSON text (string) and JSON bytes (data). The forms without options
// parse strictly (options 0).
// ---------------------------------------------------------------------------
kx::Value objectFromJSONString(std::string_view json);
kx::Value objectFromJSONStringWithParseOptions(std::string_view json,
                                               JKParseOptionFlags parseOptionFlags,
                                               kx::Error* error = nullptr);
kx::Value objectFromJSONData(const kx::Bytes& data);
kx::Value objectFromJSONDataWithParseOptions(const kx::Bytes& data,
                                             JKParseOptionFlags parseOptionFlags,
                                             kx::Error* error = nullptr);

// The same, with every array and dictionary of the result mutable through
// JKArray and JKDictionary.
kx::Value mutableObjectFromJSONString(std::string_view json);
kx::Value mutableObjectFromJSONStringWithParseOptions(std::string_view json,
                                                      JKParseOptionFlags parseOptionFlags,
                                                      kx::Error* error = nullptr);
kx::Value mutableObjectFromJSONData(const kx::Bytes& data);
kx::Value mutableObjectFromJSONDataWithParseOptions(const kx::Bytes& data,
                                                    JKParseOptionFlags parseOptionFlags,
                                                    kx::Error* error = nullptr);

// ---------------------------------------------------------------------------
// Writing an array or a dictionary. A kx::Value that holds neither fails with
// "Unable to serialize object class NSString, expected a NSArray or
// NSDictionary." (naming its kind).
// ---------------------------------------------------------------------------
kx::Bytes JSONData(const kx::Value& collection);
kx::Bytes JSONData(const kx::Dictionary& dictionary);
kx::Bytes JSONData(const kx::Array& array);
kx::Bytes JSONDataWithOptions(const kx::Value& collection, JKSerializeOptionFlags serializeOptions,
                              kx::Error* error);
kx::Bytes JSONDataWithOptions(const kx::Value& collection, JKSerializeOptionFlags serializeOptions,
                              const JKSerializeUnsupportedClassesBlock& block, kx::Error* error);

std::string JSONString(const kx::Value& collection);
std::string JSONString(const kx::Dictionary& dictionary);
std::string JSONString(const kx::Array& array);
std::string JSONStringWithOptions(const kx::Value& collection,
                                  JKSerializeOptionFlags serializeOptions, kx::Error* error);
std::string JSONStringWithOptions(const kx::Value& collection,
                                  JKSerializeOptionFlags serializeOptions,
                                  const JKSerializeUnsupportedClassesBlock& block,
                                  kx::Error* error);

// The same with a delegate's formatter: `selector`, called on `delegate`,
// returns a replacement for a value that cannot be written, or nothing to make
// the call fail. A null delegate means no formatter. A delegate with a null
// selector is a programming error: raises kx::Exception
// {"NSInvalidArgumentException", "The delegate argument is not NULL, but the
// selector argument is NULL."}.
template <class Delegate>
using JKSerializeUnsupportedClassesSelector =
    std::optional<kx::Value> (Delegate::*)(const kx::Value& object);

namespace jsonkit {
template <class Delegate>
JKSerializeUnsupportedClassesBlock DelegateFormatter(
    Delegate* delegate, JKSerializeUnsupportedClassesSelector<Delegate> selector) {
  if (delegate == nullptr) return nullptr;
  if (selector == nullptr) {
    throw kx::Exception("NSInvalidArgumentException",
                        "The delegate argument is not NULL, but the selector argument is NULL.");
  }
  return [delegate, selector](const kx::Value& object) { return (delegate->*selector)(object); };
}
}  // namespace jsonkit

template <class Delegate>
kx::Bytes JSONDataWithOptions(const kx::Value& collection, JKSerializeOptionFlags serializeOptions,
                              Delegate* delegate,
                              JKSerializeUnsupportedClassesSelector<Delegate> selector,
                              kx::Error* error) {
  return JSONDataWithOptions(collection, serializeOptions,
                             jsonkit::DelegateFormatter(delegate, selector), error);
}

template <class Delegate>
std::string JSONStringWithOptions(const kx::Value& collection,
                                  JKSerializeOptionFlags serializeOptions, Delegate* delegate,
                                  JKSerializeUnsupportedClassesSelector<Delegate> selector,
                                  kx::Error* error) {
  return JSONStringWithOptions(collection, serializeOptions,
                               jsonkit::DelegateFormatter(delegate, selector), error);
}

// ---------------------------------------------------------------------------
// Writing a single string as a JSON string token, with or without its quotes.
// ---------------------------------------------------------------------------
kx::Bytes JSONData(const std::string& string);
std::string JSONString(const std::string& string);
kx::Bytes JSONDataWithOptions(std::string_view string, JKSerializeOptionFlags serializeOptions,
                              bool includeQuotes, kx::Error* error);
std::string JSONStringWithOptions(std::string_view string, JKSerializeOptionFlags serializeOptions,
                                  bool includeQuotes, kx::Error* error);

#endif  // ZN_COMMONUTILS_JSONKIT_JSONKIT_H_
