// kx::UserDefaults is the process-wide store of application-wide settings
// (the auto-login switch, the editor version, the file watcher's event id,
// the pen-note pages, ...), with two domains looked up in this order:
//  - the persistent domain: values set by the program, kept in the XML
//    property-list file kFileName in the application data root
//    (kx::Places::applicationDataRoot());
//  - the registration domain: defaults registered at start-up with
//    registerDefaults, never written to disk; a stored value overrides them.
//
// The file is read lazily, on the first call that needs the persistent
// domain. A missing file is an empty domain. A file that cannot be read as a
// property-list dictionary is moved aside to kFileName + ".corrupt" (so that
// nothing is lost and the next write does not clobber it) and the domain
// starts empty. Every change is written at once, atomically (temporary file,
// fsync, rename), through kx::FileSystem::Default(); when a write fails the
// change stays in memory and synchronize() tries the write again and reports
// the outcome.
//
// Values must be property-list values (no Null anywhere inside, text that XML
// can carry); others are refused and nothing changes. Setting Null removes
// the key, as setting nothing does on the platform.
//
// Thread safety: all methods may be called from any thread. One mutex (mu_)
// guards the whole state, and the file is read and written under it, so a
// reader never sees a half-applied change and writes reach the file in the
// order they were made.
#ifndef ZN_PLATFORM_USERDEFAULTS_H_
#define ZN_PLATFORM_USERDEFAULTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

namespace kx {

class UserDefaults {
 public:
  // Name of the file in the application data root.
  static constexpr const char* kFileName = "com.zarvel.note.ZarvelNoteMac.plist";

  // The one store of the process, created on first use and never freed.
  static UserDefaults& standardUserDefaults();

  // Adds the entries to the registration domain (replacing registered values
  // of the same keys). Not persisted.
  void registerDefaults(const Dictionary& defaults);

  // The stored value, else the registered one, else Null.
  Value objectForKey(std::string_view key);
  // Lenient readings, as the platform's: a number or a text ("YES", "true",
  // "1", ...) reads as a boolean or an integer; anything else, or a missing
  // key, reads as false or 0.
  bool boolForKey(std::string_view key);
  std::int64_t integerForKey(std::string_view key);
  // A text, or the decimal text of a number or boolean; nullopt otherwise.
  std::optional<std::string> stringForKey(std::string_view key);

  // Stores the value in the persistent domain and writes the file. Null
  // removes the key. Returns false when the value is no property-list value
  // (nothing changes; error kPropertyListWriteInvalidError) or when the file
  // could not be written (the value is kept; synchronize() retries).
  [[nodiscard]] bool setObject(Value value, std::string_view key, Error* error = nullptr);
  [[nodiscard]] bool setBool(bool value, std::string_view key, Error* error = nullptr);
  [[nodiscard]] bool setInteger(std::int64_t value, std::string_view key, Error* error = nullptr);
  // Removes the key from the persistent domain (a registered default shows
  // through again) and writes the file; false when the write failed.
  [[nodiscard]] bool removeObjectForKey(std::string_view key, Error* error = nullptr);

  // Writes pending changes that an earlier write failed to save. True when
  // the file holds every change.
  [[nodiscard]] bool synchronize(Error* error = nullptr);

  // The file of the persistent domain, under the current application data
  // root ("" when no root is known).
  static std::string filePath();

  // Forgets both domains without writing anything; the next call reads the
  // file again from the then current application data root. For tests only.
  void resetForTesting();

 private:
  UserDefaults() = default;

  // Reads the file once.
  void loadLocked() REQUIRES(mu_);
  // Writes the persistent domain.
  [[nodiscard]] bool writeLocked(Error* error) REQUIRES(mu_);
  const Value* findLocked(std::string_view key) REQUIRES(mu_);

  Mutex mu_;
  bool loaded_ GUARDED_BY(mu_) = false;
  std::string path_ GUARDED_BY(mu_);  // the file read at load time
  Dictionary persistent_ GUARDED_BY(mu_);
  Dictionary registered_ GUARDED_BY(mu_);
  bool dirty_ GUARDED_BY(mu_) = false;  // persistent_ has unsaved changes
};

}  // namespace kx

#endif  // ZN_PLATFORM_USERDEFAULTS_H_
