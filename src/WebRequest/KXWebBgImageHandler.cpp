#include "WebRequest/KXWebBgImageHandler.h"

#include <string>
#include <utility>
#include <vector>

#include "CommonUtils/JSONKit/JSONKit.h"
#include "WebRequest/KXHandlerAnswer.h"
#include "WebRequest/KXWebRequestParameters.h"
#include "platform/HookTable.h"

namespace {

// The program's list provider (setListProvider).
auto& installedList() {
  return kx::hookTableOf<KXWebBgImageHandler, KXWebBgImageHandler::ListProvider>();
}

}  // namespace

KXWebBgImageHandler& KXWebBgImageHandler::sharedHandler() {
  static KXWebBgImageHandler* handler = new KXWebBgImageHandler();
  return *handler;
}

KXWebBgImageHandler::KXWebBgImageHandler(ListProvider list) : list_(std::move(list)) {}

void KXWebBgImageHandler::setListProvider(ListProvider provider) {
  installedList().install(std::move(provider));
}

bool KXWebBgImageHandler::acceptRequest(const kx::URLRequest& request) const {
  std::vector<std::string> c = KXWebRequestParameters::pathComponents(request.url().path());
  return c.size() >= 4 && c[0] == "qrt" && c[1] == "api" && c[2] == "personal" &&
         c[3] == "notebackground" &&
         KXWebRequestParameters::queryMethod(request.url()) == "listBgImage";
}

void KXWebBgImageHandler::handleRequest(const kx::URLRequest& request,
                                        std::shared_ptr<KXDataRequestController> sender) {
  ListProvider provider = list_;
  if (!provider) provider = installedList().get<0>();
  kx::Array list = provider ? provider() : kx::Array();
  kx::Error error;
  kx::Bytes body = JSONDataWithOptions(kx::Value(std::move(list)), JKSerializeOptionPretty, &error);
  // A list that cannot be written is answered with an empty body.
  KXHandlerAnswer::bytes(*sender, request.url(), error ? kx::Bytes() : std::move(body));
}
