#include "platform/UserDefaults.h"

#include <cerrno>

#include "platform/FileSystem.h"
#include "platform/Path.h"
#include "platform/Places.h"
#include "platform/PropertyList.h"

namespace kx {

namespace {

// Kinds the lenient readers convert; dates, data and containers read as
// nothing, as they do on the platform.
bool isScalar(const Value& v) { return v.isBool() || v.isNumber() || v.isString(); }

}  // namespace

UserDefaults& UserDefaults::standardUserDefaults() {
  static UserDefaults* const instance = new UserDefaults();
  return *instance;
}

std::string UserDefaults::filePath() {
  const std::string root = Places::applicationDataRoot();
  if (root.empty()) return "";
  return Path::appendingPathComponent(root, kFileName);
}

void UserDefaults::loadLocked() {
  if (loaded_) return;
  loaded_ = true;
  dirty_ = false;
  persistent_.clear();
  path_ = filePath();
  if (path_.empty()) return;

  FileSystem& fs = FileSystem::Default();
  std::string contents;
  Error error;
  if (!fs.readFile(path_, &contents, &error)) {
    // Missing: nothing stored yet. Unreadable for another reason: start
    // empty too; the file stays where it is.
    return;
  }
  std::optional<Value> value = PropertyList::parse(contents, &error);
  if (value && value->isDictionary()) {
    persistent_ = value->dict();
    return;
  }
  // Not a property-list dictionary: keep it aside for inspection so that the
  // next write does not destroy it, and start empty.
  kx::ignoreError(fs.rename(path_, path_ + ".corrupt", nullptr));
}

bool UserDefaults::writeLocked(Error* error) {
  if (path_.empty()) {
    dirty_ = true;
    SetError(error, Error::posix(ENOENT));
    return false;
  }
  FileSystem& fs = FileSystem::Default();
  if (!fs.ensurePrivateDirectory(Path::deletingLastPathComponent(path_), error) ||
      !PropertyList::writeFile(path_, Value(persistent_), error)) {
    dirty_ = true;
    return false;
  }
  dirty_ = false;
  return true;
}

const Value* UserDefaults::findLocked(std::string_view key) {
  loadLocked();
  if (const Value* v = persistent_.find(key)) return v;
  return registered_.find(key);
}

void UserDefaults::registerDefaults(const Dictionary& defaults) {
  MutexLock lock(mu_);
  for (const auto& [key, value] : defaults) registered_.set(key, value);
}

Value UserDefaults::objectForKey(std::string_view key) {
  MutexLock lock(mu_);
  const Value* v = findLocked(key);
  return v ? *v : Value();
}

bool UserDefaults::boolForKey(std::string_view key) {
  MutexLock lock(mu_);
  const Value* v = findLocked(key);
  return v && isScalar(*v) && v->boolValue();
}

std::int64_t UserDefaults::integerForKey(std::string_view key) {
  MutexLock lock(mu_);
  const Value* v = findLocked(key);
  return v && isScalar(*v) ? v->intValue() : 0;
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) {
  MutexLock lock(mu_);
  const Value* v = findLocked(key);
  if (!v || !isScalar(*v)) return std::nullopt;
  return v->stringValue();
}

bool UserDefaults::setObject(Value value, std::string_view key, Error* error) {
  if (value.isNull()) return removeObjectForKey(key, error);
  // Checked before the lock: a refused value changes nothing.
  if (!PropertyList::isValid(Value::dict({{std::string(key), value}}), error)) return false;
  MutexLock lock(mu_);
  loadLocked();
  persistent_.set(std::string(key), std::move(value));
  return writeLocked(error);
}

bool UserDefaults::setBool(bool value, std::string_view key, Error* error) {
  return setObject(Value(value), key, error);
}

bool UserDefaults::setInteger(std::int64_t value, std::string_view key, Error* error) {
  return setObject(Value(static_cast<long long>(value)), key, error);
}

bool UserDefaults::removeObjectForKey(std::string_view key, Error* error) {
  MutexLock lock(mu_);
  loadLocked();
  if (!persistent_.remove(key) && !dirty_) return true;  // nothing to write
  return writeLocked(error);
}

bool UserDefaults::synchronize(Error* error) {
  MutexLock lock(mu_);
  if (!loaded_ || !dirty_) return true;
  return writeLocked(error);
}

void UserDefaults::resetForTesting() {
  MutexLock lock(mu_);
  loaded_ = false;
  dirty_ = false;
  path_.clear();
  persistent_.clear();
  registered_.clear();
}

}  // namespace kx
