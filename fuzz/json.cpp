// Fuzz target of the JSON codec. Every input is parsed under each of the 16
// parse option sets; whatever parses must be writable under each serialize
// option set, the text written must parse strictly back to an equal value,
// the relaxed option sets must accept whatever the strict one accepts, with
// the same result, and a mutable parse must give the same tree, whose
// collections change through their own methods without touching the first.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "CommonUtils/JSONKit/JKArray.h"
#include "CommonUtils/JSONKit/JKDictionary.h"
#include "CommonUtils/JSONKit/JKSerializer.h"
#include "CommonUtils/JSONKit/JSONDecoder.h"
#include "CommonUtils/JSONKit/JSONKit.h"
#include "platform/Error.h"
#include "platform/Value.h"

namespace {

[[noreturn]] void Fail(const char* what, JKFlags parseOptions, JKFlags serializeOptions,
                       const std::string& detail) {
  std::fprintf(stderr, "json fuzz: %s (parse options %llu, serialize options %llu)\n%s\n", what,
               static_cast<unsigned long long>(parseOptions),
               static_cast<unsigned long long>(serializeOptions), detail.c_str());
  std::abort();
}

constexpr JKSerializeOptionFlags kSerializeOptions[] = {
    0, JKSerializeOptionPretty, JKSerializeOptionUnicodeEscapes, JKSerializeOptionSlashEscapes,
    JKSerializeOptionPretty | JKSerializeOptionUnicodeEscapes | JKSerializeOptionSlashEscapes};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::uint8_t kEmpty = 0;
  if (data == nullptr) data = &kEmpty;

  kx::Value strict;
  for (JKParseOptionFlags options = 0; options <= JKParseOptionValidFlags; ++options) {
    JSONDecoder decoder(options);
    kx::Error error;
    const kx::Value value = decoder.objectWithUTF8String(data, size, &error);
    if (value.isNull()) {
      if (!error || error.domain() != kJKErrorDomain || error.localizedDescription().empty() ||
          !error.userInfo().contains(JKLineNumberKey)) {
        Fail("failure without a proper error", options, 0, error.localizedDescription());
      }
      if (!strict.isNull())
        Fail("relaxed options refused a strict document", options, 0, error.localizedDescription());
      continue;
    }
    if (error) Fail("success with an error", options, 0, error.localizedDescription());
    if (!value.isArray() && !value.isDictionary())
      Fail("top level is not a collection", options, 0, "");
    if (options == 0) strict = value;

    const kx::Value changeable = decoder.mutableObjectWithUTF8String(data, size);
    if (!(changeable == value)) Fail("mutable parse differs", options, 0, "");
    if (JKArray* array = JKArray::fromValue(changeable)) {
      array->insertObject(kx::Value::date(0.5), array->count());  // a date never comes from JSON
    } else if (JKDictionary* dictionary = JKDictionary::fromValue(changeable)) {
      dictionary->setObject(kx::Value::date(0.5), "added");
    } else {
      Fail("mutable parse is not a parsed collection", options, 0, "");
    }
    if (changeable == value) Fail("mutable parse did not change", options, 0, "");
    if (!strict.isNull() && !(value == strict))
      Fail("relaxed result differs from strict", options, 0, "");

    for (JKSerializeOptionFlags serializeOptions : kSerializeOptions) {
      std::string text;
      kx::Error writeError;
      if (!JKSerializer::serializeObject(value, serializeOptions,
                                         JKEncodeOptionResultString | JKEncodeOptionCollectionObj,
                                         nullptr, &text, &writeError)) {
        Fail("parsed value could not be written", options, serializeOptions,
             writeError.localizedDescription());
      }
      if (serializeOptions & JKSerializeOptionUnicodeEscapes) {
        for (unsigned char c : text) {
          if (c >= 0x80)
            Fail("non-ASCII byte under Unicode escapes", options, serializeOptions, text);
        }
      }
      kx::Error readError;
      const kx::Value again =
          objectFromJSONStringWithParseOptions(text, JKParseOptionStrict, &readError);
      if (again.isNull())
        Fail("written text does not parse", options, serializeOptions,
             readError.localizedDescription() + "\n" + text);
      if (!(again == value)) Fail("round trip changed the value", options, serializeOptions, text);
    }
  }
  return 0;
}
