#include "CommonUtils/KXHooks.h"

#include <utility>

#include "platform/HookTable.h"

namespace {

enum Hook { kCurrentUser, kDataDirectory, kConfigurationFile, kLoginInfoOpener, kRootEntryId };

auto& hooks() {
  using S = KXHooks::StringProvider;
  return kx::hookTableOf<KXHooks, S, S, S, KXHooks::URLOpener, S>();
}

template <Hook I>
std::string ask() {
  KXHooks::StringProvider provider = hooks().get<I>();
  return provider ? provider() : std::string();
}

}  // namespace

void KXHooks::setCurrentUserProvider(StringProvider provider) {
  hooks().set<kCurrentUser>(std::move(provider));
}

std::string KXHooks::currentUser() {
  std::string user = ask<kCurrentUser>();
  return user.empty() ? std::string(kEmptyUser) : user;
}

void KXHooks::setCurrentUserDataDirectoryProvider(StringProvider provider) {
  hooks().set<kDataDirectory>(std::move(provider));
}

std::string KXHooks::currentUserDataDirectory() { return ask<kDataDirectory>(); }

void KXHooks::setConfigurationFilePathProvider(StringProvider provider) {
  hooks().set<kConfigurationFile>(std::move(provider));
}

std::string KXHooks::configurationFilePath() { return ask<kConfigurationFile>(); }

void KXHooks::setLoginInfoOpener(URLOpener opener) {
  hooks().set<kLoginInfoOpener>(std::move(opener));
}

void KXHooks::openUrlWithLoginInfo(const std::string& absoluteURL) {
  URLOpener opener = hooks().get<kLoginInfoOpener>();
  if (opener) opener(absoluteURL);
}

void KXHooks::setRootEntryIdProvider(StringProvider provider) {
  hooks().set<kRootEntryId>(std::move(provider));
}

std::string KXHooks::rootEntryId() { return ask<kRootEntryId>(); }

void KXHooks::resetForTesting() { hooks().reset(); }
