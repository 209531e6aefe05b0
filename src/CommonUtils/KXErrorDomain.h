// The application's own error domain and the codes that the foundation
// utilities and the note store report in it.
//
// Thread safety: constants.
#ifndef ZN_COMMONUTILS_KXERRORDOMAIN_H_
#define ZN_COMMONUTILS_KXERRORDOMAIN_H_

#include <cstdint>

// Failures of the client itself (store, files, presented errors).
inline constexpr const char* kKXErrorDomain = "com.zarvel.note.Error";
// Sync failures.
inline constexpr const char* kKXRequestErrorDomain = "QopalRequestErrorDomain";

// The store or the application data directory cannot be opened.
inline constexpr std::int64_t kKXErrorCodeCannotOpenStore = 0x400000001;
// A note's content file is missing.
inline constexpr std::int64_t kKXErrorCodeContentFileMissing = 0x400000003;
// Every error shown to the user through KXPresentError.
inline constexpr std::int64_t kKXErrorCodePresented = 0x400000006;

#endif  // ZN_COMMONUTILS_KXERRORDOMAIN_H_
