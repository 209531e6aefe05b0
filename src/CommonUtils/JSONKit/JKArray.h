// JKArray is the storage of an array that the JSON decoder builds, held by
// the kx::Value the decoder returns. Readers see an ordinary kx::Array
// (Value::array()). A JKArray is immutable unless the document was parsed
// with a mutable entry point; then its own methods may change it, and every
// change steps the mutation counter. A caller that changes the array through
// kx::Value::mutableArray() never reaches the JKArray: the value takes its
// contents into a plain array of its own first.
//
// Misuse of a JKArray (changing an immutable one, an index out of range, a
// null destination) is a programming error and raises kx::Exception.
//
// Thread safety: an immutable JKArray may be read from any thread. A mutable
// one is not synchronised: nobody may read it while another thread changes
// it.
#ifndef ZN_COMMONUTILS_JSONKIT_JKARRAY_H_
#define ZN_COMMONUTILS_JSONKIT_JKARRAY_H_

#include <cstddef>
#include <cstdint>

#include "platform/Value.h"

class JKArray : public kx::ArrayRep {
 public:
  // The JKArray `value` holds, or nullptr (another kind of value, or an
  // array that was not parsed).
  static JKArray* fromValue(const kx::Value& value);

  // A value holding a new JKArray of `count` objects, moved from `objects`,
  // in storage from `arena` when one is given. Used by the decoder.
  static kx::Value create(kx::Value* objects, std::size_t count, bool mutableCollection,
                          kx::ValueArena* arena = nullptr);

  // The mutation counter after one more change: it never returns to 0, which
  // marks an immutable collection.
  static std::uint64_t nextMutations(std::uint64_t mutations) {
    return mutations + 1 == 0 ? 1 : mutations + 1;
  }

  std::size_t count() const { return objects_.size(); }
  std::size_t capacity() const { return objects_.capacity(); }
  bool isMutable() const { return mutations_ != 0; }
  // 0 for an immutable array; otherwise starts at 1 and steps with every change.
  std::uint64_t mutations() const { return mutations_; }

  // Raises NSRangeException for an index of count() or more.
  const kx::Value& objectAtIndex(std::size_t index) const;
  // Copies the objects [location, location + length) to `objects`. A null
  // `objects` with a non-empty range, or a range past count(), raises
  // NSRangeException.
  void getObjects(kx::Value* objects, std::size_t location, std::size_t length) const;

  // Changes; each raises NSInternalInconsistencyException on an immutable
  // array and NSRangeException for an index out of range (insertion accepts
  // count(), which appends).
  void insertObject(kx::Value object, std::size_t index);
  void removeObjectAtIndex(std::size_t index);
  void replaceObjectAtIndex(std::size_t index, kx::Value object);

  // An immutable array copies as itself; a mutable one as a plain array.
  kx::Value copy() const;
  // Always a plain array with the same objects.
  kx::Value mutableCopy() const;

 private:
  JKArray(kx::Value* objects, std::size_t count, bool mutableCollection);
  void checkMutable(const char* selector) const;
  [[noreturn]] void beyondBounds(const char* selector, std::size_t index, std::size_t bound) const;

  std::uint64_t mutations_;
};

#endif  // ZN_COMMONUTILS_JSONKIT_JKARRAY_H_
