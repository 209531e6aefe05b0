// JSONDecoder parses UTF-8 JSON text into kx::Value trees with a fixed set of
// parse options (see JSONKit.h for the option bits and the shape of results
// and errors). It is a single-pass, recursive-descent parser over the input
// bytes; strings without escapes are taken straight from the input, and the
// decoder keeps its scratch buffers between parses, so one decoder that
// parses many documents allocates little after the first. The strings of a
// result longer than the cache's (below) and its arrays and dictionaries
// are made in the blocks of a kx::ValueArena, a few allocations per document
// instead of one or two per value; each block lives until the last value in
// it is gone, so a value kept long after the rest of its document keeps its
// block (a few KiB to 64 KiB) with it.
//
// Each decoder keeps a cache of the short string values (up to 16 bytes) it
// has built, in 1024 buckets: a string that occurs again, in the same
// document or a later one, is handed out as the same shared string instead
// of a new copy. The cache holds its strings until they are evicted,
// clearCache() runs or the decoder is destroyed. (Numbers are plain values in
// a kx::Value; there is nothing to share.)
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
  // is NULL."}. The arrays and dictionaries of the result are immutable
  // JKArray and JKDictionary storage.
  kx::Value objectWithUTF8String(const char* string, std::size_t length,
                                 kx::Error* error = nullptr);
  kx::Value objectWithUTF8String(const std::uint8_t* string, std::size_t length,
                                 kx::Error* error = nullptr);
  kx::Value objectWithData(const kx::Bytes& jsonData, kx::Error* error = nullptr);

  // The same, with every array and dictionary of the result mutable.
  kx::Value mutableObjectWithUTF8String(const char* string, std::size_t length,
                                        kx::Error* error = nullptr);
  kx::Value mutableObjectWithUTF8String(const std::uint8_t* string, std::size_t length,
                                        kx::Error* error = nullptr);
  kx::Value mutableObjectWithData(const kx::Bytes& jsonData, kx::Error* error = nullptr);

  // Older names of objectWithUTF8String() and objectWithData().
  kx::Value parseUTF8String(const char* string, std::size_t length, kx::Error* error = nullptr);
  kx::Value parseUTF8String(const std::uint8_t* string, std::size_t length,
                            kx::Error* error = nullptr);
  kx::Value parseJSONData(const kx::Bytes& jsonData, kx::Error* error = nullptr);

  // Empties the string cache (see above).
  void clearCache();

 private:
  // Raises {"NSInternalInconsistencyException", "parseState is NULL."} for a
  // decoder that was moved from.
  JKParseState& state() const;
  kx::Value parse(const std::uint8_t* string, std::size_t length, bool mutableResult,
                  kx::Error* error);

  std::unique_ptr<JKParseState> parseState_;
};

#endif  // ZN_COMMONUTILS_JSONKIT_JSONDECODER_H_
