#include "CommonUtils/JSONKit/JKDictionaryEnumerator.h"

#include <utility>

JKDictionaryEnumerator::JKDictionaryEnumerator(kx::Value collection)
    : collection_(std::move(collection)) {}

const std::string* JKDictionaryEnumerator::nextObject() {
  const kx::Dictionary& dictionary = collection_.dict();
  if (nextObject_ >= dictionary.size()) return nullptr;
  return &dictionary.entries()[nextObject_++].first;
}

std::vector<std::string> JKDictionaryEnumerator::allObjects() {
  std::vector<std::string> keys;
  while (const std::string* key = nextObject()) keys.push_back(*key);
  return keys;
}
