#include "CommonUtils/KXConfiguration.h"

#include <atomic>
#include <cerrno>
#include <optional>
#include <utility>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXPresentError.h"
#include "CommonUtils/KXWritersTemporaryDirectory.h"
#include "platform/FileSystem.h"
#include "platform/Mutex.h"
#include "platform/PropertyList.h"

namespace {

std::atomic<KXConfiguration*> gShared{nullptr};

}  // namespace

KXConfiguration& KXConfiguration::sharedConfiguration() {
  static KXConfiguration* configuration = [] {
    KXConfiguration* created = new KXConfiguration();
    gShared.store(created, std::memory_order_release);
    KXLogger::setWriteLogReader([] {
      if (KXConfiguration* shared = sharedConfigurationIfCreated()) {
        (void)shared->itemForKey(kKXConfigWriteLog);
      }
    });
    return created;
  }();
  return *configuration;
}

KXConfiguration* KXConfiguration::sharedConfigurationIfCreated() {
  return gShared.load(std::memory_order_acquire);
}

KXConfiguration::KXConfiguration(std::string path)
    : followsCurrentUser_(false), path_(std::move(path)) {
  loadConfig();
}

KXConfiguration::KXConfiguration() : followsCurrentUser_(true) { loadConfig(); }

std::string KXConfiguration::path() const {
  kx::MutexLock lock(lock_);
  return path_;
}

void KXConfiguration::loadConfig() {
  const std::string path = followsCurrentUser_ ? KXHooks::configurationFilePath() : this->path();
  kx::Dictionary loaded;
  bool readable = true;
  if (!path.empty() && kx::FileSystem::Default().exists(path)) {
    std::optional<kx::Value> value = kx::PropertyList::readFile(path);
    if (value && value->isDictionary()) {
      loaded = value->dict();
    } else {
      readable = false;
    }
  }
  kx::MutexLock lock(lock_);
  path_ = path;
  config_ = std::move(loaded);
  readable_ = readable;
}

kx::Value KXConfiguration::itemForKey(std::string_view key) const {
  kx::MutexLock lock(lock_);
  const kx::Value* value = config_.find(key);
  return value ? *value : kx::Value();
}

std::string KXConfiguration::stringForKey(std::string_view key,
                                          std::string_view defaultValue) const {
  kx::Value value = itemForKey(key);
  return value.isNull() ? std::string(defaultValue) : value.stringValue();
}

void KXConfiguration::setValue(kx::Value value, const std::string& key) {
  if (value.isNull()) return;
  kx::MutexLock lock(lock_);
  if (!readable_) return;
  config_.set(key, value);
  changedInfo_ = kx::Array{kx::Value(key), std::move(value)};
}

kx::Array KXConfiguration::changedInfo() const {
  kx::MutexLock lock(lock_);
  return changedInfo_;
}

kx::Dictionary KXConfiguration::allConfig() const {
  kx::MutexLock lock(lock_);
  return config_;
}

bool KXConfiguration::save(kx::Error* error) {
  kx::MutexLock saving(saveMu_);
  kx::Dictionary snapshot;
  bool readable;
  std::string path;
  {
    kx::MutexLock lock(lock_);
    snapshot = config_;
    readable = readable_;
    path = path_;
  }
  kx::Error failure;
  if (path.empty()) {
    failure = kx::Error::posix(ENOENT, path);
  } else if (!readable) {
    // The file on disk could not be read; writing now would replace it.
    failure = kx::Error::posix(EIO, path);
  } else if (std::optional<std::string> text =
                 kx::PropertyList::serialize(kx::Value(std::move(snapshot)), &failure);
             text && kx::FileSystem::Default().writeFileAtomically(
                         path, *text, KXWritersTemporaryDirectoryFor(path), &failure)) {
    return true;
  }
  KXLOG("save configuration file %s fail: %s", path.c_str(),
        failure.localizedDescription().c_str());
  KXPresentError(kKXErrSaveUserConfigurationFileFail);
  kx::SetError(error, std::move(failure));
  return false;
}
