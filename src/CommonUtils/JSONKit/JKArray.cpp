#include "CommonUtils/JSONKit/JKArray.h"

#include <iterator>
#include <string>
#include <utility>

#include "platform/Error.h"
#include "platform/Text.h"

namespace {

std::string Prefix(const char* selector) {
  return std::string("*** -[JKArray ") + selector + "]: ";
}

}  // namespace

JKArray::JKArray(kx::Value* objects, std::size_t count, bool mutableCollection)
    : kx::ArrayRep(
          kx::Array(std::make_move_iterator(objects), std::make_move_iterator(objects + count))),
      mutations_(mutableCollection ? 1 : 0) {
  derived = true;
}

JKArray* JKArray::fromValue(const kx::Value& value) {
  const kx::ArrayRep* rep = value.arrayRep();
  if (rep == nullptr || !rep->derived) return nullptr;
  return dynamic_cast<JKArray*>(const_cast<kx::ArrayRep*>(rep));
}

kx::Value JKArray::create(kx::Value* objects, std::size_t count, bool mutableCollection,
                          kx::ValueArena* arena) {
  void* piece = arena ? arena->allocate(sizeof(JKArray)) : nullptr;
  if (!piece) return kx::Value::adopt(new JKArray(objects, count, mutableCollection));
  JKArray* array;
  try {
    array = new (piece) JKArray(objects, count, mutableCollection);
  } catch (...) {
    kx::ValueArena::release(piece);
    throw;
  }
  array->pooled = true;
  return kx::Value::adopt(array);
}

void JKArray::checkMutable(const char* selector) const {
  if (mutations_ == 0) {
    throw kx::Exception("NSInternalInconsistencyException",
                        Prefix(selector) + "mutating method sent to immutable object");
  }
}

void JKArray::beyondBounds(const char* selector, std::size_t index, std::size_t bound) const {
  throw kx::Exception("NSRangeException",
                      Prefix(selector) + "index (" + kx::Text::toString(std::uint64_t{index}) +
                          ") beyond bounds (" + kx::Text::toString(std::uint64_t{bound}) + ")");
}

const kx::Value& JKArray::objectAtIndex(std::size_t index) const {
  if (index >= objects_.size()) beyondBounds("objectAtIndex:", index, objects_.size());
  return objects_[index];
}

void JKArray::getObjects(kx::Value* objects, std::size_t location, std::size_t length) const {
  if (objects == nullptr && length > 0) {
    throw kx::Exception("NSRangeException",
                        Prefix("getObjects:range:") +
                            "pointer to objects array is NULL but range length is " +
                            kx::Text::toString(std::uint64_t{length}));
  }
  if (location > objects_.size() || length > objects_.size() - location) {
    beyondBounds("getObjects:range:", location + length, objects_.size());
  }
  for (std::size_t i = 0; i < length; ++i) objects[i] = objects_[location + i];
}

void JKArray::insertObject(kx::Value object, std::size_t index) {
  checkMutable("insertObject:atIndex:");
  if (index > objects_.size()) beyondBounds("insertObject:atIndex:", index, objects_.size() + 1);
  // The storage grows by 16 places at a time.
  if (objects_.size() + 1 >= objects_.capacity()) objects_.reserve(objects_.capacity() + 16);
  objects_.insert(objects_.begin() + static_cast<std::ptrdiff_t>(index), std::move(object));
  mutations_ = nextMutations(mutations_);
}

void JKArray::removeObjectAtIndex(std::size_t index) {
  checkMutable("removeObjectAtIndex:");
  if (index >= objects_.size()) beyondBounds("removeObjectAtIndex:", index, objects_.size());
  objects_.erase(objects_.begin() + static_cast<std::ptrdiff_t>(index));
  mutations_ = nextMutations(mutations_);
}

void JKArray::replaceObjectAtIndex(std::size_t index, kx::Value object) {
  checkMutable("replaceObjectAtIndex:withObject:");
  if (index >= objects_.size())
    beyondBounds("replaceObjectAtIndex:withObject:", index, objects_.size());
  objects_[index] = std::move(object);
  mutations_ = nextMutations(mutations_);
}

kx::Value JKArray::copy() const {
  if (mutations_ != 0) return kx::Value(objects_);
  auto* self = const_cast<JKArray*>(this);
  self->refs.fetch_add(1, std::memory_order_relaxed);
  return kx::Value::adopt(self);
}

kx::Value JKArray::mutableCopy() const { return kx::Value(objects_); }
