#include "platform/Error.h"

#include <cstring>
#include <ostream>

#include "platform/Text.h"

namespace kx {

Error::Error(std::string domain, std::int64_t code, Value userInfo)
    : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

Error Error::make(std::string domain, std::int64_t code, std::string description) {
  Value info;
  info.set(kLocalizedDescriptionKey, Value(std::move(description)));
  return Error(std::move(domain), code, std::move(info));
}

Error Error::posix(int err, std::string_view path) {
  char buf[256];
  // GNU strerror_r: returns the message, which may or may not be in buf.
  const char* text = strerror_r(err, buf, sizeof(buf));
  std::string description = text ? text : ("Unknown error " + Text::toString(err));
  Value info;
  if (!path.empty()) {
    description += ": ";
    description += path;
    info.set(kFilePathErrorKey, Value(path));
  }
  info.set(kLocalizedDescriptionKey, Value(std::move(description)));
  return Error(kPosixErrorDomain, err, std::move(info));
}

std::string Error::localizedDescription() const {
  const Value* text = userInfo_.find(kLocalizedDescriptionKey);
  if (text && text->isString()) return text->string();
  return "The operation couldn\u2019t be completed. (" + domain_ + " error " +
         Text::toString(code_) + ".)";
}

bool Error::operator==(const Error& other) const {
  return domain_ == other.domain_ && code_ == other.code_ && userInfo_ == other.userInfo_;
}

Exception::Exception(std::string name, std::string reason)
    : name_(std::move(name)), reason_(std::move(reason)), what_(name_ + ": " + reason_) {}

void PrintTo(const Error& error, std::ostream* os) {
  if (!error) {
    *os << "Error(none)";
    return;
  }
  *os << "Error(" << error.domain() << ", " << error.code() << ", "
      << error.userInfo().description() << ")";
}

}  // namespace kx
