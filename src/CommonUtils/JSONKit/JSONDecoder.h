// JSONDecoder parses UTF-8 JSON text into kx::Value trees with a fixed set of
// parse options (see JSONKit.h for the option bits and the shape of results
// and errors). It is a single-pass, recursive-descent parser over the input
// bytes; strings without escapes are taken straight from the input, and the
// decoder keeps its scratch buffers between parses, so one decoder that
// parses many documents allocates little after the first.
//
// Arrays and dictionaries may nest at most 512 levels deep; deeper input fails
// with an error instead of exhausting the stack.
//
// Thread safety: a JSONDecoder must be used by one thread at a time. The
// parsing functions of JSONKit.h use a private parse state of the calling
// thread, so they may be called from any number of threads at once.
#ifndef ZN_COMMONUTILS_JSONKIT_JSONDECODER_H_
#define ZN_COMMONUTILS_JSONKIT_JSONDECODER_H_

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"

struct JKParseState;

class JSONDecoder {
 public:
  // The deepest nesting of arrays and dictionaries a document may have.
  static constexpr int kMaxDepth = 512;

  // Options above 15 are a programming error: raises kx::Exception
  // {"NSInvalidArgumentException", "Invalid parse options."}.
  JSONDecoder();
  explicit JSONDecoder(JKParseOptionFlags parseOptionFlags);
  ~JSONDecoder();
  JSONDecoder(JSONDecoder&&) noexcept;
  JSONDecoder& operator=(JSONDecoder&&) noexcept;
  JSONDecoder(const JSONDecoder&) = delete;
  JSONDecoder& operator=(const JSONDecoder&) = delete;

  static JSONDecoder decoder();
  static JSONDecoder decoderWithParseOptions(JKParseOptionFlags parseOptionFlags);

  JKParseOptionFlags parseOptionFlags() const;

  // Parses `length` bytes at `string`. Returns the top-level array or
  // dictionary, or Null on failure with *error filled. A null `string`
  // raises kx::Exception {"NSInvalidArgumentException", "The string argument
  // is NULL."}.
  kx::Value objectWithUTF8String(const char* string, std::size_t length, kx::Error* error = nullptr);
  kx::Value objectWithUTF8String(const std::uint8_t* string, std::size_t length, kx::Error* error = nullptr);
  kx::Value objectWithData(const kx::Bytes& jsonData, kx::Error* error = nullptr);

 private:
  std::unique_ptr<JKParseState> parseState_;
};

#endif  // ZN_COMMONUTILS_JSONKIT_JSONDECODER_H_
