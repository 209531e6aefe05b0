#include "CommonUtils/KXHooks.h"

#include <utility>

#include "platform/Mutex.h"

namespace {

struct HookTable {
  kx::Mutex mu;
  KXHooks::StringProvider currentUser GUARDED_BY(mu);
  KXHooks::StringProvider dataDirectory GUARDED_BY(mu);
  KXHooks::StringProvider configurationFile GUARDED_BY(mu);
  KXHooks::URLOpener loginInfoOpener GUARDED_BY(mu);
  KXHooks::StringProvider rootEntryId GUARDED_BY(mu);
};

HookTable& table() {
  static HookTable* hooks = new HookTable();
  return *hooks;
}

template <typename F>
void install(F HookTable::*member, F function) {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  t.*member = std::move(function);
}

template <typename F>
F copyOf(F HookTable::*member) {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  return t.*member;
}

std::string ask(KXHooks::StringProvider HookTable::*member) {
  KXHooks::StringProvider provider = copyOf(member);
  return provider ? provider() : std::string();
}

}  // namespace

void KXHooks::setCurrentUserProvider(StringProvider provider) {
  install(&HookTable::currentUser, std::move(provider));
}

std::string KXHooks::currentUser() {
  std::string user = ask(&HookTable::currentUser);
  return user.empty() ? std::string(kEmptyUser) : user;
}

void KXHooks::setCurrentUserDataDirectoryProvider(StringProvider provider) {
  install(&HookTable::dataDirectory, std::move(provider));
}

std::string KXHooks::currentUserDataDirectory() { return ask(&HookTable::dataDirectory); }

void KXHooks::setConfigurationFilePathProvider(StringProvider provider) {
  install(&HookTable::configurationFile, std::move(provider));
}

std::string KXHooks::configurationFilePath() { return ask(&HookTable::configurationFile); }

void KXHooks::setLoginInfoOpener(URLOpener opener) {
  install(&HookTable::loginInfoOpener, std::move(opener));
}

void KXHooks::openUrlWithLoginInfo(const std::string& absoluteURL) {
  URLOpener opener = copyOf(&HookTable::loginInfoOpener);
  if (opener) opener(absoluteURL);
}

void KXHooks::setRootEntryIdProvider(StringProvider provider) {
  install(&HookTable::rootEntryId, std::move(provider));
}

std::string KXHooks::rootEntryId() { return ask(&HookTable::rootEntryId); }

void KXHooks::resetForTesting() {
  HookTable& t = table();
  kx::MutexLock lock(t.mu);
  t.currentUser = nullptr;
  t.dataDirectory = nullptr;
  t.configurationFile = nullptr;
  t.loginInfoOpener = nullptr;
  t.rootEntryId = nullptr;
}
