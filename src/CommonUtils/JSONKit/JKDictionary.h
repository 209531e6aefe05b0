// JKDictionary is the storage of a dictionary that the JSON decoder builds,
// held by the kx::Value the decoder returns. Readers see an ordinary
// kx::Dictionary (Value::dict()), whose table the decoder fills with the key
// hashes it computed while reading the keys. Enumeration is in insertion
// order (document order for a parsed dictionary).
//
// A JKDictionary is immutable unless the document was parsed with a mutable
// entry point; then its own methods may change it, and every change steps the
// mutation counter. Only setObject() grows the table. A caller that changes
// the dictionary through kx::Value::mutableDict() never reaches the
// JKDictionary: the value takes its contents into a plain dictionary first.
//
// Changing an immutable JKDictionary is a programming error and raises
// kx::Exception.
//
// Thread safety: an immutable JKDictionary may be read from any thread. A
// mutable one is not synchronised: nobody may read it while another thread
// changes it.
#ifndef ZN_COMMONUTILS_JSONKIT_JKDICTIONARY_H_
#define ZN_COMMONUTILS_JSONKIT_JKDICTIONARY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Value.h"

class JKDictionaryEnumerator;

class JKDictionary : public kx::DictionaryRep {
 public:
  // The JKDictionary `value` holds, or nullptr (another kind of value, or a
  // dictionary that was not parsed).
  static JKDictionary* fromValue(const kx::Value& value);

  // A value holding a new JKDictionary of `count` keys (with their
  // kx::Dictionary::hashKey() hashes) and objects, moved from the arrays and
  // added in order; a repeated key keeps its first place and its last object.
  // Its storage and its table come from `arena` when one is given. Used by
  // the decoder.
  static kx::Value create(std::string* keys, const std::uint32_t* keyHashes, kx::Value* objects,
                          std::size_t count, bool mutableCollection,
                          kx::ValueArena* arena = nullptr);

  std::size_t count() const { return dictionary_.size(); }
  // Slots of the table (see kx::Dictionary).
  std::size_t capacity() const { return dictionary_.capacity(); }
  bool isMutable() const { return mutations_ != 0; }
  // 0 for an immutable dictionary; otherwise starts at 1 and steps with every
  // change.
  std::uint64_t mutations() const { return mutations_; }

  // nullptr when the key is missing.
  const kx::Value* objectForKey(std::string_view key) const;
  // Writes the objects and the keys, in insertion order, to either buffer (of
  // count() places) that is not null.
  void getObjects(kx::Value* objects, std::string* keys) const;
  JKDictionaryEnumerator keyEnumerator() const;

  // Changes; each raises NSInternalInconsistencyException on an immutable
  // dictionary. Removing a missing key changes nothing.
  void setObject(kx::Value object, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // An immutable dictionary copies as itself; a mutable one as a plain
  // dictionary.
  kx::Value copy() const;
  // Always a plain dictionary with the same entries.
  kx::Value mutableCopy() const;

 private:
  JKDictionary(kx::Dictionary dictionary, bool mutableCollection);
  void checkMutable(const char* selector) const;

  std::uint64_t mutations_;
};

#endif  // ZN_COMMONUTILS_JSONKIT_JKDICTIONARY_H_
