// KXLocalFileHost is the fixed https origin on which the web interface
// addresses files of the application data directory (paper backgrounds,
// the user's photo): "https://" and one host name that exists nowhere, so
// that no request to it can reach the network. The local-file handler
// (KXWebLocalFileHandler) answers every request on it.
//
// Thread safety: constants and pure functions.
#ifndef ZN_WEBREQUEST_KXLOCALFILEHOST_H_
#define ZN_WEBREQUEST_KXLOCALFILEHOST_H_

#include <string>

#include "platform/URL.h"

inline constexpr const char* kKXLocalFileHostName = "localfile.zarvel.note";

// "https://localfile.zarvel.note", no trailing slash.
std::string KXLocalFileHost();

// Whether `url` is on the local-file origin exactly: scheme "https", that
// host (no other letters before or after it), no user information and no
// port but 443.
bool KXIsLocalFileURL(const kx::URL& url);

#endif  // ZN_WEBREQUEST_KXLOCALFILEHOST_H_
