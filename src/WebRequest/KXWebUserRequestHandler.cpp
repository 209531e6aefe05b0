#include "WebRequest/KXWebUserRequestHandler.h"

#include <mutex>
#include <utility>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "Data/DataUtil/KXNameDict.h"
#include "Data/client/KXEntryReads.h"
#include "Data/client/KXFileManager.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXLocalFileHost.h"
#include "WebRequest/KXLocalResponse.h"
#include "WebRequest/KXURLError.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "platform/HookTable.h"

namespace {

// The program's sign-out (setSignOutHook).
auto& signOutHook() { return kx::hookTableOf<KXWebUserRequestHandler, std::function<void()>>(); }

void runSignOutHook() {
  std::function<void()> hook = signOutHook().get<0>();
  if (hook) {
    hook();
  } else {
    KXLOG("sign-out asked by the page, but no sign-out hook is installed");
  }
}

enum class Route { None, UserMeta, SelfInfo, SignOut };

Route routeOf(const kx::URL& url) {
  const std::string path = url.path();
  if (path.empty()) return Route::None;
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(path);
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "mapi" && c[2] == "user") return Route::UserMeta;
  if (c.size() >= 3 && c[0] == "qrt" && c[1] == "api" && c[2] == "self") return Route::SelfInfo;
  if (c.size() >= 2 && c[0] == "auth" && c[1] == "reset") return Route::SignOut;
  return Route::None;
}

}  // namespace

KXWebUserRequestHandler& KXWebUserRequestHandler::sharedHandler() {
  static KXWebUserRequestHandler* handler = new KXWebUserRequestHandler(Environment{
      [] {
        return KXHooks::currentUser() == kEmptyUser ? nullptr : &KXDataClient::defaultDataClient();
      },
      [] { return KXHooks::currentUser(); },
      [](const std::string& imageURL) {
        return KXFileManager::defaultManauger().URLForCurrentUserIconImageWithPath(imageURL);
      },
      [] { return KXFileManager::defaultManauger().URLForApplicationDataDirectory(); },
      [](const kx::HTTPTransport::Cookie& cookie) {
        if (!kx::HTTPTransport::shared().setCookie(cookie)) KXLOG("cookie not stored");
      },
      [] { return KXServiceHost(); },
  });
  return *handler;
}

KXWebUserRequestHandler::KXWebUserRequestHandler(Environment environment)
    : env_(std::move(environment)) {}

void KXWebUserRequestHandler::setSignOutHook(std::function<void()> hook) {
  signOutHook().install(std::move(hook));
}

bool KXWebUserRequestHandler::acceptRequest(const kx::URLRequest& request) const {
  switch (routeOf(request.url())) {
    case Route::UserMeta:
    case Route::SelfInfo: return KXWebRequestParameters::queryMethod(request.url()) == "get";
    case Route::SignOut: return true;
    case Route::None: return false;
  }
  return false;
}

std::optional<kx::Dictionary> KXWebUserRequestHandler::metaOfUser(
    KXDataClient& client, const std::shared_ptr<User>& user) {
  if (!user) return std::nullopt;
  kx::Dictionary meta;
  client.reads().performSyncReadBlock([&] { meta = user->attributeValues(); });
  return meta;
}

kx::Dictionary KXWebUserRequestHandler::userMetaObject(KXDataClient* client) {
  if (!client) return {};
  std::optional<kx::Dictionary> meta = metaOfUser(*client, client->reads().user());
  if (!meta) return {};
  std::optional<kx::Dictionary> remote = KXNameDict::namesConvertFromLocalToRemote(
      kx::Value(std::move(*meta)), KXNameDict::kUserMetaNamespace);
  return remote ? std::move(*remote) : kx::Dictionary();
}

kx::Dictionary KXWebUserRequestHandler::defaultSelfInfo(const std::shared_ptr<User>& user) const {
  const bool vip = user && user->is_vip() != 0;
  kx::Value vipValue = user ? kx::Value(static_cast<long long>(user->is_vip())) : kx::Value(false);
  return kx::Dictionary{
      {"description", ""},
      {"vip", vipValue},
      {"phone", ""},
      {"sex", 0},
      {"userId", env_.currentUser ? env_.currentUser() : std::string(kEmptyUser)},
      {"location", ""},
      {"properties",
       kx::Value::dict({{"FEED_BACK_ID", "0"}, {"pinyin", ""}, {"isvip", vip ? "true" : "false"}})},
      {"modifyTime", user ? user->stringValue("registerTime") : std::string()},
      {"name", user ? user->nickname() : std::string()},
      {"email", ""},
      {"photo", ""},
  };
}

