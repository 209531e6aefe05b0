// kx::Error is how failures travel: a domain, a 64-bit code and a user-info
// dictionary, like the platform errors the rest of the design expects.
// An Error with an empty domain means "no error"; `if (error)` asks whether
// there is one.
//
// Conventions used everywhere:
//  - An operation that can fail takes a trailing `kx::Error* error` (may be
//    nullptr) and reports success in its return value; on failure it fills
//    *error when given one.
//  - Completion callbacks receive `const kx::Error&` (empty when all went well).
//
// kx::Exception is raised only for programming errors (abstract method called,
// method not implemented, invalid arguments). No exception may escape a queue
// task or a library callback.
//
// Thread safety: plain values.
#ifndef ZN_PLATFORM_ERROR_H_
#define ZN_PLATFORM_ERROR_H_

#include <cstdint>
#include <exception>
#include <iosfwd>
#include <string>
#include <string_view>

#include "platform/Value.h"

namespace kx {

// User-info keys with the platform's names.
inline constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr const char* kFilePathErrorKey = "NSFilePath";

// Domains the platform layer itself reports in.
inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

class Error {
 public:
  Error() = default;
  Error(std::string domain, std::int64_t code, Value userInfo = Value());
  // Convenience: an error whose user info holds a localised description.
  static Error make(std::string domain, std::int64_t code, std::string description);
  // An error of the POSIX domain for errno value `err`, naming `path` when given.
  static Error posix(int err, std::string_view path = {});

  explicit operator bool() const { return !domain_.empty(); }

  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const Value& userInfo() const { return userInfo_; }
  Value& mutableUserInfo() { return userInfo_; }

  // The user info's description, or the platform's generic wording:
  // "The operation couldn’t be completed. (<domain> error <code>.)"
  std::string localizedDescription() const;

  bool operator==(const Error& other) const;

 private:
  std::string domain_;
  std::int64_t code_ = 0;
  Value userInfo_;
};

// Fills *out when out is not null; convenient for error out-parameters.
inline void SetError(Error* out, Error error) {
  if (out) *out = std::move(error);
}

class Exception : public std::exception {
 public:
  Exception(std::string name, std::string reason);
  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  const char* what() const noexcept override { return what_.c_str(); }

 private:
  std::string name_;
  std::string reason_;
  std::string what_;
};

void PrintTo(const Error& error, std::ostream* os);

// Every function that returns bool and takes an Error* is [[nodiscard]]. A
// call made on a best-effort basis (a rollback, removing a temporary, a
// clean-up whose failure changes nothing) says so by passing its result here.
template <typename T>
inline void ignoreError(T&&) {}

}  // namespace kx

#endif  // ZN_PLATFORM_ERROR_H_
