#include "CommonUtils/JSONKit/JKDictionary.h"

#include <utility>

#include "CommonUtils/JSONKit/JKArray.h"
#include "CommonUtils/JSONKit/JKDictionaryEnumerator.h"
#include "platform/Error.h"

JKDictionary::JKDictionary(kx::Dictionary dictionary, bool mutableCollection)
    : kx::DictionaryRep(std::move(dictionary)), mutations_(mutableCollection ? 1 : 0) {
  derived = true;
}

JKDictionary* JKDictionary::fromValue(const kx::Value& value) {
  const kx::DictionaryRep* rep = value.dictionaryRep();
  if (rep == nullptr || !rep->derived) return nullptr;
  return dynamic_cast<JKDictionary*>(const_cast<kx::DictionaryRep*>(rep));
}

kx::Value JKDictionary::create(std::string* keys, const std::uint32_t* keyHashes,
                               kx::Value* objects, std::size_t count, bool mutableCollection,
                               kx::ValueArena* arena) {
  kx::Dictionary dictionary = kx::Dictionary::adopt(keys, keyHashes, objects, count, arena);
  void* piece = arena ? arena->allocate(sizeof(JKDictionary)) : nullptr;
  if (!piece) return kx::Value::adopt(new JKDictionary(std::move(dictionary), mutableCollection));
  auto* rep = new (piece) JKDictionary(std::move(dictionary), mutableCollection);
  rep->pooled = true;
  return kx::Value::adopt(rep);
}

void JKDictionary::checkMutable(const char* selector) const {
  if (mutations_ == 0) {
    throw kx::Exception("NSInternalInconsistencyException",
                        std::string("*** -[JKDictionary ") + selector +
                            "]: mutating method sent to immutable object");
  }
}

const kx::Value* JKDictionary::objectForKey(std::string_view key) const {
  return dictionary_.find(key);
}

void JKDictionary::getObjects(kx::Value* objects, std::string* keys) const {
  std::size_t i = 0;
  for (const auto& [key, object] : dictionary_) {
    if (objects) objects[i] = object;
    if (keys) keys[i] = key;
    ++i;
  }
}

JKDictionaryEnumerator JKDictionary::keyEnumerator() const {
  auto* self = const_cast<JKDictionary*>(this);
  self->refs.fetch_add(1, std::memory_order_relaxed);
  return JKDictionaryEnumerator(kx::Value::adopt(self));
}

void JKDictionary::setObject(kx::Value object, std::string_view key) {
  checkMutable("setObject:forKey:");
  dictionary_.set(std::string(key), std::move(object));
  mutations_ = JKArray::nextMutations(mutations_);
}

void JKDictionary::removeObjectForKey(std::string_view key) {
  checkMutable("removeObjectForKey:");
  if (dictionary_.remove(key)) mutations_ = JKArray::nextMutations(mutations_);
}

kx::Value JKDictionary::copy() const {
  if (mutations_ != 0) return kx::Value(dictionary_);
  auto* self = const_cast<JKDictionary*>(this);
  self->refs.fetch_add(1, std::memory_order_relaxed);
  return kx::Value::adopt(self);
}

kx::Value JKDictionary::mutableCopy() const { return kx::Value(dictionary_); }
