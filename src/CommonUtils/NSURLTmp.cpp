#include "CommonUtils/NSURLTmp.h"

#include <memory>

#include "CommonUtils/KXHooks.h"
#include "CommonUtils/KXLogger.h"
#include "CommonUtils/KXServiceBaseURL.h"
#include "CommonUtils/KXURLOpener.h"
#include "platform/Text.h"

namespace {

constexpr const char* kPlanPagePath = "/charge/setMeal.html";

}  // namespace

std::string NSURLTmp::tmpURL(const std::string& path) { return path + ".tmp"; }

std::string NSURLTmp::loginInfoAddress(const kx::URL& url) {
  std::string address = url.absoluteString();
  if (!kx::Text::asciiEqualIgnoringCase(url.path(), kPlanPagePath)) return address;
  std::string fragment;
  if (url.fragment()) {
    fragment = "#" + *url.fragment();
    address.resize(address.size() - fragment.size());
  }
  // Only unreserved characters stay, so that no "&", "=", "+" or "#" of a
  // user id can change the query's meaning.
  static const kx::URLCharacterSet kUnreserved(
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~");
  address += url.query() ? "&" : "?";
  address += "username=" + kx::percentEncode(KXHooks::currentUser(), kUnreserved);
  return address + fragment;
}

void NSURLTmp::outterOpen(const kx::URL& url) {
  const std::string host = url.host();
  if (!host.empty() && kx::Text::asciiEqualIgnoringCase(host, KXServiceHost())) {
    KXHooks::openUrlWithLoginInfo(loginInfoAddress(url));
    return;
  }
  if (std::shared_ptr<KXURLOpener> opener = KXURLOpener::installed()) {
    opener->openURL(url);
  } else {
    KXLOG("no opener for %s", url.absoluteString().c_str());
  }
}
