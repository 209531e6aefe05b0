// JKSerializer writes a kx::Value tree as UTF-8 JSON text: compact by
// default, indented with sorted keys under JKSerializeOptionPretty (see
// JSONKit.h for the options and the shape of errors).
//
// Output, byte for byte:
//  - strings: 08 09 0A 0C 0D as \b \t \n \f \r, other bytes below 0x20 as
//    \u00xx (lower-case hex), '"' and '\' with a backslash, '/' as "\/" only
//    under JKSerializeOptionSlashEscapes; non-ASCII text as raw UTF-8, or as
//    \uxxxx escapes (surrogate pairs above U+FFFF) under
//    JKSerializeOptionUnicodeEscapes, where a noncharacter fails the call.
//    Bytes that are not well-formed UTF-8 are written as U+FFFD.
//  - numbers: booleans as true/false, integers in decimal, doubles as
//    printf's "%.17g" would write them in the C locale (NaN and infinities
//    fail), null as null.
//  - pretty layout: after '[' or '{' a line break and two spaces per level,
//    after ',' a line break and the indentation, ": " after keys, and a line
//    break and the indentation before ']' or '}'. Keys are sorted by UTF-16
//    code units; compact output keeps the dictionary's own order.
//
// Data and Date values go to the formatter block, whose replacement is
// written instead; without one the call fails. Nesting deeper than 512
// levels fails rather than exhausting the stack.
//
// Thread safety: serializeObject() may be called from any thread; each call
// has its own state.
#ifndef ZN_COMMONUTILS_JSONKIT_JKSERIALIZER_H_
#define ZN_COMMONUTILS_JSONKIT_JKSERIALIZER_H_

#include <string>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"

class JKSerializer {
 public:
  static constexpr int kMaxDepth = 512;

  // Writes `object` and returns the text as a Data value (encode option
  // JKEncodeOptionResultData) or a String value (JKEncodeOptionResultString);
  // Null on failure, with *error filled. JKEncodeOptionCollectionObj demands
  // an array or a dictionary, JKEncodeOptionStringObj a string, and
  // JKEncodeOptionStringObjTrimQuotes leaves a top-level string's quotes out.
  // Contradictory encode options are a programming error (kx::Exception).
  static kx::Value serializeObject(const kx::Value& object, JKSerializeOptionFlags options,
                                   JKEncodeOptionType encodeOption,
                                   const JKSerializeUnsupportedClassesBlock& block,
                                   kx::Error* error);

  // The same, writing into `out` (replaced); false on failure. These spare
  // the copy of the finished text that a kx::Value result needs.
  [[nodiscard]] static bool serializeObject(const kx::Value& object, JKSerializeOptionFlags options,
                                            JKEncodeOptionType encodeOption,
                                            const JKSerializeUnsupportedClassesBlock* block,
                                            std::string* out, kx::Error* error);
  [[nodiscard]] static bool serializeObject(const kx::Value& object, JKSerializeOptionFlags options,
                                            JKEncodeOptionType encodeOption,
                                            const JKSerializeUnsupportedClassesBlock* block,
                                            kx::Bytes* out, kx::Error* error);
  // Collections held outside a kx::Value (encode option collection).
  [[nodiscard]] static bool serializeObject(const kx::Dictionary& dictionary,
                                            JKSerializeOptionFlags options, std::string* out,
                                            kx::Error* error);
  [[nodiscard]] static bool serializeObject(const kx::Dictionary& dictionary,
                                            JKSerializeOptionFlags options, kx::Bytes* out,
                                            kx::Error* error);
  [[nodiscard]] static bool serializeObject(const kx::Array& array, JKSerializeOptionFlags options,
                                            std::string* out, kx::Error* error);
  [[nodiscard]] static bool serializeObject(const kx::Array& array, JKSerializeOptionFlags options,
                                            kx::Bytes* out, kx::Error* error);
};

#endif  // ZN_COMMONUTILS_JSONKIT_JKSERIALIZER_H_
