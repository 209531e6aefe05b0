// kx::ErrorOr<T> is the result of an operation that either gives a value or
// fails with a kx::Error (after SerenityOS's ErrorOr). It is the form for new
// internal APIs: the caller cannot read the value without first having the
// chance to see the failure, and the result may not be dropped unread.
//
//   kx::ErrorOr<std::string> folder = fileManager.userDataDirectory();
//   if (!folder) return folder.error();
//   use(folder.value());
//
// value() on a failure and error() on a success are programming errors and
// raise kx::Exception.
//
// Thread safety: a plain value.
#ifndef ZN_PLATFORM_ERROROR_H_
#define ZN_PLATFORM_ERROROR_H_

#include <utility>
#include <variant>

#include "platform/Error.h"

namespace kx {

template <typename T>
class [[nodiscard]] ErrorOr {
 public:
  ErrorOr(T value) : state_(std::in_place_index<0>, std::move(value)) {}      // NOLINT: implicit
  ErrorOr(Error error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit

  bool isError() const { return state_.index() == 1; }
  explicit operator bool() const { return !isError(); }

  const T& value() const& {
    check(!isError(), "value() of a failed result");
    return std::get<0>(state_);
  }
  T& value() & {
    check(!isError(), "value() of a failed result");
    return std::get<0>(state_);
  }
  T releaseValue() {
    check(!isError(), "releaseValue() of a failed result");
    return std::move(std::get<0>(state_));
  }
  const Error& error() const {
    check(isError(), "error() of a successful result");
    return std::get<1>(state_);
  }
  // The value, or `fallback` on failure (the error is then dropped).
  T valueOr(T fallback) const& { return isError() ? std::move(fallback) : std::get<0>(state_); }

 private:
  static void check(bool ok, const char* what) {
    if (!ok) throw Exception("NSInternalInconsistencyException", what);
  }

  std::variant<T, Error> state_;
};

}  // namespace kx

#endif  // ZN_PLATFORM_ERROROR_H_
