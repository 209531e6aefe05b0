// KXServiceBaseURL is the origin of the note web service ("https://" and one
// host, no path), to which every service path is appended. Its host is the
// service's web host: the host the reachability watcher watches, and the one
// links are compared with before they are opened signed in.
//
// The origin is fixed in the program. Tests (and a developer pointing the
// client at a test service) may override it with the environment variable
// ZN_SERVICE_BASE_URL: an https origin, or an http one on the loopback
// interface (localhost, 127.0.0.1, ::1) for local test servers. An override
// that is not such an origin (a path, a query, user information, another
// scheme) is ignored and the fixed origin is used.
//
// Thread safety: the environment is read on every call; safe from any thread
// as long as nobody changes the environment at the same time.
#ifndef ZN_COMMONUTILS_KXSERVICEBASEURL_H_
#define ZN_COMMONUTILS_KXSERVICEBASEURL_H_

#include <string>

inline constexpr const char* kKXServiceBaseURLDefault = "https://note.zarvel.com";
inline constexpr const char* kKXServiceBaseURLEnvironmentVariable = "ZN_SERVICE_BASE_URL";

// The service origin, without a trailing slash ("https://note.zarvel.com").
std::string KXServiceBaseURL();
// The host of KXServiceBaseURL(), lower-cased ("note.zarvel.com").
std::string KXServiceHost();

#endif  // ZN_COMMONUTILS_KXSERVICEBASEURL_H_
