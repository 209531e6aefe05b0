#include "account/KXCrossdomainRequest.h"

#include "CommonUtils/KXHooks.h"

KXCrossdomainRequest& KXCrossdomainRequest::sharedRequest() {
  static KXCrossdomainRequest* request = [] {
    auto* created = new KXCrossdomainRequest();
    KXHooks::setLoginInfoOpener(
        [created](const std::string& url) { created->openUrlWithLoginInfo(url); });
    return created;
  }();
  return *request;
}

void KXCrossdomainRequest::openUrlWithLoginInfo(const std::string& absoluteURL) {
  // No ticket can be fetched without the account service's HTTP operation,
  // so the page is not opened.
  (void)absoluteURL;
}
