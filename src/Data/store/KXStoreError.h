// Errors of the note store layer (model, predicates, contexts, SQLite).
// SQLite's own failures keep SQLite's extended result code as the code; the
// store's own failures use the codes below (all above SQLite's range). The
// description is in the user info under kx::kLocalizedDescriptionKey.
//
// Thread safety: constants and a pure function.
#ifndef ZN_DATA_KXSTOREERROR_H_
#define ZN_DATA_KXSTOREERROR_H_

#include <cstdint>
#include <string>
#include <utility>

#include "platform/Error.h"

inline constexpr const char* kKXStoreErrorDomain = "com.zarvel.note.store";

enum KXStoreErrorCode : std::int64_t {
  kKXStorePredicateSyntaxError = 100001,   // a condition string that does not parse
  kKXStoreUnknownKeyError = 100002,        // a key the entity does not have
  kKXStoreTypeError = 100003,              // a value that does not fit the attribute
  kKXStoreUnknownEntityError = 100004,     // an entity name the model does not have
  kKXStoreUnavailableError = 100005,       // the context has no store
  kKXStoreReadOnlyError = 100006,          // a change to the read context was asked to be saved
  kKXStoreIncompatibleError = 100007,      // the file is a database of another shape
  kKXStoreObjectNotFoundError = 100008,    // an object ID whose row does not exist
  kKXStoreTransactionEndedError = 100009,  // SQLite ended a transaction of unsaved changes
};

inline kx::Error KXStoreMakeError(std::int64_t code, std::string description) {
  return kx::Error::make(kKXStoreErrorDomain, code, std::move(description));
}

#endif  // ZN_DATA_KXSTOREERROR_H_
