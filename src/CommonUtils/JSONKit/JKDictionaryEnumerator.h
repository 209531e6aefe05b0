// JKDictionaryEnumerator walks the keys of a parsed dictionary (JKDictionary)
// in insertion order, holding a reference to the dictionary for its own
// lifetime.
//
// Thread safety: one enumerator belongs to one thread at a time.
#ifndef ZN_COMMONUTILS_JSONKIT_JKDICTIONARYENUMERATOR_H_
#define ZN_COMMONUTILS_JSONKIT_JKDICTIONARYENUMERATOR_H_

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Value.h"

class JKDictionaryEnumerator {
 public:
  // `collection` holds the dictionary to walk.
  explicit JKDictionaryEnumerator(kx::Value collection);

  // The next key, or nullptr after the last one. The pointer stays valid
  // while the dictionary is not changed.
  const std::string* nextObject();
  // The keys not yet returned.
  std::vector<std::string> allObjects();

 private:
  kx::Value collection_;
  std::size_t nextObject_ = 0;
};

#endif  // ZN_COMMONUTILS_JSONKIT_JKDICTIONARYENUMERATOR_H_
