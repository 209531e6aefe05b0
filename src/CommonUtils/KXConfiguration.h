// KXConfiguration holds the user's preferences: one dictionary of string
// keys read from the property-list file "config" in the current user's data
// directory (its path comes from the file manager through KXHooks). Readers
// ask for one key at a time and use their own default when it is absent;
// the keys and defaults the client knows are below.
//
// A missing file is an empty configuration. A file that cannot be read as a
// property-list dictionary leaves every key absent, and the configuration
// refuses changes and saves until a later load succeeds, so that the file is
// never overwritten with less than it held. Saving writes the whole
// dictionary atomically (a reader sees the old file or the new one); a
// failed save is logged and presented as "Save User Configruation File
// Fail".
//
// The file is read once, when the shared object is created; reload() reads
// it again (the shared object asks for the current user's file each time).
//
// Thread safety: every member may be called from any thread; the dictionary
// and the last change are guarded by lock_. The file is read and written
// outside it; saves are serialised by saveMu_, so that the file always ends
// up with the latest snapshot.
#ifndef ZN_COMMONUTILS_KXCONFIGURATION_H_
#define ZN_COMMONUTILS_KXCONFIGURATION_H_

#include <string>
#include <string_view>

#include "platform/Error.h"
#include "platform/Mutex.h"
#include "platform/Value.h"

// Keys of the configuration file, with the defaults their readers use.
inline constexpr const char* kKXConfigFontFamily = "font-family";
inline constexpr const char* kKXConfigFontFamilyDefault = "Helvetica";
inline constexpr const char* kKXConfigFontSize = "font-size";
inline constexpr const char* kKXConfigFontSizeDefault = "14";
inline constexpr const char* kKXConfigDataConflict = "data-conflict";
inline constexpr const char* kKXConfigDataConflictDefault = "1";
// Read by the logger before each write; its value changes nothing.
inline constexpr const char* kKXConfigWriteLog = "write-log";
// Neither this key nor the number below has a reader.
inline constexpr const char* kKXConfigHistoryCount = "history-count";
inline constexpr const char* kKXConfigHistoryCountDefault = "20";

class KXConfiguration {
 public:
  // The shared configuration, created (and loaded) on the first call, never
  // freed.
  static KXConfiguration& sharedConfiguration();
  // The shared configuration when it has been created, else nullptr. For
  // readers that run before the user is known (the logger), which must not
  // be the ones that create it: it reads the file once, at creation.
  static KXConfiguration* sharedConfigurationIfCreated();

  // A configuration loaded from the file at `path` ("" for none).
  explicit KXConfiguration(std::string path);
  // The shared object's form: the path is asked of KXHooks at each load.
  KXConfiguration();
  KXConfiguration(const KXConfiguration&) = delete;
  KXConfiguration& operator=(const KXConfiguration&) = delete;

  // Reads the file again.
  void loadConfig();
  void reload() { loadConfig(); }

  // The stored value, or Null when the key is absent.
  kx::Value itemForKey(std::string_view key) const;
  // The stored value as text, or `defaultValue` when absent.
  std::string stringForKey(std::string_view key, std::string_view defaultValue) const;
  // Sets the key (a Null value, or a configuration whose file could not be
  // read, changes nothing) and records [key, value] as the last change.
  void setValue(kx::Value value, const std::string& key);
  // [key, value] of the last change; empty before any.
  kx::Array changedInfo() const;
  // A copy of the whole dictionary.
  kx::Dictionary allConfig() const;
  // Writes the dictionary to the file atomically.
  [[nodiscard]] bool save(kx::Error* error = nullptr);

  // The file of the last load.
  std::string path() const;

 private:
  const bool followsCurrentUser_;
  kx::Mutex saveMu_;  // held for a whole save, taken before lock_

  mutable kx::Mutex lock_;
  std::string path_ GUARDED_BY(lock_);
  kx::Dictionary config_ GUARDED_BY(lock_);
  bool readable_ GUARDED_BY(lock_) = true;  // false after a failed read
  kx::Array changedInfo_ GUARDED_BY(lock_);
};

#endif  // ZN_COMMONUTILS_KXCONFIGURATION_H_
