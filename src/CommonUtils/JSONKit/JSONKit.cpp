#include "CommonUtils/JSONKit/JSONKit.h"

#include "CommonUtils/JSONKit/JKSerializer.h"

namespace {

constexpr JKEncodeOptionType kCollectionAsData =
    JKEncodeOptionResultData | JKEncodeOptionCollectionObj;
constexpr JKEncodeOptionType kCollectionAsString =
    JKEncodeOptionResultString | JKEncodeOptionCollectionObj;

JKEncodeOptionType StringEncodeOption(JKEncodeOptionType result, bool includeQuotes) {
  return result | JKEncodeOptionStringObj | (includeQuotes ? 0 : JKEncodeOptionStringObjTrimQuotes);
}

}  // namespace

// The parsing functions live with the decoder (JSONDecoder.cpp), which keeps
// a parse state per thread for them.

// Writing arrays and dictionaries.

kx::Bytes JSONData(const kx::Value& collection) {
  return JSONDataWithOptions(collection, JKSerializeOptionNone, nullptr);
}

kx::Bytes JSONData(const kx::Dictionary& dictionary) {
  kx::Bytes out;
  kx::ignoreError(JKSerializer::serializeObject(dictionary, JKSerializeOptionNone, &out, nullptr));
  return out;
}

kx::Bytes JSONData(const kx::Array& array) {
  kx::Bytes out;
  kx::ignoreError(JKSerializer::serializeObject(array, JKSerializeOptionNone, &out, nullptr));
  return out;
}

kx::Bytes JSONDataWithOptions(const kx::Value& collection, JKSerializeOptionFlags serializeOptions,
                              kx::Error* error) {
  kx::Bytes out;
  kx::ignoreError(JKSerializer::serializeObject(collection, serializeOptions, kCollectionAsData,
                                                nullptr, &out, error));
  return out;
}

kx::Bytes JSONDataWithOptions(const kx::Value& collection, JKSerializeOptionFlags serializeOptions,
                              const JKSerializeUnsupportedClassesBlock& block, kx::Error* error) {
  kx::Bytes out;
  kx::ignoreError(JKSerializer::serializeObject(collection, serializeOptions, kCollectionAsData,
                                                &block, &out, error));
  return out;
}

std::string JSONString(const kx::Value& collection) {
  return JSONStringWithOptions(collection, JKSerializeOptionNone, nullptr);
}

std::string JSONString(const kx::Dictionary& dictionary) {
  std::string out;
  kx::ignoreError(JKSerializer::serializeObject(dictionary, JKSerializeOptionNone, &out, nullptr));
  return out;
}

std::string JSONString(const kx::Array& array) {
  std::string out;
  kx::ignoreError(JKSerializer::serializeObject(array, JKSerializeOptionNone, &out, nullptr));
  return out;
}

std::string JSONStringWithOptions(const kx::Value& collection,
                                  JKSerializeOptionFlags serializeOptions, kx::Error* error) {
  std::string out;
  kx::ignoreError(JKSerializer::serializeObject(collection, serializeOptions, kCollectionAsString,
                                                nullptr, &out, error));
  return out;
}

std::string JSONStringWithOptions(const kx::Value& collection,
                                  JKSerializeOptionFlags serializeOptions,
                                  const JKSerializeUnsupportedClassesBlock& block,
                                  kx::Error* error) {
  std::string out;
  kx::ignoreError(JKSerializer::serializeObject(collection, serializeOptions, kCollectionAsString,
                                                &block, &out, error));
  return out;
}

// Writing a single string.

kx::Bytes JSONData(const std::string& string) {
  return JSONDataWithOptions(std::string_view(string), JKSerializeOptionNone, true, nullptr);
}

std::string JSONString(const std::string& string) {
  return JSONStringWithOptions(std::string_view(string), JKSerializeOptionNone, true, nullptr);
}

kx::Bytes JSONDataWithOptions(std::string_view string, JKSerializeOptionFlags serializeOptions,
                              bool includeQuotes, kx::Error* error) {
  kx::Bytes out;
  kx::ignoreError(JKSerializer::serializeObject(
      kx::Value(string), serializeOptions,
      StringEncodeOption(JKEncodeOptionResultData, includeQuotes), nullptr, &out, error));
  return out;
}

std::string JSONStringWithOptions(std::string_view string, JKSerializeOptionFlags serializeOptions,
                                  bool includeQuotes, kx::Error* error) {
  std::string out;
  kx::ignoreError(JKSerializer::serializeObject(
      kx::Value(string), serializeOptions,
      StringEncodeOption(JKEncodeOptionResultString, includeQuotes), nullptr, &out, error));
  return out;
}
