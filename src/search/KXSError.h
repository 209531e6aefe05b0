// Errors of the full-text search: the domain and codes with which the
// indexer and the searcher report what went wrong, and a helper that builds
// one with a readable description.
//
// Thread safety: constants and a pure function.
#ifndef ZN_SEARCH_KXSERROR_H_
#define ZN_SEARCH_KXSERROR_H_

#include <cstdint>
#include <string>

#include "platform/Error.h"

inline constexpr const char* kKXSErrorDomain = "com.zarvel.note.search.Error";

// User-info key holding the index library's own error number, when the
// failure came from the library.
inline constexpr const char* KXSLibraryErrorNumberKey = "KXSLibraryErrorNumber";

enum KXSErrorCode : std::int64_t {
  // The index library raised an error (a damaged index, a failed read or
  // write); the description holds the library's message.
  KXSErrorLibrary = 1,
  // The index folder is in use by another process of the program.
  KXSErrorIndexBusy = 2,
  // The search context has no index folder yet.
  KXSErrorNotConfigured = 3,
  // Something other than the library's error type was raised.
  KXSErrorUnexpected = 4,
  // The document cannot be indexed: its identifier is empty or not valid
  // UTF-8.
  KXSErrorInvalidDocument = 5,
};

inline kx::Error KXSMakeError(KXSErrorCode code, std::string description) {
  return kx::Error::make(kKXSErrorDomain, code, std::move(description));
}

#endif  // ZN_SEARCH_KXSERROR_H_