std::string KXWebUserRequestHandler::crossSiteCookieHeader(const std::string& serviceHost) {
  return std::string(kCrossSiteCookieName) + "=" + kCrossSiteCookieValue + "; Domain=." +
         serviceHost + "; Path=/";
}

void KXWebUserRequestHandler::answerSelfInfo(const kx::URL& url, KXDataClient& client,
                                             KXDataRequestController& sender) {
  std::shared_ptr<User> user = client.reads().user();
  kx::Bytes stored;
  if (user) {
    client.reads().performSyncReadBlock([&] {
      kx::Value value = user->value("selfInfo");
      if (value.isData()) {
        stored = value.bytes();
      } else if (value.isString()) {
        stored.assign(value.string().begin(), value.string().end());
      }
    });
  }
  if (stored.empty()) {
    KXHandlerAnswer::json(sender, url, kx::Value(defaultSelfInfo(user)));
    return;
  }
  kx::Value info = objectFromJSONDataWithParseOptions(stored, JKParseOptionValidFlags);
  const std::string photo = info.isDictionary() ? info["photo"].stringValue() : std::string();
  const std::string iconPath =
      photo.empty() || !env_.iconImagePath ? std::string() : env_.iconImagePath(photo);
  const std::string appData =
      env_.applicationDataDirectory ? env_.applicationDataDirectory() : std::string();
  // The photo is answered on the local-file origin only when its icon file
  // lies below the application data directory.
  if (iconPath.empty() || appData.empty() || iconPath.size() <= appData.size() ||
      iconPath.compare(0, appData.size(), appData) != 0 || iconPath[appData.size()] != '/') {
    KXHandlerAnswer::bytes(sender, url, std::move(stored));
    return;
  }
  kx::Dictionary object = info.dict();
  object.set("photo", KXLocalFileHost() + iconPath.substr(appData.size()));
  KXHandlerAnswer::json(sender, url, kx::Value(std::move(object)));
}

void KXWebUserRequestHandler::handleRequest(const kx::URLRequest& request,
                                            std::shared_ptr<KXDataRequestController> sender) {
  const kx::URL& url = request.url();
  const Route route = routeOf(url);
  KXDataClient* client = env_.dataClient ? env_.dataClient() : nullptr;
  const std::string user = env_.currentUser ? env_.currentUser() : std::string(kEmptyUser);
  if (!client || user == kEmptyUser) {
    // Nobody signed in: nothing to tell and nobody to sign out.
    KXHandlerAnswer::json(*sender, url, kx::Value(kx::Dictionary()));
    return;
  }
  if (route == Route::SignOut) {
    runSignOutHook();
    sender->localReceiveResponse(KXLocalResponse::response(url, 200), std::nullopt, kx::Error());
    return;
  }
  const std::string method = KXWebRequestParameters::queryMethod(url);
  if (method.empty()) {
    KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
    return;
  }
  if (route == Route::UserMeta && method == "get") {
    kx::Dictionary meta = userMetaObject(client);
    const std::string host = env_.serviceHost ? env_.serviceHost() : KXServiceHost();
    kx::HTTPTransport::Cookie cookie;
    cookie.domain = "." + host;
    cookie.includeSubdomains = true;
    cookie.path = "/";
    cookie.name = kCrossSiteCookieName;
    cookie.value = kCrossSiteCookieValue;
    if (env_.storeCookie) env_.storeCookie(cookie);
    kx::HTTPHeaderFields headers;
    headers.add("Set-Cookie", crossSiteCookieHeader(host));
    KXHandlerAnswer::json(*sender, url, kx::Value(std::move(meta)), std::move(headers));
    return;
  }
  if (route == Route::SelfInfo && method == "get") {
    answerSelfInfo(url, *client, *sender);
    return;
  }
  KXHandlerAnswer::fail(*sender, KXURLErrorBadURL);
}
